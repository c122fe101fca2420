// Date, Time and TimeStamp: their images, NULL as the empty value, order by
// day number and ticks, text forms and date arithmetic.
#include <cmath>
#include <limits>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "types/data_type.h"
#include "types/data_type_internal.h"
#include "types/text_forms.h"

namespace tdb {

using detail::ThreeWay;

namespace {

constexpr std::int64_t kMsPerDay = kMillisecondsPerDay;

// A time stamp as milliseconds since day 0, for arithmetic without rounding drift.
std::int64_t TotalMilliseconds(const TTdbTimeStamp& ts) {
    return static_cast<std::int64_t>(DateToDayNumber(ts.Date)) * kMsPerDay + ts.Time;
}

bool IsPlainDate(const TTdbDataType* t) {
    return t->GetColumnType() == ctDate;
}

bool IsDateOrStamp(const TTdbDataType* t) {
    return t->GetColumnType() == ctDate || t->GetColumnType() == ctTimeStamp;
}

}  // namespace

TTdbDateTimeType::TTdbDateTimeType(TTdbColumnType columnType, bool nullable, std::int16_t precision,
                                   std::int16_t level) noexcept
    : TTdbDataType(columnType, nullable, level),
      FPrecision(precision),
      FHasNullByte(nullable && columnType == ctTime) {}

std::int32_t TTdbDateTimeType::GetDataSize() const noexcept {
    switch (FColumnType) {
        case ctDate:
            return 4;
        case ctTimeStamp:
            return 8;
        default:
            return (StoresMinutes() ? 2 : 4) + (FHasNullByte ? 1 : 0);
    }
}

std::u16string TTdbDateTimeType::GetSqlName() const {
    switch (FColumnType) {
        case ctDate:
            return u"Date";
        case ctTime:
            return u"Time";
        default:
            return u"TimeStamp";
    }
}

std::u16string TTdbDateTimeType::GetTplName() const {
    switch (FColumnType) {
        case ctDate:
            return u"Date";
        case ctTime:
            return u"Time";
        default:
            return u"DateTime";
    }
}

const TTdbDataType* TTdbDateTimeType::GetNullableType(bool nullable) const {
    return nullable == FNullable ? this
                                 : GetDateTimeType(FColumnType, nullable, FPrecision, FLevel);
}

const TTdbDataType* TTdbDateTimeType::GetLevelType(std::int16_t level) const {
    return level == FLevel ? this : GetDateTimeType(FColumnType, FNullable, FPrecision, level);
}

void TTdbDateTimeType::GetDefault(TTdbDataValue& value) const {
    switch (FColumnType) {
        case ctDate:
            SetDate(value, kMinPackedDate);
            break;
        case ctTime:
            SetTime(value, 0);
            break;
        default:
            SetTimeStamp(value, {kMinPackedDate, 0});
            break;
    }
}

void TTdbDateTimeType::GetMaximum(TTdbDataValue& value) const {
    switch (FColumnType) {
        case ctDate:
            SetDate(value, kMaxPackedDate);
            break;
        case ctTime:
            SetTime(value, kMaxTimeTicks);
            break;
        default:
            SetTimeStamp(value, {kMaxPackedDate, kMillisecondsPerDay - 1});
            break;
    }
}

void TTdbDateTimeType::GetMinimum(TTdbDataValue& value) const {
    if (FNullable && FLevel >= 4) {
        SetNull(value);
        return;
    }
    switch (FColumnType) {
        case ctDate:
            SetDate(value, 0);
            break;
        case ctTime:
            SetTime(value, 0);
            break;
        default:
            SetTimeStamp(value, {0, 0});
            break;
    }
}

bool TTdbDateTimeType::IsNull(const TTdbDataValue& value) const {
    const std::uint8_t* image = value.Image();
    switch (FColumnType) {
        case ctDate:
            return LoadLE<std::int32_t>(image) == 0;
        case ctTime:
            return FHasNullByte && image[NullByteOffset()] == 0;
        default:
            return LoadLE<std::int32_t>(image) == 0 && LoadLE<std::int32_t>(image + 4) == 0;
    }
}

void TTdbDateTimeType::SetNull(TTdbDataValue& value) const {
    if (!FNullable) {
        RaiseNotNullable();
    }
    PrepareFixed(value);
    std::uint8_t* image = value.Image();
    switch (FColumnType) {
        case ctDate:
            StoreLE<std::int32_t>(image, 0);
            break;
        case ctTime:
            image[NullByteOffset()] = 0;
            break;
        default:
            StoreLE<std::int32_t>(image, 0);
            StoreLE<std::int32_t>(image + 4, 0);
            break;
    }
}

void TTdbDateTimeType::SetTime(TTdbDataValue& value, std::int64_t ticks) const {
    if (FColumnType != ctTime) {
        TTdbDataType::SetTime(value, ticks);
    }
    // Texts may say 24:00, but a time of day ends before it: the end of the day
    // is the next day's start, which only a time stamp can hold.
    if (ticks < 0 || ticks > kMaxTimeTicks) {
        RaiseRange(ticks, 0, kMaxTimeTicks);
    }
    std::uint8_t* image = WriteImage(value) + ValueOffset();
    if (StoresMinutes()) {
        StoreLE<std::int16_t>(image, static_cast<std::int16_t>(ticks / kTicksPerMinute));
    } else {
        StoreLE<std::int32_t>(image, static_cast<std::int32_t>(ticks / kTicksPerMillisecond));
    }
}

std::int64_t TTdbDateTimeType::GetTime(const TTdbDataValue& value) const {
    const std::uint8_t* image = value.Image();
    switch (FColumnType) {
        case ctTime:
            image += ValueOffset();
            return StoresMinutes() ? LoadLE<std::int16_t>(image) * kTicksPerMinute
                                   : LoadLE<std::int32_t>(image) * kTicksPerMillisecond;
        case ctTimeStamp:
            return LoadLE<std::int32_t>(image + 4) * kTicksPerMillisecond;
        default:
            return TTdbDataType::GetTime(value);
    }
}

void TTdbDateTimeType::SetDate(TTdbDataValue& value, std::int32_t date) const {
    if (FColumnType == ctTime) {
        TTdbDataType::SetDate(value, date);
    }
    if (date != 0 && !IsValidPackedDate(date)) {
        RaiseRange(date, kMinPackedDate, kMaxPackedDate);
    }
    std::uint8_t* image = WriteImage(value);
    StoreLE<std::int32_t>(image, date);
    if (FColumnType == ctTimeStamp) {
        StoreLE<std::int32_t>(image + 4, 0);
    }
}

std::int32_t TTdbDateTimeType::GetDate(const TTdbDataValue& value) const {
    if (FColumnType == ctTime) {
        return TTdbDataType::GetDate(value);
    }
    return LoadLE<std::int32_t>(value.Image());
}

void TTdbDateTimeType::SetTimeStamp(TTdbDataValue& value, const TTdbTimeStamp& v) const {
    if (FColumnType != ctTimeStamp) {
        TTdbDataType::SetTimeStamp(value, v);
    }
    if (v.Date != 0 && !IsValidPackedDate(v.Date)) {
        RaiseRange(v.Date, kMinPackedDate, kMaxPackedDate);
    }
    if (v.Time < 0 || v.Time >= kMillisecondsPerDay) {
        RaiseRange(v.Time, 0, kMillisecondsPerDay - 1);
    }
    // The empty date is NULL; a time on it would be neither NULL nor a moment.
    if (v.Date == 0 && v.Time != 0) {
        RaiseRange(v.Time, 0, 0);
    }
    std::uint8_t* image = WriteImage(value);
    StoreLE<std::int32_t>(image, v.Date);
    StoreLE<std::int32_t>(image + 4, v.Time);
}

TTdbTimeStamp TTdbDateTimeType::GetTimeStamp(const TTdbDataValue& value) const {
    const std::uint8_t* image = value.Image();
    switch (FColumnType) {
        case ctDate:
            return {LoadLE<std::int32_t>(image), 0};
        case ctTimeStamp:
            return {LoadLE<std::int32_t>(image), LoadLE<std::int32_t>(image + 4)};
        default:
            return TTdbDataType::GetTimeStamp(value);
    }
}

bool TTdbDateTimeType::CanCompareTo(const TTdbDataType* other) const {
    if (FColumnType == ctTime) {
        return other->GetColumnType() == ctTime;
    }
    return IsDateOrStamp(other);
}

int TTdbDateTimeType::CompareTo(const TTdbDataValue& v1, const TTdbDataValue& v2,
                                const TTdbDataType* t2, TStrCmpOptions) const {
    if (IsNull(v1) || t2->IsNull(v2)) {
        return kCompareUndetermined;
    }
    if (FColumnType == ctTime) {
        return ThreeWay(GetTime(v1), t2->GetTime(v2));
    }
    if (FColumnType == ctDate && IsPlainDate(t2)) {
        return ThreeWay(DateToDayNumber(GetDate(v1)), DateToDayNumber(t2->GetDate(v2)));
    }
    return detail::FromSign(CompareTimeStamps(GetTimeStamp(v1), t2->GetTimeStamp(v2)));
}

bool TTdbDateTimeType::CanConvertTo(const TTdbDataType* to, bool explicitly) const {
    if (TTdbDataType::CanConvertTo(to, explicitly)) {
        return true;
    }
    TTdbColumnType tc = to->GetColumnType();
    if (FColumnType == ctTimeStamp && (tc == ctDate || tc == ctTime)) {
        return true;
    }
    if (!explicitly) {
        return false;
    }
    switch (tc) {
        case ctFloat:
        case ctBoolean:
        case ctInteger:
        case ctBigInt:
            return true;
        case ctSmallInt:
            return FColumnType == ctTime;
        default:
            return false;
    }
}

bool TTdbDateTimeType::CanConvertFrom(const TTdbDataType* from, bool explicitly) const {
    if (TTdbDataType::CanConvertFrom(from, explicitly)) {
        return true;
    }
    TTdbColumnType fc = from->GetColumnType();
    switch (FColumnType) {
        case ctTimeStamp:
            return fc == ctFloat || fc == ctDate || fc == ctTime;
        case ctTime:
            return explicitly && (fc == ctSmallInt || fc == ctFloat || fc == ctInteger);
        default:
            return explicitly && (fc == ctFloat || fc == ctInteger || fc == ctBigInt);
    }
}

std::u16string TTdbDateTimeType::ConvertToString(const TTdbDataValue& value) const {
    if (IsNull(value)) {
        return {};
    }
    switch (FColumnType) {
        case ctDate:
            return DateToText(GetDate(value));
        case ctTime:
            return TimeToText(GetTime(value), FPrecision);
        default:
            return TimeStampToText(GetTimeStamp(value));
    }
}

void TTdbDateTimeType::ConvertFromString(TTdbDataValue& value,
                                         std::optional<std::u16string_view> text) const {
    if (!text || text->empty()) {
        SetNull(value);
        return;
    }
    switch (FColumnType) {
        case ctDate:
            SetDate(value, DateFromText(*text));
            break;
        case ctTime:
            SetTime(value, TimeFromText(*text));
            break;
        default:
            SetTimeStamp(value, TimeStampFromText(*text));
            break;
    }
}

const TTdbDataType* TTdbDateTimeType::GetSuperType(const TTdbDataType* other) const {
    if (!other->IsDateTimeType()) {
        return nullptr;
    }
    auto* o = static_cast<const TTdbDateTimeType*>(other);
    bool nullable = FNullable || o->GetNullable();
    std::int16_t precision = std::max(FPrecision, o->GetPrecision());
    if (FColumnType == ctTime || o->GetColumnType() == ctTime) {
        if (FColumnType != o->GetColumnType()) {
            return nullptr;
        }
        return GetDateTimeType(ctTime, nullable, precision, FLevel);
    }
    if (FColumnType == ctDate && o->GetColumnType() == ctDate) {
        return GetDateTimeType(ctDate, nullable, FPrecision, FLevel);
    }
    return GetDateTimeType(ctTimeStamp, nullable, precision, 6);
}

const TTdbDataType* TTdbDateTimeType::GetResultDataType(TTdbDataUnaryOperator op) const {
    // The next day of a date.
    if (op == TTdbDataUnaryOperator::Successor && FColumnType == ctDate) {
        return this;
    }
    return nullptr;
}

const TTdbDataType* TTdbDateTimeType::GetResultDataTypeWith(TTdbDataBinaryOperator op,
                                                            const TTdbDataType* t1,
                                                            const TTdbDataType* t2) const {
    bool add = op == TTdbDataBinaryOperator::Add;
    bool subtract = op == TTdbDataBinaryOperator::Subtract;
    if (!add && !subtract) {
        return nullptr;
    }
    bool nullable = t1->GetNullable() || t2->GetNullable();
    std::int16_t level = t1->GetLevel();
    TTdbColumnType c1 = t1->GetColumnType();
    TTdbColumnType c2 = t2->GetColumnType();
    // A date or time on the left with a number; a number on the left only for addition.
    const TTdbDataType* when = nullptr;
    const TTdbDataType* number = nullptr;
    if (t1->IsDateTimeType() && t2->IsNumeric()) {
        when = t1;
        number = t2;
    } else if (add && t1->IsNumeric() && t2->IsDateTimeType()) {
        when = t2;
        number = t1;
    }
    if (when != nullptr) {
        TTdbColumnType wc = when->GetColumnType();
        if (wc == ctTime) {
            return GetDateTimeType(ctTime, nullable,
                                   static_cast<const TTdbDateTimeType*>(when)->GetPrecision(),
                                   level);
        }
        if (wc == ctDate && number->IsIntegerFamily()) {
            return GetDateTimeType(ctDate, nullable, 4, level);
        }
        if (number->GetColumnType() == ctFloat) {
            return GetDateTimeType(ctTimeStamp, nullable, 4, level);
        }
        return nullptr;  // a TimeStamp with an integer: say in days with a Float
    }
    if (!subtract) {
        return nullptr;
    }
    if (c1 == ctDate && c2 == ctDate) {
        return GetIntegerType(ctInteger, nullable, level);
    }
    if (IsDateOrStamp(t1) && IsDateOrStamp(t2)) {
        return GetFloatType(nullable, 0, level);
    }
    if (c1 == ctTime && c2 == ctTime) {
        return GetFloatType(nullable, 0, level);
    }
    return nullptr;
}

void TTdbDateTimeType::CalculateWith(TTdbDataBinaryOperator op, const TTdbDataValue& v1,
                                     const TTdbDataValue& v2, TTdbDataValue& result,
                                     const TTdbDataType* t1, const TTdbDataType* t2,
                                     const TTdbDataType* resultType) const {
    if (GetResultDataTypeWith(op, t1, t2) == nullptr) {
        TTdbDataType::CalculateWith(op, v1, v2, result, t1, t2, resultType);
    }
    bool subtract = op == TTdbDataBinaryOperator::Subtract;
    TTdbColumnType c1 = t1->GetColumnType();
    TTdbColumnType c2 = t2->GetColumnType();
    if (t1->IsDateTimeType() && t2->IsDateTimeType()) {
        if (c1 == ctTime) {
            double minutes = static_cast<double>(t1->GetTime(v1) - t2->GetTime(v2)) /
                             static_cast<double>(kTicksPerMinute);
            resultType->SetDouble(result, minutes);
        } else if (c1 == ctDate && c2 == ctDate) {
            resultType->SetInteger(result,
                                   static_cast<std::int64_t>(DateToDayNumber(t1->GetDate(v1))) -
                                       DateToDayNumber(t2->GetDate(v2)));
        } else {
            std::int64_t ms =
                TotalMilliseconds(t1->GetTimeStamp(v1)) - TotalMilliseconds(t2->GetTimeStamp(v2));
            resultType->SetDouble(result, static_cast<double>(ms) / static_cast<double>(kMsPerDay));
        }
        return;
    }
    bool whenFirst = t1->IsDateTimeType();
    const TTdbDataType* when = whenFirst ? t1 : t2;
    const TTdbDataType* number = whenFirst ? t2 : t1;
    const TTdbDataValue& whenValue = whenFirst ? v1 : v2;
    const TTdbDataValue& numberValue = whenFirst ? v2 : v1;
    int sign = subtract ? -1 : 1;
    if (when->GetColumnType() == ctTime) {
        // The number counts minutes; the time of day wraps around midnight.
        std::int64_t delta =
            number->GetColumnType() == ctFloat
                ? detail::RoundToInt64(
                      number->GetDouble(numberValue) * static_cast<double>(kTicksPerMinute),
                      resultType)
                : (number->GetInteger(numberValue) % (kTicksPerDay / kTicksPerMinute)) *
                      kTicksPerMinute;
        std::int64_t ticks =
            (when->GetTime(whenValue) + sign * (delta % kTicksPerDay)) % kTicksPerDay;
        if (ticks < 0) {
            ticks += kTicksPerDay;
        }
        resultType->SetTime(result, ticks);
        return;
    }
    const std::int32_t base = DateToDayNumber(when->GetDate(whenValue));
    if (resultType->GetColumnType() == ctDate) {
        // In 128 bits no day count, however large, overflows before the range check.
        const detail::TWideInteger days = number->GetInteger(numberValue);
        const detail::TWideInteger day = base + sign * days;
        if (day < MinDayNumber() || day > MaxDayNumber()) {
            detail::RaiseDayRange(detail::WideIntegerText(day), resultType);
        }
        resultType->SetDate(result, DayNumberToDate(static_cast<std::int32_t>(day)));
        return;
    }
    // Date or TimeStamp with a Float number of days, applied in milliseconds. A count
    // beyond the whole calendar is out of range before it is scaled, so that the
    // milliseconds below stay far inside 64 bits.
    const double days = sign * number->GetDouble(numberValue);
    if (!(std::fabs(days) <= static_cast<double>(MaxDayNumber()))) {
        detail::RaiseDayRange(FloatToText(base + days), resultType);
    }
    std::int64_t deltaMs = detail::RoundToInt64(days * static_cast<double>(kMsPerDay), resultType);
    std::int64_t total = TotalMilliseconds(when->GetTimeStamp(whenValue)) + deltaMs;
    std::int64_t day = total >= 0 ? total / kMsPerDay : -((-total + kMsPerDay - 1) / kMsPerDay);
    std::int64_t ms = total - day * kMsPerDay;
    if (day < MinDayNumber() || day > MaxDayNumber()) {
        detail::RaiseDayRange(IntegerToText(day), resultType);
    }
    resultType->SetTimeStamp(
        result, {DayNumberToDate(static_cast<std::int32_t>(day)), static_cast<std::int32_t>(ms)});
}

void TTdbDateTimeType::CalculateWith(TTdbDataUnaryOperator op, const TTdbDataValue& v,
                                     TTdbDataValue& result, const TTdbDataType* resultType) const {
    if (op != TTdbDataUnaryOperator::Successor || FColumnType != ctDate) {
        TTdbDataType::CalculateWith(op, v, result, resultType);
    }
    std::int32_t day = DateToDayNumber(GetDate(v)) + 1;
    if (day > MaxDayNumber()) {
        detail::RaiseDayRange(IntegerToText(day), resultType);
    }
    resultType->SetDate(result, DayNumberToDate(day));
}

}  // namespace tdb
