// Names compared without case, as the dataset layer compares field, index and database names:
// Latin letters including the Hungarian accented ones; other characters as they are.
#pragma once

#include <string_view>

namespace dataset {

char16_t FoldCase(char16_t c) noexcept;
bool SameText(std::u16string_view a, std::u16string_view b) noexcept;
bool EndsWithText(std::u16string_view text, std::u16string_view tail) noexcept;

}  // namespace dataset
