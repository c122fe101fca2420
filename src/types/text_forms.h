// The text forms of values in both directions: integers, floats, dates, times,
// time stamps and GUIDs, always independent of the process locale.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "types/calendar.h"

namespace tdb {

// Numbers accept blanks (space, tab) around them and an optional sign. Dates,
// times and time stamps accept no blanks but the ones their form contains.
// The Try... functions give nothing where the others raise; an empty text is
// not a value for any of them (the data types turn a missing text into NULL
// before asking).

std::u16string IntegerToText(std::int64_t value);
// Decimal digits only. EConvertError "\"%s\" is not a valid integer", or
// "\"%s\" is outside the range of 64-bit integers".
std::int64_t IntegerFromText(std::u16string_view text);
std::optional<std::int64_t> TryIntegerFromText(std::u16string_view text);

std::u16string BooleanToText(bool value);  // "True" / "False"
// "True" or "False" in any case; nothing otherwise.
std::optional<bool> TryBooleanFromText(std::u16string_view text);

// At most 15 significant digits, "." as separator, no trailing zeros; an
// exponent as "E" with an optional "-" and no leading zeros ("1E20", "1E-5")
// when the decimal exponent is below -4 or at least 15. Negative zero gives
// "0"; infinities and NaN give "INF", "-INF" and "NAN".
std::u16string FloatToText(double value);
// Decimal with optional exponent, "INF"/"INFINITY"/"NAN" in any case.
// EConvertError "Invalid double: \"%s\"", also for magnitudes beyond double
// and for ones so small that they would silently become zero.
double FloatFromText(std::u16string_view text);
std::optional<double> TryFloatFromText(std::u16string_view text);

// "dd.mm.yyyy"; the empty date 0 gives "".
std::u16string DateToText(std::int32_t packed);
// Three numbers: d.m.y, else m/d/y, else y-m-d. EConvertError
// "\"%s\" is not a valid date".
std::int32_t DateFromText(std::u16string_view text);
std::optional<std::int32_t> TryDateFromText(std::u16string_view text);

// Precision 1 "hh", 2 "hh:nn", 3 "hh:nn:ss", 4 "hh:nn:ss.zzz"; others are
// clamped to 1..4. Lower units are cut, not rounded.
std::u16string TimeToText(std::int64_t ticks, int precision);
// hours[:minutes[:seconds[.fraction]]][ AM| PM]; "24:00" gives kTicksPerDay.
// EConvertError "\"%s\" is not a valid time".
std::int64_t TimeFromText(std::u16string_view text);
std::optional<std::int64_t> TryTimeFromText(std::u16string_view text);

// Date, "_", time at precision 4; the empty time stamp (0, 0) gives "".
std::u16string TimeStampToText(const TTdbTimeStamp& ts);
// A time of 24:00 is the start of the following day. EConvertError
// "\"%s\" is not a valid time stamp".
TTdbTimeStamp TimeStampFromText(std::u16string_view text);
std::optional<TTdbTimeStamp> TryTimeStampFromText(std::u16string_view text);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
std::u16string GuidToText(const TTdbGuid& guid);
// Exactly that form, hex digits in either case; ETdbEngine 44 "String->Guid".
TTdbGuid GuidFromText(std::u16string_view text);
std::optional<TTdbGuid> TryGuidFromText(std::u16string_view text);

}  // namespace tdb
