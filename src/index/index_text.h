// Index specification texts as users write them ("TELEP, -IRSZ:2", "${Név}", "$3",
// "(@Upper(TELEP))") turned into index definitions: the inverse of the text a definition
// writes of itself.
#pragma once

#include <cstdint>
#include <string_view>

#include "types/sort_def.h"

namespace tdb {

class TTdbColumnDefs;

// Components are separated by ","; each is an optional "-" (descending), a column - a bare
// name, "${name}", "$n" (1-based number) or, with FieldNumbers, a bare number - and an
// optional ":len" (characters of a String or WideString column, counted the way the
// definition's own text counts them; other columns only their own size). A text in
// parentheses is an expression index whose source is kept as stored ("@" marks the procedural
// syntax from level 5 on) for the table to compile. Each component takes its type and size
// from its column. Raises engine error 98 with the index name for any text that does not
// describe a definition, and 61 for more components than the level allows.
TTdbSortDef ParseIndexSpecification(std::u16string_view name, std::u16string_view text,
                                    const TTdbColumnDefs& columnDefs, std::int16_t tableLevel,
                                    bool unique, bool fieldNumbers = false);

}  // namespace tdb
