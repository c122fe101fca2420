// Texts crossing the call interface: zero-terminated texts of callers, fixed character arrays
// of the records, and caller buffers that take a text cut at their maximum length.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace tdb::api {

// Null reads as the empty text.
inline std::u16string_view InText(const char16_t* text) noexcept {
    return text == nullptr ? std::u16string_view{} : std::u16string_view(text);
}

// The text of a record's array: up to its terminator, and never past the array's end, so that
// a caller who filled every character does not make the engine read beyond the record.
template <std::size_t N>
std::u16string_view FixedText(const char16_t (&array)[N]) noexcept {
    const auto end = std::find(array, array + N, u'\0');
    return {array, static_cast<std::size_t>(end - array)};
}

// Fills a record's array: at most N - 1 characters, the rest zero.
template <std::size_t N>
void SetFixedText(char16_t (&array)[N], std::u16string_view text) noexcept {
    const std::size_t count = std::min(text.size(), N - 1);
    std::copy_n(text.data(), count, array);
    std::fill(array + count, array + N, u'\0');
}

// Copies at most MaxLen characters of Text and a terminator: the buffer holds MaxLen + 1
// characters. Nothing is written to a null buffer or for a negative MaxLen.
inline void CopyOut(char16_t* buffer, int maxLen, std::u16string_view text) noexcept {
    if (buffer == nullptr || maxLen < 0) {
        return;
    }
    const std::size_t count = std::min(text.size(), static_cast<std::size_t>(maxLen));
    std::copy_n(text.data(), count, buffer);
    buffer[count] = u'\0';
}

}  // namespace tdb::api
