// The text forms of values in both directions: integers, floats, dates, times,
// time stamps and GUIDs, always independent of the process locale.
#include "types/text_forms.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "base/engine_error.h"
#include "types/type_errors.h"

namespace tdb {

namespace {

std::u16string Widen(std::string_view ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// Digits and signs are ASCII; any other code unit makes a number invalid, so
// it is mapped to a byte that no number contains.
std::string Narrow(std::u16string_view text) {
    std::string result;
    result.reserve(text.size());
    for (const char16_t c : text) {
        result.push_back(c < 0x80 ? static_cast<char>(c) : '\x7F');
    }
    return result;
}

bool IsBlank(char16_t c) noexcept {
    return c == u' ' || c == u'\t';
}

std::u16string_view TrimBlanks(std::u16string_view text) noexcept {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool IsDigit(char16_t c) noexcept {
    return c >= u'0' && c <= u'9';
}

char16_t ToUpperAscii(char16_t c) noexcept {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ToUpperAscii(a[i]) != ToUpperAscii(b[i])) {
            return false;
        }
    }
    return true;
}

[[noreturn]] void RaiseConvert(std::u16string_view text, std::u16string_view what) {
    std::u16string message = u"\"";
    message.append(text);
    message.append(u"\" ");
    message.append(what);
    throw EConvertError(std::move(message));
}

// Appends Value in decimal, zero-padded to at least Width digits.
void AppendPadded(std::u16string& out, std::uint64_t value, int width) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    const auto length = static_cast<int>(result.ptr - buffer);
    for (int i = length; i < width; ++i) {
        out.push_back(u'0');
    }
    out.append(Widen(std::string_view(buffer, static_cast<std::size_t>(length))));
}

// Reads an unsigned decimal number of at most MaxDigits digits at Pos.
// Fails when there is no digit or too many; Digits reports how many were read.
bool ReadNumber(std::u16string_view text, std::size_t& pos, int maxDigits, int& value,
                int& digits) noexcept {
    value = 0;
    digits = 0;
    while (pos < text.size() && IsDigit(text[pos])) {
        if (digits == maxDigits) {
            return false;
        }
        value = value * 10 + (text[pos] - u'0');
        ++digits;
        ++pos;
    }
    return digits > 0;
}

enum class IntegerParse { Ok, Invalid, OutOfRange };

IntegerParse ParseInteger(std::u16string_view text, std::int64_t& value) {
    std::string narrow = Narrow(TrimBlanks(text));
    std::string_view digits = narrow;
    // from_chars takes a minus sign but no plus; neither may be doubled.
    std::size_t start = 0;
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
    } else if (!digits.empty() && digits.front() == '-') {
        start = 1;
    }
    if (digits.size() == start || digits[start] < '0' || digits[start] > '9') {
        return IntegerParse::Invalid;
    }
    const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (result.ptr != digits.data() + digits.size()) {
        return IntegerParse::Invalid;
    }
    if (result.ec == std::errc::result_out_of_range) {
        return IntegerParse::OutOfRange;
    }
    return result.ec == std::errc() ? IntegerParse::Ok : IntegerParse::Invalid;
}

std::optional<double> ParseFloat(std::u16string_view text) {
    std::string narrow = Narrow(TrimBlanks(text));
    std::string_view number = narrow;
    if (!number.empty() && number.front() == '+') {
        number.remove_prefix(1);
        if (!number.empty() && number.front() == '-') {
            return std::nullopt;
        }
    }
    if (number.empty()) {
        return std::nullopt;
    }
    double value = 0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value,
                                        std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != number.data() + number.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int32_t> ParseDate(std::u16string_view text) {
    char16_t separator = u'-';
    if (text.find(u'.') != std::u16string_view::npos) {
        separator = u'.';
    } else if (text.find(u'/') != std::u16string_view::npos) {
        separator = u'/';
    }
    int numbers[3] = {};
    int digits[3] = {};
    std::size_t pos = 0;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != separator) {
                return std::nullopt;
            }
            ++pos;
        }
        if (!ReadNumber(text, pos, 4, numbers[i], digits[i])) {
            return std::nullopt;
        }
    }
    if (pos != text.size()) {
        return std::nullopt;
    }
    int day = 0;
    int month = 0;
    int yearIndex = 0;
    switch (separator) {
        case u'.':
            day = numbers[0];
            month = numbers[1];
            yearIndex = 2;
            break;
        case u'/':
            month = numbers[0];
            day = numbers[1];
            yearIndex = 2;
            break;
        default:
            month = numbers[1];
            day = numbers[2];
            yearIndex = 0;
            break;
    }
    int year = numbers[yearIndex];
    if (digits[yearIndex] <= 2) {
        year += year < 30 ? 2000 : 1900;
    }
    if (!IsValidDate(year, month, day)) {
        return std::nullopt;
    }
    return PackDate(year, month, day);
}

std::optional<std::int64_t> ParseTime(std::u16string_view text) {
    bool hasSuffix = false;
    bool pm = false;
    if (text.size() >= 3 && text[text.size() - 3] == u' ') {
        const std::u16string_view suffix = text.substr(text.size() - 2);
        if (EqualsIgnoreCase(suffix, u"AM") || EqualsIgnoreCase(suffix, u"PM")) {
            hasSuffix = true;
            pm = EqualsIgnoreCase(suffix, u"PM");
            text.remove_suffix(3);
        }
    }
    // Five digits are more than any valid part needs, and keep the values far
    // from overflow.
    constexpr int kMaxDigits = 5;
    int parts[4] = {};
    int digits = 0;
    std::size_t pos = 0;
    if (!ReadNumber(text, pos, kMaxDigits, parts[0], digits)) {
        return std::nullopt;
    }
    for (int i = 1; i < 4 && pos < text.size(); ++i) {
        const char16_t expected = i == 3 ? u'.' : u':';
        if (text[pos] != expected) {
            return std::nullopt;
        }
        ++pos;
        if (!ReadNumber(text, pos, kMaxDigits, parts[i], digits)) {
            return std::nullopt;
        }
    }
    if (pos != text.size()) {
        return std::nullopt;
    }
    int hours = parts[0];
    const int minutes = parts[1];
    const int seconds = parts[2];
    const int milliseconds = parts[3];
    if (minutes > 59 || seconds > 59 || milliseconds > 999) {
        return std::nullopt;
    }
    if (hasSuffix) {
        if (hours < 1 || hours > 12) {
            return std::nullopt;
        }
        if (hours == 12) {
            hours = 0;
        }
        if (pm) {
            hours += 12;
        }
    } else if (hours > 24 || (hours == 24 && (minutes | seconds | milliseconds) != 0)) {
        return std::nullopt;
    }
    return hours * kTicksPerHour + minutes * kTicksPerMinute + seconds * kTicksPerSecond +
           milliseconds * kTicksPerMillisecond;
}

std::optional<TTdbTimeStamp> ParseTimeStamp(std::u16string_view text) {
    std::size_t split = text.find(u'_');
    if (split == std::u16string_view::npos) {
        split = text.find(u' ');
    }
    std::int32_t date = kMinPackedDate;
    std::int64_t ticks = 0;
    if (split == 0) {
        return std::nullopt;
    }
    if (split == std::u16string_view::npos) {
        if (text.find(u':') == std::u16string_view::npos) {
            const auto parsed = ParseDate(text);
            if (!parsed) {
                return std::nullopt;
            }
            date = *parsed;
        } else {
            const auto parsed = ParseTime(text);
            if (!parsed) {
                return std::nullopt;
            }
            ticks = *parsed;
        }
    } else {
        const auto parsedDate = ParseDate(text.substr(0, split));
        const auto parsedTime = ParseTime(text.substr(split + 1));
        if (!parsedDate || !parsedTime) {
            return std::nullopt;
        }
        date = *parsedDate;
        ticks = *parsedTime;
    }
    // 24:00 is a valid time but no time stamp may hold a full day of
    // milliseconds, so it becomes the start of the next day.
    if (ticks >= kTicksPerDay) {
        date = DayNumberToDate(DateToDayNumber(date) + 1);
        if (date == 0) {
            return std::nullopt;
        }
        ticks -= kTicksPerDay;
    }
    return TTdbTimeStamp{date, static_cast<std::int32_t>(ticks / kTicksPerMillisecond)};
}

int HexValue(char16_t c) noexcept {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    return -1;
}

// Reads Count hex digits at Pos.
bool ReadHex(std::u16string_view text, std::size_t pos, int count, std::uint32_t& value) noexcept {
    value = 0;
    for (int i = 0; i < count; ++i) {
        const int digit = HexValue(text[pos + static_cast<std::size_t>(i)]);
        if (digit < 0) {
            return false;
        }
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return true;
}

void AppendHex(std::u16string& out, std::uint32_t value, int count) {
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    for (int shift = (count - 1) * 4; shift >= 0; shift -= 4) {
        out.push_back(kDigits[(value >> shift) & 0x0F]);
    }
}

}  // namespace

std::u16string IntegerToText(std::int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return Widen(std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

std::optional<std::int64_t> TryIntegerFromText(std::u16string_view text) {
    std::int64_t value = 0;
    if (ParseInteger(text, value) != IntegerParse::Ok) {
        return std::nullopt;
    }
    return value;
}

std::int64_t IntegerFromText(std::u16string_view text) {
    std::int64_t value = 0;
    switch (ParseInteger(text, value)) {
        case IntegerParse::Ok:
            return value;
        case IntegerParse::OutOfRange:
            RaiseConvert(text, u"is outside the range of 64-bit integers");
        case IntegerParse::Invalid:
            break;
    }
    RaiseConvert(text, u"is not a valid integer");
}

std::u16string BooleanToText(bool value) {
    return value ? u"True" : u"False";
}

std::optional<bool> TryBooleanFromText(std::u16string_view text) {
    if (EqualsIgnoreCase(text, u"True")) {
        return true;
    }
    if (EqualsIgnoreCase(text, u"False")) {
        return false;
    }
    return std::nullopt;
}

std::u16string FloatToText(double value) {
    if (std::isnan(value)) {
        return u"NAN";
    }
    if (std::isinf(value)) {
        return value < 0 ? u"-INF" : u"INF";
    }
    if (value == 0) {
        return u"0";
    }
    char buffer[40];
    std::string_view text;
    // Near the largest double, rounding to 15 digits can step past it and the
    // text would no longer read back; one digit less stays inside.
    for (int precision = 15;; --precision) {
        const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value,
                                          std::chars_format::general, precision);
        text = std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer));
        double back = 0;
        if (std::from_chars(text.data(), text.data() + text.size(), back).ec == std::errc() ||
            precision == 1) {
            break;
        }
    }
    const std::size_t e = text.find('e');
    if (e == std::string_view::npos) {
        return Widen(text);
    }
    // "1.5e-07" becomes "1.5E-7": no plus sign, no leading zeros.
    std::u16string out = Widen(text.substr(0, e));
    out.push_back(u'E');
    std::size_t pos = e + 1;
    if (text[pos] == '-') {
        out.push_back(u'-');
    }
    if (text[pos] == '-' || text[pos] == '+') {
        ++pos;
    }
    while (pos + 1 < text.size() && text[pos] == '0') {
        ++pos;
    }
    out.append(Widen(text.substr(pos)));
    return out;
}

std::optional<double> TryFloatFromText(std::u16string_view text) {
    return ParseFloat(text);
}

double FloatFromText(std::u16string_view text) {
    const auto value = ParseFloat(text);
    if (!value) {
        std::u16string message = u"Invalid double: \"";
        message.append(text);
        message.push_back(u'"');
        throw EConvertError(std::move(message));
    }
    return *value;
}

std::u16string DateToText(std::int32_t packed) {
    if (packed == 0) {
        return {};
    }
    int year = 0;
    int month = 0;
    int day = 0;
    UnpackDate(packed, year, month, day);
    std::u16string out;
    AppendPadded(out, static_cast<std::uint64_t>(day), 2);
    out.push_back(u'.');
    AppendPadded(out, static_cast<std::uint64_t>(month), 2);
    out.push_back(u'.');
    if (year < 0) {
        // Only a corrupt image has a negative year; show it rather than hide it.
        out.push_back(u'-');
    }
    AppendPadded(out,
                 static_cast<std::uint64_t>(year < 0 ? -static_cast<std::int64_t>(year) : year), 4);
    return out;
}

std::optional<std::int32_t> TryDateFromText(std::u16string_view text) {
    return ParseDate(text);
}

std::int32_t DateFromText(std::u16string_view text) {
    const auto packed = ParseDate(text);
    if (!packed) {
        RaiseConvert(text, u"is not a valid date");
    }
    return *packed;
}

std::u16string TimeToText(std::int64_t ticks, int precision) {
    precision = precision < 1 ? 1 : (precision > 4 ? 4 : precision);
    std::u16string out;
    // Times wrap around the day in arithmetic, so a negative count comes only
    // from a corrupt image; the magnitude is formatted without overflow.
    std::uint64_t magnitude = static_cast<std::uint64_t>(ticks);
    if (ticks < 0) {
        out.push_back(u'-');
        magnitude = ~magnitude + 1;
    }
    const auto hourTicks = static_cast<std::uint64_t>(kTicksPerHour);
    const auto minuteTicks = static_cast<std::uint64_t>(kTicksPerMinute);
    const auto secondTicks = static_cast<std::uint64_t>(kTicksPerSecond);
    const auto msTicks = static_cast<std::uint64_t>(kTicksPerMillisecond);
    AppendPadded(out, magnitude / hourTicks, 2);
    if (precision >= 2) {
        out.push_back(u':');
        AppendPadded(out, magnitude % hourTicks / minuteTicks, 2);
    }
    if (precision >= 3) {
        out.push_back(u':');
        AppendPadded(out, magnitude % minuteTicks / secondTicks, 2);
    }
    if (precision >= 4) {
        out.push_back(u'.');
        AppendPadded(out, magnitude % secondTicks / msTicks, 3);
    }
    return out;
}

std::optional<std::int64_t> TryTimeFromText(std::u16string_view text) {
    return ParseTime(text);
}

std::int64_t TimeFromText(std::u16string_view text) {
    const auto ticks = ParseTime(text);
    if (!ticks) {
        RaiseConvert(text, u"is not a valid time");
    }
    return *ticks;
}

std::u16string TimeStampToText(const TTdbTimeStamp& ts) {
    if (ts.Date == 0 && ts.Time == 0) {
        return {};
    }
    std::u16string out = DateToText(ts.Date);
    out.push_back(u'_');
    out.append(TimeToText(ts.Time * kTicksPerMillisecond, 4));
    return out;
}

std::optional<TTdbTimeStamp> TryTimeStampFromText(std::u16string_view text) {
    return ParseTimeStamp(text);
}

TTdbTimeStamp TimeStampFromText(std::u16string_view text) {
    const auto ts = ParseTimeStamp(text);
    if (!ts) {
        RaiseConvert(text, u"is not a valid time stamp");
    }
    return *ts;
}

std::u16string GuidToText(const TTdbGuid& guid) {
    std::u16string out;
    out.reserve(38);
    out.push_back(u'{');
    AppendHex(out, guid.D1, 8);
    out.push_back(u'-');
    AppendHex(out, guid.D2, 4);
    out.push_back(u'-');
    AppendHex(out, guid.D3, 4);
    out.push_back(u'-');
    AppendHex(out, guid.D4[0], 2);
    AppendHex(out, guid.D4[1], 2);
    out.push_back(u'-');
    for (int i = 2; i < 8; ++i) {
        AppendHex(out, guid.D4[i], 2);
    }
    out.push_back(u'}');
    return out;
}

std::optional<TTdbGuid> TryGuidFromText(std::u16string_view text) {
    if (text.size() != 38 || text[0] != u'{' || text[9] != u'-' || text[14] != u'-' ||
        text[19] != u'-' || text[24] != u'-' || text[37] != u'}') {
        return std::nullopt;
    }
    TTdbGuid guid;
    std::uint32_t value = 0;
    if (!ReadHex(text, 1, 8, value)) {
        return std::nullopt;
    }
    guid.D1 = value;
    if (!ReadHex(text, 10, 4, value)) {
        return std::nullopt;
    }
    guid.D2 = static_cast<std::uint16_t>(value);
    if (!ReadHex(text, 15, 4, value)) {
        return std::nullopt;
    }
    guid.D3 = static_cast<std::uint16_t>(value);
    static constexpr std::size_t kBytePositions[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, kBytePositions[i], 2, value)) {
            return std::nullopt;
        }
        guid.D4[i] = static_cast<std::uint8_t>(value);
    }
    return guid;
}

TTdbGuid GuidFromText(std::u16string_view text) {
    const auto guid = TryGuidFromText(text);
    if (!guid) {
        RaiseEngineError(44, {u"String->Guid"});
    }
    return *guid;
}

}  // namespace tdb
