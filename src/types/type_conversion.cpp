// The value rules of conversions between kinds: rounding, cutting numbers to
// a target's width, dates and times to and from numbers, texts, enumerations.
#include <cmath>
#include <limits>

#include "base/engine_error.h"
#include "types/data_type.h"
#include "types/data_type_internal.h"
#include "types/text_forms.h"
#include "types/type_errors.h"

namespace tdb::detail {

namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;

[[noreturn]] void RaiseOutOfRange(std::u16string value, const TTdbDataType* target,
                                  std::u16string lo, std::u16string hi) {
    RaiseEngineError(81, {std::move(value), target->GetSqlName(), std::move(lo), std::move(hi)});
}

std::int64_t CheckedMultiply(std::int64_t a, std::int64_t b, const TTdbDataType* target) {
    std::int64_t r;
    if (__builtin_mul_overflow(a, b, &r)) {
        RaiseOutOfRange(IntegerToText(a), target,
                        IntegerToText(std::numeric_limits<std::int64_t>::min()),
                        IntegerToText(std::numeric_limits<std::int64_t>::max()));
    }
    return r;
}

// A day number turned into a packed date; outside the calendar is an error,
// not silently the empty date.
std::int32_t DayToDate(std::int64_t day, const TTdbDataType* target) {
    if (day < MinDayNumber() || day > MaxDayNumber()) {
        detail::RaiseDayRange(IntegerToText(day), target);
    }
    return DayNumberToDate(static_cast<std::int32_t>(day));
}

void SetDefaultOrNull(TTdbDataValue& target, const TTdbDataType* to) {
    if (to->GetNullable()) {
        to->SetNull(target);
    } else {
        to->GetDefault(target);
    }
}

void IntoString(const TTdbDataValue& fromValue, const TTdbDataType* from, TTdbDataValue& target,
                const TTdbDataType* to) {
    auto* ts = static_cast<const TTdbStringType*>(to);
    if (from->IsAnsiStringType()) {
        auto* fs = static_cast<const TTdbStringType*>(from);
        if (to->IsAnsiStringType() &&
            fs->GetCollation().AnsiCodePage() == ts->GetCollation().AnsiCodePage()) {
            to->SetAnsiString(target, from->GetPAnsiChar(fromValue));
        } else {
            // Widened through the source's code page; a narrow target narrows
            // through its own.
            to->SetWideString(target, from->GetWideString(fromValue));
        }
        return;
    }
    if (from->IsWideStringType() || from->GetColumnType() == ctChar) {
        to->SetWideString(target, from->GetWideString(fromValue));
        return;
    }
    to->SetWideString(target, from->ConvertToString(fromValue));
}

std::int64_t IntegerOf(const TTdbDataValue& fromValue, const TTdbDataType* from,
                       const TTdbDataType* to) {
    switch (from->GetColumnType()) {
        case ctFloat:
            return RoundToInt64(from->GetDouble(fromValue), to);
        case ctDate:
            return DateToDayNumber(from->GetDate(fromValue));
        case ctTime:
            return from->GetTime(fromValue) / kTicksPerMinute;
        case ctTimeStamp:
            return RoundToInt64(TimeStampToNumber(from->GetTimeStamp(fromValue)), to);
        default:
            return from->GetInteger(fromValue);  // Integer family, Enum
    }
}

double DoubleOf(const TTdbDataValue& fromValue, const TTdbDataType* from) {
    switch (from->GetColumnType()) {
        case ctFloat:
            return from->GetDouble(fromValue);
        case ctDate:
            return DateToDayNumber(from->GetDate(fromValue));
        case ctTime:
            return static_cast<double>(from->GetTime(fromValue) / kTicksPerMinute);
        case ctTimeStamp:
            return TimeStampToNumber(from->GetTimeStamp(fromValue));
        default: {
            std::int64_t v = from->GetInteger(fromValue);
            double d = static_cast<double>(v);
            // Exact or not at all: a BigInt that a double cannot hold exactly
            // would otherwise change silently.
            if (d >= kTwoTo63 || static_cast<std::int64_t>(d) != v) {
                throw EOverflowError(std::u16string(u"Large integer value overflows double range"));
            }
            return d;
        }
    }
}

}  // namespace

void RaiseDayRange(std::u16string value, const TTdbDataType* target) {
    RaiseEngineError(81, {std::move(value), target->GetSqlName(), IntegerToText(MinDayNumber()),
                          IntegerToText(MaxDayNumber())});
}

std::u16string WideIntegerText(TWideInteger value) {
    // Negating in unsigned arithmetic keeps the smallest value well defined.
    __extension__ typedef unsigned __int128 TMagnitude;
    TMagnitude magnitude =
        value < 0 ? TMagnitude{0} - static_cast<TMagnitude>(value) : static_cast<TMagnitude>(value);
    std::u16string text;
    do {
        text.insert(text.begin(), static_cast<char16_t>(u'0' + static_cast<int>(magnitude % 10)));
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        text.insert(text.begin(), u'-');
    }
    return text;
}

std::int64_t RoundToInt64(double v, const TTdbDataType* target) {
    if (!std::isfinite(v) || v >= kTwoTo63 || v < -kTwoTo63) {
        RaiseOutOfRange(FloatToText(v), target,
                        IntegerToText(std::numeric_limits<std::int64_t>::min()),
                        IntegerToText(std::numeric_limits<std::int64_t>::max()));
    }
    // Ties to even, whatever the floating-point rounding mode.
    double f = std::floor(v);
    double diff = v - f;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(f, 2.0) != 0.0)) {
        f += 1.0;
    }
    if (f >= kTwoTo63) {
        RaiseOutOfRange(FloatToText(v), target,
                        IntegerToText(std::numeric_limits<std::int64_t>::min()),
                        IntegerToText(std::numeric_limits<std::int64_t>::max()));
    }
    return static_cast<std::int64_t>(f);
}

std::int64_t CutToWidth(TTdbColumnType columnType, std::int64_t v) noexcept {
    auto u = static_cast<std::uint64_t>(v);
    switch (columnType) {
        case ctSmallInt:
            return static_cast<std::int16_t>(static_cast<std::uint16_t>(u));
        case ctByte:
            return static_cast<std::int64_t>(u & 0xFF);
        case ctBoolean:
            return v != 0 ? 1 : 0;
        case ctAutoInc:
        case ctLink:
        case ctBlob:
        case ctInteger:
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(u));
        default:
            return v;
    }
}

void ConvertValue(const TTdbDataValue& fromValue, const TTdbDataType* from, TTdbDataValue& target,
                  const TTdbDataType* to) {
    if (from->GetColumnType() == ctNull || from->IsNull(fromValue)) {
        SetDefaultOrNull(target, to);
        return;
    }
    if (to->IsStringType()) {
        IntoString(fromValue, from, target, to);
        return;
    }
    TTdbColumnType fc = from->GetColumnType();
    if (from->IsStringType()) {
        to->ConvertFromString(target, from->GetWideString(fromValue));
        return;
    }
    if (to->IsIntegerFamily()) {
        std::int64_t v = IntegerOf(fromValue, from, to);
        to->SetInteger(target, CutToWidth(to->GetColumnType(), v));
        return;
    }
    switch (to->GetColumnType()) {
        case ctFloat:
            to->SetDouble(target, DoubleOf(fromValue, from));
            return;
        case ctDate:
            if (fc == ctDate || fc == ctTimeStamp) {
                to->SetDate(target, from->GetDate(fromValue));
            } else {
                std::int64_t day = fc == ctFloat ? RoundToInt64(from->GetDouble(fromValue), to)
                                                 : from->GetInteger(fromValue);
                if (day == 0) {
                    SetDefaultOrNull(target, to);  // day 0 is the empty date
                } else {
                    to->SetDate(target, DayToDate(day, to));
                }
            }
            return;
        case ctTime:
            if (fc == ctTime || fc == ctTimeStamp) {
                to->SetTime(target, from->GetTime(fromValue));
            } else if (fc == ctFloat) {
                to->SetTime(target, RoundToInt64(from->GetDouble(fromValue) *
                                                     static_cast<double>(kTicksPerMinute),
                                                 to));
            } else {
                to->SetTime(target,
                            CheckedMultiply(from->GetInteger(fromValue), kTicksPerMinute, to));
            }
            return;
        case ctTimeStamp:
            switch (fc) {
                case ctTimeStamp:
                case ctDate:
                    to->SetTimeStamp(target, from->GetTimeStamp(fromValue));
                    return;
                case ctTime:
                    to->SetTimeStamp(target, {kMinPackedDate,
                                              static_cast<std::int32_t>(from->GetTime(fromValue) /
                                                                        kTicksPerMillisecond)});
                    return;
                default:
                    to->SetTimeStamp(target, NumberToTimeStamp(DoubleOf(fromValue, from)));
                    return;
            }
        case ctEnum:
            if (fc == ctEnum) {
                auto* fe = static_cast<const TTdbEnumType*>(from);
                auto* te = static_cast<const TTdbEnumType*>(to);
                const TTdbEnumItem* item = fe->FindItem(from->GetInteger(fromValue));
                const TTdbEnumItem* mapped = item != nullptr ? te->FindItem(item->Name) : nullptr;
                if (mapped == nullptr) {
                    throw EConvertError(u"\"" + (item != nullptr ? item->Name : u"") +
                                        u"\" is not a valid enumeration value for " +
                                        te->GetName() + u".");
                }
                to->SetInteger(target, mapped->Value);
            } else {
                to->SetInteger(target, from->GetInteger(fromValue));
            }
            return;
        case ctChar:
            to->SetAnsiString(target, from->GetPAnsiChar(fromValue));
            return;
        case ctGuid:
            to->SetGuid(target, from->GetGuid(fromValue));
            return;
        case ctBlob:
            to->SetBytes(target, from->GetBytes(fromValue));
            return;
        case ctRelation:
            to->SetObject(target, from->GetObject(fromValue));
            return;
        default:
            RaiseEngineError(44, {from->GetTplName() + u"->" + to->GetTplName()});
    }
}

}  // namespace tdb::detail
