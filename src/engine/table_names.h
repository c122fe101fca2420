// How the engine compares the names of tables, indexes and files: without case, also beyond
// ASCII, so Hungarian names match whatever their case.
#pragma once

#include <string_view>

namespace tdb {

bool SameTableText(std::u16string_view a, std::u16string_view b);
bool StartsWithTableText(std::u16string_view text, std::u16string_view prefix);

}  // namespace tdb
