// Formatting of engine message formats. Never raises for a bad format: error
// handling calls this while an error is being reported.
#include "engine/message_format.h"

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

struct Spec {
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
bool ReadSpec(std::u16string_view format, std::size_t& pos, Spec& spec) {
    if (pos < format.size() && format[pos] == u'-') {
        spec.leftAlign = true;
        ++pos;
    }
    if (!ReadNumber(format, pos, spec.width)) {
        return false;
    }
    if (pos < format.size() && format[pos] == u'.') {
        ++pos;
        if (!ReadNumber(format, pos, spec.precision)) {
            return false;
        }
    }
    if (pos >= format.size()) {
        return false;
    }
    spec.conversion = format[pos++];
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

std::optional<std::u16string> Convert(const Spec& spec, const TdbFormatArg& arg) {
    switch (spec.conversion) {
        case u's': {
            if (!arg.IsText()) {
                return std::nullopt;
            }
            std::u16string text = arg.Text();
            if (spec.precision >= 0 && text.size() > static_cast<std::size_t>(spec.precision)) {
                std::size_t cut = static_cast<std::size_t>(spec.precision);
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
            if (negative && spec.conversion != u'd') {
                return std::nullopt;
            }
            const bool hex = spec.conversion == u'x' || spec.conversion == u'X';
            std::u16string text = Digits(arg.Magnitude(), hex ? 16 : 10, spec.conversion == u'X');
            if (spec.precision > 0 && text.size() < static_cast<std::size_t>(spec.precision)) {
                text.insert(0, static_cast<std::size_t>(spec.precision) - text.size(), u'0');
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
        Spec spec;
        if (!ReadSpec(format, pos, spec) || nextArg >= args.size()) {
            return std::nullopt;
        }
        std::optional<std::u16string> text = Convert(spec, args[nextArg++]);
        if (!text) {
            return std::nullopt;
        }
        const std::size_t width = static_cast<std::size_t>(spec.width);
        if (text->size() < width) {
            text->insert(spec.leftAlign ? text->size() : 0, width - text->size(), u' ');
        }
        result.append(*text);
    }
    return result;
}

}  // namespace tdb
