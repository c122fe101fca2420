// Formatting of engine message formats: %s and %d placeholders filled from a
// list of texts and integers, reporting failure instead of raising.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace tdb {

// One argument of a message format: a text or an integer. Implicit
// conversions let callers write argument lists as {u"Irsz", 4}.
class TdbFormatArg {
public:
    TdbFormatArg(std::u16string text) : value_(std::move(text)) {}
    TdbFormatArg(std::u16string_view text) : value_(std::u16string(text)) {}
    TdbFormatArg(const char16_t* text) : value_(std::u16string(text)) {}

    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char16_t> && !std::same_as<T, char32_t>)
        TdbFormatArg(T value) {
        if constexpr (std::is_signed_v<T>) {
            value_ = static_cast<std::int64_t>(value);
        } else {
            value_ = static_cast<std::uint64_t>(value);
        }
    }

    bool IsText() const noexcept { return std::holds_alternative<std::u16string>(value_); }
    // Only for text arguments.
    const std::u16string& Text() const { return std::get<std::u16string>(value_); }
    // Integer arguments as a sign and a magnitude, so that every 64-bit value
    // of either signedness fits. Only for integer arguments.
    bool IsNegative() const noexcept;
    std::uint64_t Magnitude() const noexcept;

private:
    std::variant<std::u16string, std::int64_t, std::uint64_t> value_;
};

using TdbFormatArgs = std::vector<TdbFormatArg>;

// Widths and precisions above this are refused rather than allocated.
inline constexpr int kTdbMaxFormatWidth = 4096;

// Fills the placeholders of Format from Args, in order. Understood:
//   %%                 a percent sign
//   %[-][width][.prec]s  a text argument; prec cuts it to at most prec code
//                        units (never between the halves of a surrogate pair)
//   %[-][width][.prec]d  an integer in decimal; prec is the minimum number of
//                        digits, padded with zeros
//   %[-][width][.prec]u, x, X  a non-negative integer in decimal or in hex
// Width pads with blanks on the left, or on the right after '-'.
// Returns nothing when a placeholder is malformed, an argument is missing, an
// argument has the wrong kind, or %u/%x gets a negative value. Arguments
// beyond those the format uses are ignored: callers pass one argument list to
// formats that name fewer of them, and that must not turn a real message into
// a failure.
std::optional<std::u16string> TryFormatMessage(std::u16string_view format,
                                               const TdbFormatArgs& args);

}  // namespace tdb
