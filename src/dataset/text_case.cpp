// Names compared without case.
#include "dataset/text_case.h"

#include <algorithm>

namespace dataset {

// Upper case for comparing names without case: Latin letters of the first 384 code points,
// which covers the Hungarian accented letters; other characters compare as they are.
char16_t FoldCase(char16_t c) noexcept {
    if (c >= u'a' && c <= u'z')
        return static_cast<char16_t>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<char16_t>(c - 32);
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
        return static_cast<char16_t>(c & ~1);
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
        return (c & 1) != 0 ? c : static_cast<char16_t>(c - 1);
    return c;
}

bool SameText(std::u16string_view a, std::u16string_view b) noexcept {
    return std::ranges::equal(a, b,
                              [](char16_t x, char16_t y) { return FoldCase(x) == FoldCase(y); });
}

bool EndsWithText(std::u16string_view text, std::u16string_view tail) noexcept {
    return text.size() >= tail.size() && SameText(text.substr(text.size() - tail.size()), tail);
}

}  // namespace dataset
