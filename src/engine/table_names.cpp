// Name comparison of the engine layer.
#include "engine/table_names.h"

#include "storage/data_file.h"
#include "types/collation.h"

namespace tdb {

bool SameTableText(std::u16string_view a, std::u16string_view b) {
    if (SameAsciiText(a, b))
        return true;
    const TTdbCollation& collation = TTdbCollation::BuiltIn();
    return collation.ToUpper(a) == collation.ToUpper(b);
}

bool StartsWithTableText(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && SameTableText(text.substr(0, prefix.size()), prefix);
}

}  // namespace tdb
