// Formatting of engine message formats. Never raises for a bad format: error
// handling calls this while an error is being reported.
#include "base/message_format.h"

namespace tdb {

bool TdbFormatArg::IsNegative() const noexcept {
    const auto* value = std::get_if<std::int64_t>(&value_);
    return value != nullptr && *value < 0;
}

std::uint64_t TdbFormatArg::Magnitude() const noexcept {
    if (const auto* value = std::get_if<std::int64_t>(&value_)) {
        // Negating in unsigned arithmetic keeps INT64_MIN well defined.
        return *value < 0 ? 0 - static_cast<std::uint64_t>(*value)
                          : static_cast<std::uint64_t>(*value);
    }
    if (const auto* value = std::get_if<std::uint64_t>(&value_)) {
        return *value;
    }
    return 0;
}

namespace {

struct Placeholder {
    bool leftAlign = false;
    int width = 0;
    int precision = -1;  // -1: none given
    char16_t conversion = 0;
};

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// Reads a decimal number at pos; refuses numbers above kTdbMaxFormatWidth.
bool ReadNumber(std::u16string_view format, std::size_t& pos, int& number) {
    number = 0;
    while (pos < format.size() && IsDigit(format[pos])) {
        number = number * 10 + (format[pos] - u'0');
        if (number > kTdbMaxFormatWidth) {
            return false;
        }
        ++pos;
    }
    return true;
}

// Parses the placeholder after a '%' at pos; leaves pos after it.
bool ReadPlaceholder(std::u16string_view format, std::size_t& pos, Placeholder& placeholder) {
    if (pos < format.size() && format[pos] == u'-') {
        placeholder.leftAlign = true;
        ++pos;
    }
    if (!ReadNumber(format, pos, placeholder.width)) {
        return false;
    }
    if (pos < format.size() && format[pos] == u'.') {
        ++pos;
        if (!ReadNumber(format, pos, placeholder.precision)) {
            return false;
        }
    }
    if (pos >= format.size()) {
        return false;
    }
    placeholder.conversion = format[pos++];
    return true;
}

std::u16string Digits(std::uint64_t value, unsigned base, bool upper) {
    const char16_t* digits = upper ? u"0123456789ABCDEF" : u"0123456789abcdef";
    std::u16string text;
    do {
        text.insert(text.begin(), digits[value % base]);
        value /= base;
    } while (value != 0);
    return text;
}

std::optional<std::u16string> Convert(const Placeholder& placeholder, const TdbFormatArg& arg) {
    switch (placeholder.conversion) {
        case u's': {
            if (!arg.IsText()) {
                return std::nullopt;
            }
            std::u16string text = arg.Text();
            if (placeholder.precision >= 0 &&
                text.size() > static_cast<std::size_t>(placeholder.precision)) {
                std::size_t cut = static_cast<std::size_t>(placeholder.precision);
                // Half a surrogate pair would become a replacement character
                // in every later conversion.
                if (cut > 0 && text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) {
                    --cut;
                }
                text.resize(cut);
            }
            return text;
        }
        case u'd':
        case u'u':
        case u'x':
        case u'X': {
            if (arg.IsText()) {
                return std::nullopt;
            }
            const bool negative = arg.IsNegative();
            if (negative && placeholder.conversion != u'd') {
                return std::nullopt;
            }
            const bool hex = placeholder.conversion == u'x' || placeholder.conversion == u'X';
            std::u16string text =
                Digits(arg.Magnitude(), hex ? 16 : 10, placeholder.conversion == u'X');
            if (placeholder.precision > 0 &&
                text.size() < static_cast<std::size_t>(placeholder.precision)) {
                text.insert(0, static_cast<std::size_t>(placeholder.precision) - text.size(), u'0');
            }
            if (negative) {
                text.insert(text.begin(), u'-');
            }
            return text;
        }
        default:
            return std::nullopt;
    }
}

}  // namespace

std::optional<std::u16string> TryFormatMessage(std::u16string_view format,
                                               const TdbFormatArgs& args) {
    std::u16string result;
    result.reserve(format.size());
    std::size_t nextArg = 0;
    std::size_t pos = 0;
    while (pos < format.size()) {
        const std::size_t percent = format.find(u'%', pos);
        if (percent == std::u16string_view::npos) {
            result.append(format.substr(pos));
            break;
        }
        result.append(format.substr(pos, percent - pos));
        pos = percent + 1;
        if (pos < format.size() && format[pos] == u'%') {
            result.push_back(u'%');
            ++pos;
            continue;
        }
        Placeholder placeholder;
        if (!ReadPlaceholder(format, pos, placeholder) || nextArg >= args.size()) {
            return std::nullopt;
        }
        std::optional<std::u16string> text = Convert(placeholder, args[nextArg++]);
        if (!text) {
            return std::nullopt;
        }
        const std::size_t width = static_cast<std::size_t>(placeholder.width);
        if (text->size() < width) {
            text->insert(placeholder.leftAlign ? text->size() : 0, width - text->size(), u' ');
        }
        result.append(*text);
    }
    return result;
}

}  // namespace tdb
