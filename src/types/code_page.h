// ANSI code pages of collations: which code page a language uses, and
// conversion between its bytes and UTF-16 through ICU converters.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tdb {

// The Windows default ANSI code page of a language (ISO 639 code, ICU script code
// such as "Latn" or "Cyrl", may be empty). Languages that have no ANSI code page of
// their own get 1252, the code page of the built-in collation.
std::uint16_t DefaultAnsiCodePage(std::string_view language, std::string_view script);

// The length of the longest start of Ansi, at most Limit bytes, that ends between two
// characters of the code page: a double-byte character is kept whole or not at all.
std::size_t CharacterPrefixLength(std::uint16_t codePage, std::string_view ansi, std::size_t limit);

// One ANSI code page. Immutable after construction and safe to share between threads:
// single-byte code pages widen through a table, the others through a converter that
// each thread opens for itself.
class TCodePage {
public:
    // Raises tdb::Exception when ICU has no converter for the code page.
    explicit TCodePage(std::uint16_t number);

    std::uint16_t Number() const noexcept { return number_; }
    bool IsSingleByte() const noexcept { return singleByte_; }

    std::u16string ToWide(std::string_view ansi) const;
    // Characters the code page lacks become its substitution character.
    std::string ToAnsi(std::u16string_view wide) const;

    // Widens into Out without allocating (once the thread's converter exists). Returns
    // the number of UTF-16 units written, or nothing when Out is too small.
    std::size_t WidenInto(std::string_view ansi, std::span<char16_t> out) const;
    static constexpr std::size_t kTooSmall = static_cast<std::size_t>(-1);

    // The single-byte table; only for single-byte code pages.
    char16_t WidenByte(unsigned char byte) const noexcept { return table_[byte]; }

private:
    std::uint16_t number_;
    bool singleByte_ = false;
    std::array<char16_t, 256> table_{};
};

}  // namespace tdb
