// Function calls, CASE and parameters of conditions. Preparing resolves each
// call once (which function, how its arguments convert, its result type);
// evaluating reads the arguments, converts only those that need it and
// writes the result into the call's own cell.
#include "expr/sql_functions.h"

#include <unicode/dtfmtsym.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "platform/clock.h"
#include "platform/random.h"
#include "types/text_forms.h"
#include "types/type_errors.h"

namespace tdb {

// ---- Context defaults ----

TTdbTimeStamp TTdbEvalContext::GetLocalTimeStamp() const {
    const platform::TLocalTime now = platform::GetLocalTime();
    TTdbTimeStamp stamp;
    stamp.Date = PackDate(now.Year, now.Month, now.Day);
    stamp.Time = ((now.Hour * 60 + now.Minute) * 60 + now.Second) * 1000 + now.Millisecond;
    return stamp;
}

std::u16string TTdbEvalContext::GetWeekDayName(int day) const {
    // Read once: the locale of a running process does not change under it.
    static const std::array<std::u16string, 7> names = [] {
        std::array<std::u16string, 7> result = {u"Monday", u"Tuesday",  u"Wednesday", u"Thursday",
                                                u"Friday", u"Saturday", u"Sunday"};
        UErrorCode status = U_ZERO_ERROR;
        const icu::DateFormatSymbols symbols(status);
        if (U_FAILURE(status)) {
            return result;
        }
        std::int32_t count = 0;
        const icu::UnicodeString* days = symbols.getWeekdays(count);
        if (days == nullptr || count < 8) {
            return result;
        }
        for (int i = 0; i < 7; ++i) {
            // ICU counts from Sunday = 1.
            const icu::UnicodeString& name = days[i == 6 ? 1 : i + 2];
            if (!name.isEmpty()) {
                result[static_cast<std::size_t>(i)] =
                    std::u16string(name.getBuffer(), static_cast<std::size_t>(name.length()));
            }
        }
        return result;
    }();
    return day >= 1 && day <= 7 ? names[static_cast<std::size_t>(day - 1)] : std::u16string();
}

namespace {

inline constexpr std::int16_t kTdbErrOutOfAllowedRange = 43;
inline constexpr std::int16_t kTdbErrInvalidDate = 137;
inline constexpr std::int16_t kTdbErrInvalidTime = 140;

// Every function either table names, in one list.
enum class TFn : std::uint8_t {
    Abs,
    Ceiling,
    Floor,
    Int,
    Frac,
    Log,
    Exp,
    Sqrt,
    Round,
    Random,
    RealVal,
    Chr,
    Len,
    Upper,
    Lower,
    Substring,
    Trim,
    LTrim,
    RTrim,
    NTimes,
    Exchange,
    FillStr,
    DigitStr,
    Str,
    Extract,
    CurrentDate,
    CurrentTime,
    CurrentTimeStamp,
    Cast,
    CurrentRecordId,
    Sin,
    Cos,
    ArcTan,
    Ascii,
    Pos,
    Scan,
    LeftStr,
    RightStr,
    HexStr,
    Year,
    Month,
    Day,
    Week,
    DayOfWeek,
    WeekDayNo,
    Hour,
    Minute,
    Second,
    Millisecond,
    CombineDateTime,
    MakeTime,
    MakeDate,
    MakeDateTime,
    TimeStr,
    DateStr,
    DateTimeStr,
    NewGuid,
};

// What an argument is read as.
enum class TArgKind : std::uint8_t {
    Number,    // any numeric type, read as a double
    Integer,   // an integer type, read as a 64-bit integer
    String,    // any string type, read as UTF-16
    Date,      // Date or TimeStamp
    Time,      // Time or TimeStamp
    DateTime,  // Date, Time or TimeStamp
    Value,     // Enum or numeric (STR)
    Any,       // CAST: converted by the cast itself
};

struct TDataFunction {
    std::u16string_view Name;  // upper case
    TFn Fn;
    std::int8_t MinArguments;
    std::array<TArgKind, 7> Kinds;
    std::int8_t MaxArguments;
};

using K = TArgKind;

// The engine's data functions. FillStr is the two-argument form of the SQL
// FILLSTR and is found through it.
constexpr TDataFunction kDataFunctions[] = {
    {u"SIN", TFn::Sin, 1, {K::Number}, 1},
    {u"COS", TFn::Cos, 1, {K::Number}, 1},
    {u"ARCTAN", TFn::ArcTan, 1, {K::Number}, 1},
    {u"ASCII", TFn::Ascii, 1, {K::String}, 1},
    {u"POS", TFn::Pos, 2, {K::String, K::String}, 2},
    {u"SCAN", TFn::Scan, 2, {K::String, K::String}, 2},
    {u"LEFTSTR", TFn::LeftStr, 2, {K::String, K::Integer}, 2},
    {u"RIGHTSTR", TFn::RightStr, 2, {K::String, K::Integer}, 2},
    {u"HEXSTR", TFn::HexStr, 1, {K::Integer, K::Integer}, 2},
    {u"YEAR", TFn::Year, 1, {K::Date}, 1},
    {u"MONTH", TFn::Month, 1, {K::Date}, 1},
    {u"DAY", TFn::Day, 1, {K::Date}, 1},
    {u"WEEK", TFn::Week, 1, {K::Date}, 1},
    {u"DAYOFWEEK", TFn::DayOfWeek, 1, {K::Date}, 1},
    {u"WEEKDAYNO", TFn::WeekDayNo, 1, {K::Date}, 1},
    {u"HOUR", TFn::Hour, 1, {K::Time}, 1},
    {u"MINUTE", TFn::Minute, 1, {K::Time}, 1},
    {u"SECOND", TFn::Second, 1, {K::Time}, 1},
    {u"MILLISECOND", TFn::Millisecond, 1, {K::Time}, 1},
    {u"COMBINEDATETIME", TFn::CombineDateTime, 2, {K::Date, K::Time}, 2},
    {u"MAKETIME", TFn::MakeTime, 2, {K::Integer, K::Integer, K::Integer, K::Integer}, 4},
    {u"MAKEDATE", TFn::MakeDate, 3, {K::Integer, K::Integer, K::Integer}, 3},
    {u"MAKEDATETIME",
     TFn::MakeDateTime,
     5,
     {K::Integer, K::Integer, K::Integer, K::Integer, K::Integer, K::Integer, K::Integer},
     7},
    {u"TIMESTR", TFn::TimeStr, 1, {K::Time, K::Integer}, 2},
    {u"DATESTR", TFn::DateStr, 1, {K::Date}, 1},
    {u"DATETIMESTR", TFn::DateTimeStr, 1, {K::DateTime, K::Integer}, 2},
    {u"NEWGUID", TFn::NewGuid, 0, {}, 0},
};

bool SameUpper(std::u16string_view name, std::u16string_view upper) {
    if (name.size() != upper.size()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char16_t c = name[i];
        if ((c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c) != upper[i]) {
            return false;
        }
    }
    return true;
}

[[noreturn]] void RaiseMismatch(const TTdbDataType* from, std::u16string_view to) {
    RaiseEngineError(kTdbErrTypeMismatch, {from->GetSqlName() + u"->" + std::u16string(to)});
}

const TTdbDataType* FloatResult() {
    return TTdbDataType::GetFloatType(true);
}
const TTdbDataType* IntegerResult(TTdbColumnType type) {
    return TTdbDataType::GetDataType(type, true);
}
const TTdbDataType* WideResult(std::int32_t maxLength) {
    return TTdbDataType::GetStringType(ctWideString, true, maxLength, u"");
}
const TTdbDataType* AnsiResult(std::int32_t maxLength) {
    return TTdbDataType::GetStringType(ctString, true, maxLength, u"");
}

// A text computed from a string keeps its kind and collation, so that it
// compares as the string it came from.
const TTdbDataType* StringResultLike(const TTdbDataType* source, std::int32_t maxLength) {
    if (source->IsStringType()) {
        const auto* string = static_cast<const TTdbStringType*>(source);
        const bool ansi = source->IsAnsiStringType();
        const std::int32_t limit = ansi ? kMaxStringLength : kMaxWideStringLength;
        return TTdbDataType::GetStringType(ansi ? ctString : ctWideString, true,
                                           std::clamp(maxLength, 1, limit),
                                           string->GetCollationName());
    }
    return WideResult(std::clamp(maxLength, 1, kMaxWideStringLength));
}

std::int32_t MaxLengthOf(const TTdbDataType* type) {
    return type->IsStringType() ? static_cast<const TTdbStringType*>(type)->GetMaxLength()
                                : kMaxWideStringLength;
}

struct TArgument {
    TArgKind Kind = TArgKind::Any;
    const TTdbDataType* Type = nullptr;    // the operand's type
    const TTdbDataType* Target = nullptr;  // what it is converted to per record, or null
    TTdbDataValue Cell;                    // the converted value
    const TTdbDataValue* Value = nullptr;  // this record's value
    std::array<char16_t, 128> Buffer{};
    std::u16string Spill;

    const TTdbDataType* ReadType() const noexcept { return Target != nullptr ? Target : Type; }
};

struct TFunctionState final : TSqlNodeState {
    TFn Fn = TFn::Abs;
    std::vector<TArgument> Args;
    std::int32_t TableNo = -1;       // CURRENTRECORDID
    const TTdbDataType* CastType{};  // CAST
    std::u16string Text;             // scratch for text results, reused
};

// Which conversion, if any, gives an argument of Type the kind the function reads.
const TTdbDataType* TargetFor(TArgKind kind, const TTdbDataType* type) {
    const TTdbColumnType ct = type->GetColumnType();
    if (ct == ctNull) {
        return nullptr;  // NULL whatever it would be
    }
    const TTdbDataType* target = nullptr;
    switch (kind) {
        case TArgKind::Number:
            if (type->IsNumeric()) {
                return nullptr;
            }
            target = FloatResult();
            break;
        case TArgKind::Integer:
            if (type->IsIntegerFamily()) {
                return nullptr;
            }
            target = IntegerResult(ctBigInt);
            break;
        case TArgKind::String:
            if (type->IsStringType()) {
                return nullptr;
            }
            target = WideResult(kMaxWideStringLength);
            break;
        case TArgKind::Date:
            if (ct == ctDate || ct == ctTimeStamp) {
                return nullptr;
            }
            target = IntegerResult(ctDate);
            break;
        case TArgKind::Time:
            if (ct == ctTime || ct == ctTimeStamp) {
                return nullptr;
            }
            target = IntegerResult(ctTime);
            break;
        case TArgKind::DateTime:
            if (type->IsDateTimeType()) {
                return nullptr;
            }
            target = IntegerResult(ctTimeStamp);
            break;
        case TArgKind::Value:
            if (type->IsNumeric() || ct == ctEnum) {
                return nullptr;
            }
            target = FloatResult();
            break;
        case TArgKind::Any:
            return nullptr;
    }
    if (!TTdbDataType::CanConvert(type, target, true)) {
        RaiseMismatch(type, target->GetSqlName());
    }
    return target;
}

// The type a bare literal argument is read as: it is then converted once,
// while preparing, with the rules of literals.
const TTdbDataType* ReferenceFor(TArgKind kind) {
    switch (kind) {
        case TArgKind::Number:
            return FloatResult();
        case TArgKind::Integer:
            return IntegerResult(ctBigInt);
        case TArgKind::String:
            return WideResult(kMaxWideStringLength);
        case TArgKind::Date:
            return IntegerResult(ctDate);
        case TArgKind::Time:
            return IntegerResult(ctTime);
        default:
            return nullptr;
    }
}

// A string literal, NULL or a parameter alone: it is read as what the
// function takes. A number, date or time literal keeps the type it was
// written as.
bool IsUntypedLiteral(const TTdbExpression& expression) {
    if (!expression.FOperands.empty() || !expression.FTerm->FOperands.empty()) {
        return false;
    }
    const auto* simple = dynamic_cast<const TTdbSimpleFactor*>(expression.FTerm->FFactor.get());
    if (simple == nullptr || simple->FSign != sfsNone) {
        return false;
    }
    return simple->FType == sftParameter ||
           (simple->FType == sftLiteral &&
            (simple->FLiteralKind == tlkString || simple->FLiteralKind == tlkNull));
}

const TTdbDataType* CastTarget(std::u16string_view name, const TTdbDataType* source) {
    if (name == u"AUTOINC") {
        return IntegerResult(ctAutoInc);
    }
    if (name == u"BIGINT") {
        return IntegerResult(ctBigInt);
    }
    if (name == u"BOOLEAN") {
        return IntegerResult(ctBoolean);
    }
    if (name == u"BYTE") {
        return IntegerResult(ctByte);
    }
    if (name == u"CHAR") {
        return IntegerResult(ctChar);
    }
    if (name == u"DATE") {
        return IntegerResult(ctDate);
    }
    if (name == u"TIME") {
        return IntegerResult(ctTime);
    }
    if (name == u"TIMESTAMP") {
        return IntegerResult(ctTimeStamp);
    }
    if (name == u"DECIMAL" || name == u"DOUBLE" || name == u"FLOAT" || name == u"REAL") {
        return FloatResult();
    }
    if (name == u"GUID") {
        return IntegerResult(ctGuid);
    }
    if (name == u"INTEGER") {
        return IntegerResult(ctInteger);
    }
    if (name == u"SMALLINT") {
        return IntegerResult(ctSmallInt);
    }
    if (name == u"LINK") {
        return IntegerResult(ctLink);
    }
    if (name == u"LONGVARBINARY") {
        return TTdbDataType::GetBinaryType(true);
    }
    if (name == u"LONGVARCHAR") {
        return AnsiResult(kMaxStringLength);
    }
    if (name == u"LONGVARWCHAR") {
        return WideResult(kMaxWideStringLength);
    }
    if (name == u"VARCHAR" || name == u"VARWCHAR") {
        const bool ansi = name == u"VARCHAR";
        // As long as the source can be, so that the cast cuts nothing.
        const std::int32_t length = source->IsStringType() ? MaxLengthOf(source) : 255;
        const std::u16string collation =
            source->IsStringType() ? static_cast<const TTdbStringType*>(source)->GetCollationName()
                                   : std::u16string();
        return TTdbDataType::GetStringType(
            ansi ? ctString : ctWideString, true,
            std::clamp(length, 1, ansi ? kMaxStringLength : kMaxWideStringLength), collation);
    }
    if (name == u"WCHAR") {
        return WideResult(1);
    }
    // ENUM and RELATION name no particular enumeration or relation: only a
    // value that already is one casts to it.
    if ((name == u"ENUM" && source->GetColumnType() == ctEnum) ||
        (name == u"RELATION" && source->GetColumnType() == ctRelation)) {
        return source->GetNullableType(true);
    }
    RaiseMismatch(source, name);
}

const TDataFunction* FindDataFunction(std::u16string_view name) {
    for (const TDataFunction& entry : kDataFunctions) {
        if (SameUpper(name, entry.Name)) {
            return &entry;
        }
    }
    return nullptr;
}

// Aggregates have a value per group of a query, none per record.
bool IsAggregate(TFunctionId id) {
    switch (id) {
        case sftAvg:
        case sftCount:
        case sftFirst:
        case sftLast:
        case sftMax:
        case sftMin:
        case sftSum:
            return true;
        default:
            return false;
    }
}

// The function, the kinds of its arguments and its result type, for a call of
// the SQL function table.
const TTdbDataType* ResolveStd(TSqlStdFunction& call, TFunctionState& state,
                               std::vector<TArgKind>& kinds) {
    const std::size_t count = call.FArguments.size();
    const auto all = [&](TArgKind kind) { kinds.assign(count, kind); };
    switch (call.FSqlFunction) {
        case sftAbs:
        case sftCeiling:
        case sftFloor:
        case sftFrac:
        case sftLog:
        case sftExp:
        case sftSqrt:
            state.Fn = call.FSqlFunction == sftAbs       ? TFn::Abs
                       : call.FSqlFunction == sftCeiling ? TFn::Ceiling
                       : call.FSqlFunction == sftFloor   ? TFn::Floor
                       : call.FSqlFunction == sftFrac    ? TFn::Frac
                       : call.FSqlFunction == sftLog     ? TFn::Log
                       : call.FSqlFunction == sftExp     ? TFn::Exp
                                                         : TFn::Sqrt;
            all(TArgKind::Number);
            return FloatResult();
        case sftInt:
            state.Fn = TFn::Int;
            all(TArgKind::Number);
            return IntegerResult(ctBigInt);
        case sftRound:
            state.Fn = TFn::Round;
            kinds = {TArgKind::Number, TArgKind::Integer};
            return FloatResult();
        case sftRandom:
            state.Fn = TFn::Random;
            all(TArgKind::Integer);
            return IntegerResult(ctBigInt);
        case sftRealVal:
            state.Fn = TFn::RealVal;
            all(TArgKind::String);
            return FloatResult();
        case sftChr:
            state.Fn = TFn::Chr;
            all(TArgKind::Integer);
            return WideResult(2);  // a surrogate pair at most
        case sftCharLength:
        case sftLen:
            state.Fn = TFn::Len;
            all(TArgKind::String);
            return IntegerResult(ctInteger);
        case sftUpper:
        case sftLower:
            state.Fn = call.FSqlFunction == sftUpper ? TFn::Upper : TFn::Lower;
            all(TArgKind::String);
            return nullptr;  // the argument's string type, known once it is prepared
        case sftSubstring:
            state.Fn = TFn::Substring;
            kinds = {TArgKind::String, TArgKind::Integer, TArgKind::Integer};
            kinds.resize(count);
            return nullptr;
        case sftTrim:
        case sftLTrim:
        case sftRTrim:
            state.Fn = call.FSqlFunction == sftTrim    ? TFn::Trim
                       : call.FSqlFunction == sftLTrim ? TFn::LTrim
                                                       : TFn::RTrim;
            all(TArgKind::String);
            return nullptr;
        case sftNTimes:
            state.Fn = TFn::NTimes;
            kinds = {TArgKind::String, TArgKind::Integer};
            return nullptr;
        case sftExchange:
            state.Fn = TFn::Exchange;
            all(TArgKind::String);
            return nullptr;
        case sftFillStr:
            state.Fn = TFn::FillStr;
            if (count == 2) {
                kinds = {TArgKind::String, TArgKind::Integer};
            } else {
                kinds = {TArgKind::String, TArgKind::String, TArgKind::Integer};
            }
            return nullptr;
        case sftDigitStr:
            state.Fn = TFn::DigitStr;
            all(TArgKind::Number);
            return WideResult(10 * 6);  // ten words of up to five letters and their stars
        case sftStr:
            state.Fn = TFn::Str;
            kinds = {TArgKind::Value,  TArgKind::Integer, TArgKind::Integer,
                     TArgKind::String, TArgKind::String,  TArgKind::String};
            kinds.resize(count);
            return WideResult(kMaxWideStringLength);
        case sftExtract:
            state.Fn = TFn::Extract;
            switch (call.FExtractPart) {
                case sdpHour:
                case sdpMinute:
                case sdpSecond:
                case sdpMillisecond:
                    all(TArgKind::Time);
                    break;
                default:
                    all(TArgKind::Date);
                    break;
            }
            return call.FExtractPart == sdpWeekDayName ? WideResult(64) : IntegerResult(ctInteger);
        case sftCurrentDate:
            state.Fn = TFn::CurrentDate;
            return IntegerResult(ctDate);
        case sftCurrentTime:
            state.Fn = TFn::CurrentTime;
            return IntegerResult(ctTime);
        case sftCurrentTimeStamp:
            state.Fn = TFn::CurrentTimeStamp;
            return IntegerResult(ctTimeStamp);
        case sftCast:
            state.Fn = TFn::Cast;
            all(TArgKind::Any);
            return nullptr;
        case sftCurrentRecordId:
            state.Fn = TFn::CurrentRecordId;
            return IntegerResult(ctInteger);
        default:
            if (IsAggregate(call.FSqlFunction)) {
                RaiseEngineError(
                    kTdbErrNotSupported,
                    {u"the aggregate " + std::u16string(SqlFunctionName(call.FSqlFunction)) +
                     u" in a condition"});
            }
            RaiseEngineError(
                kTdbErrNotSupported,
                {std::u16string(SqlFunctionName(call.FSqlFunction)) + u" in a condition"});
    }
}

const TTdbDataType* ResolveData(TTablePlFunction& call, TFunctionState& state,
                                std::vector<TArgKind>& kinds) {
    const TDataFunction* entry = FindDataFunction(call.FName);
    if (entry == nullptr) {
        RaiseEngineError(kTdbErrUnknownIdentifier, {call.FName});
    }
    const auto count = static_cast<std::int64_t>(call.FArguments.size());
    if (count < entry->MinArguments) {
        RaiseEngineError(kTdbErrTokenExpected, {u",", u")"});
    }
    if (count > entry->MaxArguments) {
        RaiseEngineError(kTdbErrTokenExpected, {u")", u","});
    }
    state.Fn = entry->Fn;
    kinds.assign(entry->Kinds.begin(), entry->Kinds.begin() + count);
    switch (entry->Fn) {
        case TFn::Sin:
        case TFn::Cos:
        case TFn::ArcTan:
            return FloatResult();
        case TFn::Ascii:
        case TFn::Pos:
        case TFn::Scan:
            return IntegerResult(ctInteger);
        case TFn::LeftStr:
        case TFn::RightStr:
            return nullptr;
        case TFn::HexStr:
            return WideResult(16);
        case TFn::Year:
        case TFn::Millisecond:
            return IntegerResult(ctSmallInt);
        case TFn::DayOfWeek:
            return AnsiResult(64);
        case TFn::CombineDateTime:
        case TFn::MakeDateTime:
            return IntegerResult(ctTimeStamp);
        case TFn::MakeTime:
            return IntegerResult(ctTime);
        case TFn::MakeDate:
            return IntegerResult(ctDate);
        case TFn::TimeStr:
            return AnsiResult(12);
        case TFn::DateStr:
            return AnsiResult(10);
        case TFn::DateTimeStr:
            return AnsiResult(23);
        case TFn::NewGuid:
            return IntegerResult(ctGuid);
        default:
            return IntegerResult(ctByte);  // the other parts of dates and times
    }
}

// ---- Calendar ----

std::int32_t WeekDayOf(std::int32_t dayNumber) {
    return (dayNumber + 4) % 7 + 1;  // 1 Monday ... 7 Sunday
}

// Day number of 1 January; years 0 and 10000 lie just outside the packed
// range but hold the Thursdays of the first and last weeks.
std::int32_t NewYearDayNumber(int year) {
    if (year <= 0) {
        return 1;
    }
    if (year > kMaxYear) {
        return MaxDayNumber() + 1;
    }
    return DateToDayNumber(PackDate(year, 1, 1));
}

// Week 1 holds 4 January; a week belongs to the year of its Thursday.
int IsoWeekOf(std::int32_t packed) {
    if (packed == 0) {
        return 0;
    }
    int year = 0;
    int month = 0;
    int day = 0;
    UnpackDate(packed, year, month, day);
    const std::int32_t dayNumber = DateToDayNumber(packed);
    const std::int32_t thursday = dayNumber - WeekDayOf(dayNumber) + 4;
    if (thursday < NewYearDayNumber(year)) {
        --year;
    } else if (thursday >= NewYearDayNumber(year + 1)) {
        ++year;
    }
    return (thursday - NewYearDayNumber(year)) / 7 + 1;
}

// ---- Evaluating one call ----

class TCall {
public:
    TCall(TSqlEvaluateHost& host, TSqlFunction& function, TFunctionState& state)
        : FHost(host), FFunction(function), FState(state), FType(function.FDataType) {}

    const TTdbDataValue& Run();

private:
    std::size_t Count() const noexcept { return FState.Args.size(); }
    bool Has(std::size_t i) const noexcept { return i < Count(); }
    bool IsNull(std::size_t i) const {
        const TArgument& arg = FState.Args[i];
        return arg.ReadType()->IsNull(*arg.Value);
    }
    double Number(std::size_t i) const {
        const TArgument& arg = FState.Args[i];
        return arg.ReadType()->GetDouble(*arg.Value);
    }
    std::int64_t Integer(std::size_t i) const {
        const TArgument& arg = FState.Args[i];
        return arg.ReadType()->GetInteger(*arg.Value);
    }
    std::u16string_view Text(std::size_t i) {
        TArgument& arg = FState.Args[i];
        return static_cast<const TTdbStringType*>(arg.ReadType())
            ->WideView(*arg.Value, arg.Buffer.data(), arg.Buffer.size(), arg.Spill);
    }
    std::int32_t Date(std::size_t i) const {
        const TArgument& arg = FState.Args[i];
        const TTdbDataType* type = arg.ReadType();
        return type->GetColumnType() == ctTimeStamp ? type->GetTimeStamp(*arg.Value).Date
                                                    : type->GetDate(*arg.Value);
    }
    std::int64_t Ticks(std::size_t i) const {
        const TArgument& arg = FState.Args[i];
        const TTdbDataType* type = arg.ReadType();
        return type->GetColumnType() == ctTimeStamp
                   ? std::int64_t{type->GetTimeStamp(*arg.Value).Time} * kTicksPerMillisecond
                   : type->GetTime(*arg.Value);
    }

    const TTdbDataValue& Null() {
        FType->SetNull(FFunction.FResultValue);
        return FFunction.FResultValue;
    }
    const TTdbDataValue& Float(double value) {
        if (!std::isfinite(value)) {
            RaiseOutOfRange();
        }
        FType->SetDouble(FFunction.FResultValue, value);
        return FFunction.FResultValue;
    }
    const TTdbDataValue& Whole(std::int64_t value) {
        FType->SetInteger(FFunction.FResultValue, value);
        return FFunction.FResultValue;
    }
    const TTdbDataValue& String(std::u16string_view text) {
        if (text.size() > static_cast<std::size_t>(MaxLengthOf(FType))) {
            RaiseOutOfRange();
        }
        FType->SetWideString(FFunction.FResultValue, text);
        return FFunction.FResultValue;
    }
    const TTdbDataValue& DateValue(std::int32_t packed) {
        FType->SetDate(FFunction.FResultValue, packed);
        return FFunction.FResultValue;
    }
    const TTdbDataValue& TimeValue(std::int64_t ticks) {
        FType->SetTime(FFunction.FResultValue, ticks);
        return FFunction.FResultValue;
    }
    const TTdbDataValue& Stamp(const TTdbTimeStamp& stamp) {
        FType->SetTimeStamp(FFunction.FResultValue, stamp);
        return FFunction.FResultValue;
    }
    [[noreturn]] void RaiseOutOfRange() const {
        RaiseEngineError(kTdbErrOutOfAllowedRange, {FFunction.GetSqlText()});
    }
    // A text that would exceed the result's maximum is an error, never cut.
    void CheckLength(std::int64_t length) const {
        if (length > MaxLengthOf(FType)) {
            RaiseOutOfRange();
        }
    }

    const TTdbDataValue& Compute();
    const TTdbDataValue& Trim(std::u16string_view text, char16_t character, bool leading,
                              bool trailing);
    const TTdbDataValue& Str();
    const TTdbDataValue& ExtractPart(TSqlDateTimePart part);

    TSqlEvaluateHost& FHost;
    TSqlFunction& FFunction;
    TFunctionState& FState;
    const TTdbDataType* FType;
};

const TTdbDataValue& TCall::Run() {
    bool anyNull = false;
    for (std::size_t i = 0; i < Count(); ++i) {
        TArgument& arg = FState.Args[i];
        const TTdbDataValue& value = FHost.EvaluateOperand(*FFunction.FArguments[i]);
        arg.Value = &value;
        if (arg.Type->IsNull(value)) {
            anyNull = true;
            continue;
        }
        if (arg.Target != nullptr) {
            TTdbDataType::Convert(value, arg.Cell, arg.Type, arg.Target, true);
            arg.Value = &arg.Cell;
        }
    }
    if (anyNull) {
        // Exchange keeps its text when what to exchange is missing.
        if (FState.Fn == TFn::Exchange && !FState.Args[0].Type->IsNull(*FState.Args[0].Value)) {
            return String(Text(0));
        }
        return Null();
    }
    return Compute();
}

const TTdbDataValue& TCall::Compute() {
    constexpr double kMinInt32 = std::numeric_limits<std::int32_t>::min();
    constexpr double kMaxInt32 = std::numeric_limits<std::int32_t>::max();
    std::u16string& out = FState.Text;
    switch (FState.Fn) {
        case TFn::Abs:
            return Float(std::fabs(Number(0)));
        case TFn::Ceiling:
        case TFn::Floor: {
            const double value =
                FState.Fn == TFn::Ceiling ? std::ceil(Number(0)) : std::floor(Number(0));
            if (!(value >= kMinInt32 && value <= kMaxInt32)) {
                return Null();
            }
            return Float(value);
        }
        case TFn::Int: {
            const double value = std::trunc(Number(0));
            // 2^63 itself is the first value beyond the range.
            if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) {
                RaiseEngineError(kTdbErrValueOutOfRange,
                                 {FloatToText(Number(0)), u"function Int", u"-9223372036854775808",
                                  u"9223372036854775807"});
            }
            return Whole(static_cast<std::int64_t>(value));
        }
        case TFn::Frac: {
            const double value = Number(0);
            return Float(value - std::trunc(value));
        }
        case TFn::Log: {
            const double value = Number(0);
            return value > 0 ? Float(std::log(value)) : Null();
        }
        case TFn::Exp:
            return Float(std::exp(Number(0)));
        case TFn::Sqrt: {
            const double value = Number(0);
            return value < 0 ? Null() : Float(std::sqrt(value));
        }
        case TFn::Round: {
            const double value = Number(0);
            const std::int64_t places = Integer(1);
            if (places < -20 || places > 20) {
                RaiseEngineError(kTdbErrValueOutOfRange,
                                 {IntegerToText(places), u"function Round", u"-20", u"20"});
            }
            // Dividing by the exact power of ten rather than multiplying by
            // its inexact inverse keeps 1250 at 1250 / 100.
            const double scale = std::pow(10.0, static_cast<double>(places < 0 ? -places : places));
            if (places >= 0) {
                const double scaled = value * scale;
                if (!std::isfinite(scaled)) {
                    return Float(value);  // too large to have such decimals
                }
                return Float(std::nearbyint(scaled) / scale);
            }
            return Float(std::nearbyint(value / scale) * scale);
        }
        case TFn::Random: {
            const std::int64_t range = Integer(0);
            if (range <= 0) {
                return Null();
            }
            const auto bounded = static_cast<std::uint32_t>(
                std::min<std::int64_t>(range, std::numeric_limits<std::uint32_t>::max()));
            return Whole(platform::Random(bounded));
        }
        case TFn::RealVal:
            return Float(FloatFromText(Text(0)));
        case TFn::Chr: {
            const std::int64_t code = Integer(0);
            if (code < 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
                RaiseEngineError(kTdbErrValueOutOfRange,
                                 {IntegerToText(code), u"function Chr", u"0", u"1114111"});
            }
            out.clear();
            if (code >= 0x10000) {
                out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
                out.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
            } else {
                out.push_back(static_cast<char16_t>(code));
            }
            return String(out);
        }
        case TFn::Len: {
            const TArgument& arg = FState.Args[0];
            return Whole(static_cast<const TTdbStringType*>(arg.ReadType())->GetLength(*arg.Value));
        }
        case TFn::Upper:
        case TFn::Lower: {
            const TArgument& arg = FState.Args[0];
            TTdbDataType::Calculate(FState.Fn == TFn::Upper ? TTdbDataUnaryOperator::UpperCase
                                                            : TTdbDataUnaryOperator::LowerCase,
                                    *arg.Value, FFunction.FResultValue, arg.ReadType(), FType);
            return FFunction.FResultValue;
        }
        case TFn::Substring: {
            const std::u16string_view text = Text(0);
            const std::int64_t start = Integer(1);
            if (start < 1 || start > static_cast<std::int64_t>(text.size())) {
                return String({});
            }
            std::u16string_view rest = text.substr(static_cast<std::size_t>(start - 1));
            if (Has(2)) {
                const std::int64_t length = Integer(2);
                if (length >= 0 && length < static_cast<std::int64_t>(rest.size())) {
                    rest = rest.substr(0, static_cast<std::size_t>(length));
                }
            }
            return String(rest);
        }
        case TFn::Trim: {
            const auto& call = static_cast<const TSqlStdFunction&>(FFunction);
            const char16_t character =
                call.FTrimCharacters.empty() ? u' ' : call.FTrimCharacters.front();
            return Trim(Text(0), character, call.FTrimMode != sttTrailing,
                        call.FTrimMode != sttLeading);
        }
        case TFn::LTrim:
        case TFn::RTrim: {
            char16_t character = u' ';
            if (Has(1)) {
                const std::u16string_view characters = Text(1);
                if (!characters.empty()) {
                    character = characters.front();
                }
            }
            return Trim(Text(0), character, FState.Fn == TFn::LTrim, FState.Fn == TFn::RTrim);
        }
        case TFn::NTimes: {
            const std::u16string_view text = Text(0);
            const std::int64_t times = std::max<std::int64_t>(Integer(1), 0);
            if (!text.empty() &&
                times > MaxLengthOf(FType) / static_cast<std::int64_t>(text.size())) {
                RaiseOutOfRange();
            }
            out.clear();
            for (std::int64_t i = 0; i < times; ++i) {
                out.append(text);
            }
            return String(out);
        }
        case TFn::Exchange: {
            const std::u16string_view text = Text(0);
            const std::u16string_view search = Text(1);
            const std::u16string_view replacement = Text(2);
            if (search.empty()) {
                return String(text);
            }
            out.clear();
            std::size_t at = 0;
            for (std::size_t found = text.find(search); found != std::u16string_view::npos;
                 found = text.find(search, at)) {
                out.append(text.substr(at, found - at));
                out.append(replacement);
                at = found + search.size();
                CheckLength(static_cast<std::int64_t>(out.size()));
            }
            out.append(text.substr(at));
            return String(out);
        }
        case TFn::FillStr: {
            // Two arguments: the fill and the length, filling nothing.
            const bool full = Count() == 3;
            const std::u16string_view fill = Text(full ? 1 : 0);
            const std::int64_t length = Integer(full ? 2 : 1);
            out.assign(full ? Text(0) : std::u16string_view());
            if (fill.empty() || static_cast<std::int64_t>(out.size()) >= length) {
                return String(out);
            }
            CheckLength(length);
            for (std::size_t i = 0; static_cast<std::int64_t>(out.size()) < length; ++i) {
                out.push_back(fill[i % fill.size()]);
            }
            return String(out);
        }
        case TFn::DigitStr: {
            static constexpr std::u16string_view kWords[] = {u"zero",  u"one",  u"two", u"three",
                                                             u"four",  u"five", u"six", u"seven",
                                                             u"eight", u"nine"};
            const double whole = std::trunc(std::fabs(Number(0)));
            const auto number =
                static_cast<std::int64_t>(std::isnan(whole) ? 0.0 : std::min(whole, kMaxInt32));
            const std::u16string digits = IntegerToText(number);
            out.clear();
            for (char16_t digit : digits) {
                if (!out.empty()) {
                    out.push_back(u'*');
                }
                out.append(kWords[digit - u'0']);
            }
            return String(out);
        }
        case TFn::Str:
            return Str();
        case TFn::Extract:
            return ExtractPart(static_cast<const TSqlStdFunction&>(FFunction).FExtractPart);
        case TFn::CurrentDate:
            return DateValue(FHost.Context().GetLocalTimeStamp().Date);
        case TFn::CurrentTime:
            return TimeValue(std::int64_t{FHost.Context().GetLocalTimeStamp().Time} *
                             kTicksPerMillisecond);
        case TFn::CurrentTimeStamp:
            return Stamp(FHost.Context().GetLocalTimeStamp());
        case TFn::Cast: {
            const TArgument& arg = FState.Args[0];
            if (FType->IsIntegerFamily() && FType->GetColumnType() != ctBoolean &&
                arg.Type->IsNumeric()) {
                // A number the target cannot hold is an error, not a value
                // cut to its low bytes.
                const auto* target = static_cast<const TTdbIntegerType*>(FType);
                const double value = arg.Type->IsIntegerFamily()
                                         ? static_cast<double>(arg.Type->GetInteger(*arg.Value))
                                         : std::trunc(arg.Type->GetDouble(*arg.Value));
                if (!(value >= static_cast<double>(target->GetRangeMin()) &&
                      value <= static_cast<double>(target->GetRangeMax()))) {
                    RaiseEngineError(kTdbErrValueOutOfRange,
                                     {FloatToText(value), target->GetSqlName(),
                                      IntegerToText(target->GetRangeMin()),
                                      IntegerToText(target->GetRangeMax())});
                }
            }
            TTdbDataType::Convert(*arg.Value, FFunction.FResultValue, arg.Type, FType, true);
            return FFunction.FResultValue;
        }
        case TFn::CurrentRecordId: {
            const std::optional<std::int32_t> id =
                FHost.Context().GetCurrentRecordId(FState.TableNo);
            return id ? Whole(*id) : Null();
        }
        case TFn::Sin:
            return Float(std::sin(Number(0)));
        case TFn::Cos:
            return Float(std::cos(Number(0)));
        case TFn::ArcTan:
            return Float(std::atan(Number(0)));
        case TFn::Ascii: {
            const std::u16string_view text = Text(0);
            return text.empty() ? Null() : Whole(text.front());
        }
        case TFn::Pos: {
            const std::u16string_view part = Text(0);
            const std::u16string_view text = Text(1);
            if (part.empty()) {
                return Whole(0);
            }
            const std::size_t found = text.find(part);
            return Whole(found == std::u16string_view::npos ? 0
                                                            : static_cast<std::int64_t>(found) + 1);
        }
        case TFn::Scan: {
            const std::u16string_view part = Text(0);
            const std::u16string_view text = Text(1);
            std::int64_t count = 0;
            if (!part.empty()) {
                for (std::size_t found = text.find(part); found != std::u16string_view::npos;
                     found = text.find(part, found + 1)) {
                    ++count;
                }
            }
            return Whole(count);
        }
        case TFn::LeftStr:
        case TFn::RightStr: {
            const std::u16string_view text = Text(0);
            const auto length = static_cast<std::size_t>(
                std::clamp<std::int64_t>(Integer(1), 0, static_cast<std::int64_t>(text.size())));
            return String(FState.Fn == TFn::LeftStr ? text.substr(0, length)
                                                    : text.substr(text.size() - length));
        }
        case TFn::HexStr: {
            const auto value = static_cast<std::uint64_t>(Integer(0));
            const std::int64_t digits = Has(1) ? std::clamp<std::int64_t>(Integer(1), 1, 16) : 1;
            out.clear();
            for (std::uint64_t rest = value; rest != 0 || out.empty(); rest >>= 4) {
                out.insert(out.begin(), u"0123456789ABCDEF"[rest & 15]);
            }
            if (static_cast<std::int64_t>(out.size()) < digits) {
                out.insert(0, static_cast<std::size_t>(digits) - out.size(), u'0');
            }
            return String(out);
        }
        case TFn::Year:
            return ExtractPart(sdpYear);
        case TFn::Month:
            return ExtractPart(sdpMonth);
        case TFn::Day:
            return ExtractPart(sdpDay);
        case TFn::Week:
            return ExtractPart(sdpWeek);
        case TFn::DayOfWeek:
            return ExtractPart(sdpWeekDayName);
        case TFn::WeekDayNo:
            return ExtractPart(sdpWeekDay);
        case TFn::Hour:
            return ExtractPart(sdpHour);
        case TFn::Minute:
            return ExtractPart(sdpMinute);
        case TFn::Second:
            return ExtractPart(sdpSecond);
        case TFn::Millisecond:
            return ExtractPart(sdpMillisecond);
        case TFn::CombineDateTime:
            return Stamp({Date(0), static_cast<std::int32_t>(Ticks(1) / kTicksPerMillisecond)});
        case TFn::MakeTime:
        case TFn::MakeDate:
        case TFn::MakeDateTime: {
            std::int64_t parts[7] = {0, 0, 0, 0, 0, 0, 0};
            for (std::size_t i = 0; i < Count(); ++i) {
                parts[i] = Integer(i);
            }
            const std::size_t timeAt = FState.Fn == TFn::MakeTime ? 0 : 3;
            const std::int64_t* time = parts + timeAt;
            const bool timeValid = time[0] >= 0 && time[0] <= 23 && time[1] >= 0 && time[1] <= 59 &&
                                   time[2] >= 0 && time[2] <= 59 && time[3] >= 0 && time[3] <= 999;
            const bool dateValid =
                FState.Fn == TFn::MakeTime ||
                (parts[0] >= 1 && parts[0] <= kMaxYear && parts[1] >= 1 && parts[1] <= 12 &&
                 parts[2] >= 1 && parts[2] <= 31 &&
                 IsValidDate(static_cast<int>(parts[0]), static_cast<int>(parts[1]),
                             static_cast<int>(parts[2])));
            const std::int64_t milliseconds =
                ((time[0] * 60 + time[1]) * 60 + time[2]) * 1000 + time[3];
            // Written only for the message: a valid call allocates nothing.
            const auto dateText = [&] {
                return IntegerToText(parts[2]) + u"." + IntegerToText(parts[1]) + u"." +
                       IntegerToText(parts[0]);
            };
            const auto timeText = [&] {
                return IntegerToText(time[0]) + u":" + IntegerToText(time[1]) + u":" +
                       IntegerToText(time[2]) + u"." + IntegerToText(time[3]);
            };
            if (FState.Fn == TFn::MakeTime) {
                if (!timeValid) {
                    RaiseEngineError(kTdbErrInvalidTime, {timeText()});
                }
                return TimeValue(milliseconds * kTicksPerMillisecond);
            }
            const std::int32_t date =
                dateValid ? PackDate(static_cast<int>(parts[0]), static_cast<int>(parts[1]),
                                     static_cast<int>(parts[2]))
                          : 0;
            if (FState.Fn == TFn::MakeDate) {
                if (!dateValid) {
                    RaiseEngineError(kTdbErrInvalidDate, {dateText()});
                }
                return DateValue(date);
            }
            if (!dateValid || !timeValid) {
                RaiseEngineError(kTdbErrInvalidTimestamp, {dateText() + u" " + timeText()});
            }
            return Stamp({date, static_cast<std::int32_t>(milliseconds)});
        }
        case TFn::TimeStr:
        case TFn::DateTimeStr: {
            std::int64_t precision = Has(1) ? Integer(1) : 0;
            precision = precision == 0 ? 3 : std::clamp<std::int64_t>(precision, 2, 4);
            if (FState.Fn == TFn::TimeStr) {
                return String(TimeToText(Ticks(0), static_cast<int>(precision)));
            }
            const TArgument& arg = FState.Args[0];
            const TTdbColumnType type = arg.ReadType()->GetColumnType();
            out = type == ctTime ? std::u16string() : DateToText(Date(0));
            if (type != ctDate) {
                if (!out.empty()) {
                    out.push_back(u'_');
                }
                out.append(TimeToText(Ticks(0), static_cast<int>(precision)));
            }
            return String(out);
        }
        case TFn::DateStr:
            return String(DateToText(Date(0)));
        case TFn::NewGuid: {
            std::uint8_t image[kGuidImageSize];
            for (std::uint8_t& byte : image) {
                byte = static_cast<std::uint8_t>(platform::Random(256));
            }
            image[7] = static_cast<std::uint8_t>((image[7] & 0x0F) | 0x40);  // version 4
            image[8] = static_cast<std::uint8_t>((image[8] & 0x3F) | 0x80);  // RFC variant
            TTdbGuid guid;
            LoadGuid(image, guid);
            FType->SetGuid(FFunction.FResultValue, guid);
            return FFunction.FResultValue;
        }
    }
    return Null();
}

const TTdbDataValue& TCall::Trim(std::u16string_view text, char16_t character, bool leading,
                                 bool trailing) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (leading && begin < end && text[begin] == character) {
        ++begin;
    }
    while (trailing && end > begin && text[end - 1] == character) {
        --end;
    }
    return String(text.substr(begin, end - begin));
}

const TTdbDataValue& TCall::Str() {
    constexpr std::int64_t kMaxWidth = 80;
    constexpr std::int64_t kMaxDecimals = 11;
    std::u16string& out = FState.Text;
    const TArgument& value = FState.Args[0];
    const std::int64_t width = Has(1) ? std::min(Integer(1), kMaxWidth) : 0;
    if (value.ReadType()->GetColumnType() == ctEnum) {
        out = value.ReadType()->ConvertToString(*value.Value);
    } else {
        const std::int64_t decimals =
            Has(2) ? std::clamp<std::int64_t>(Integer(2), 0, kMaxDecimals) : 0;
        const double number = Number(0);
        if (!std::isfinite(number)) {
            RaiseOutOfRange();
        }
        char digits[400];
        const auto [end, error] =
            std::to_chars(digits, digits + sizeof digits, number, std::chars_format::fixed,
                          static_cast<int>(decimals));
        if (error != std::errc()) {
            RaiseOutOfRange();
        }
        out.assign(digits, end);
        std::size_t point = out.find(u'.');
        if (point != std::u16string::npos && Has(3)) {
            const std::u16string_view separator = Text(3);
            if (!separator.empty()) {
                out[point] = separator.front();
            }
        }
        if (Has(5)) {
            const std::u16string_view grouping = Text(5);
            if (!grouping.empty()) {
                const std::size_t first = out.front() == u'-' ? 1 : 0;
                std::size_t at = point == std::u16string::npos ? out.size() : point;
                while (at > first + 3) {
                    at -= 3;
                    out.insert(at, 1, grouping.front());
                }
            }
        }
    }
    char16_t fill = u' ';
    if (Has(4)) {
        const std::u16string_view fillText = Text(4);
        if (!fillText.empty()) {
            fill = fillText.front();
        }
    }
    if (static_cast<std::int64_t>(out.size()) < width) {
        out.insert(0, static_cast<std::size_t>(width) - out.size(), fill);
    }
    return String(out);
}

const TTdbDataValue& TCall::ExtractPart(TSqlDateTimePart part) {
    switch (part) {
        case sdpYear:
        case sdpMonth:
        case sdpDay: {
            int year = 0;
            int month = 0;
            int day = 0;
            UnpackDate(Date(0), year, month, day);
            return Whole(part == sdpYear ? year : part == sdpMonth ? month : day);
        }
        case sdpWeekDay:
            return Whole(WeekDayOf(DateToDayNumber(Date(0))));
        case sdpWeekDayName:
            return String(FHost.Context().GetWeekDayName(WeekDayOf(DateToDayNumber(Date(0)))));
        case sdpWeek:
            return Whole(IsoWeekOf(Date(0)));
        case sdpHour:
            return Whole(Ticks(0) / kTicksPerHour);
        case sdpMinute:
            return Whole(Ticks(0) / kTicksPerMinute % 60);
        case sdpSecond:
            return Whole(Ticks(0) / kTicksPerSecond % 60);
        case sdpMillisecond:
            return Whole(Ticks(0) / kTicksPerMillisecond % 1000);
    }
    return Null();
}

struct TCaseState final : TSqlNodeState {
    TTdbDataValue Cell;  // a result converted to the CASE's type
};

}  // namespace

// ---- Functions ----

const TTdbDataType* PrepareSqlFunction(TSqlPrepareHost& host, TSqlFunction& function) {
    auto state = std::make_unique<TFunctionState>();
    std::vector<TArgKind> kinds;
    const TTdbDataType* result = nullptr;
    auto* standard = dynamic_cast<TSqlStdFunction*>(&function);
    if (standard != nullptr) {
        result = ResolveStd(*standard, *state, kinds);
    } else {
        result = ResolveData(static_cast<TTablePlFunction&>(function), *state, kinds);
    }
    state->Args.resize(function.FArguments.size());
    for (std::size_t i = 0; i < function.FArguments.size(); ++i) {
        TArgument& arg = state->Args[i];
        arg.Kind = kinds[i];
        host.PrepareOperand(*function.FArguments[i], IsUntypedLiteral(*function.FArguments[i])
                                                         ? ReferenceFor(arg.Kind)
                                                         : nullptr);
        arg.Type = function.FArguments[i]->FDataType;
        arg.Target = TargetFor(arg.Kind, arg.Type);
    }
    if (result == nullptr) {
        // Text results keep the kind and collation of their first argument.
        const TTdbDataType* source = state->Args.empty() ? nullptr : state->Args[0].ReadType();
        switch (state->Fn) {
            case TFn::Upper:
            case TFn::Lower:
                result = source->GetColumnType() == ctNull
                             ? WideResult(1)
                             : TTdbDataType::GetResultDataType(
                                   state->Fn == TFn::Upper ? TTdbDataUnaryOperator::UpperCase
                                                           : TTdbDataUnaryOperator::LowerCase,
                                   source);
                if (result == nullptr) {
                    RaiseMismatch(source, u"String");
                }
                result = result->GetNullableType(true);
                break;
            case TFn::Substring:
            case TFn::Trim:
            case TFn::LTrim:
            case TFn::RTrim:
            case TFn::LeftStr:
            case TFn::RightStr:
                result = StringResultLike(source, MaxLengthOf(source));
                break;
            case TFn::Cast:
                result = CastTarget(standard->FCastTypeName, source);
                if (source->GetColumnType() != ctNull &&
                    !TTdbDataType::CanConvert(source, result, true)) {
                    RaiseMismatch(source, result->GetSqlName());
                }
                result = result->GetNullableType(true);
                break;
            default:  // NTIMES, EXCHANGE, FILLSTR: as long as a text can be
                result = StringResultLike(source, kUnboundedLength);
                break;
        }
    }
    if (state->Fn == TFn::CurrentRecordId) {
        state->TableNo = host.Context().FindRecordIdTable(standard->FTableName);
        if (state->TableNo < 0) {
            RaiseEngineError(kTdbErrUnknownIdentifier, {standard->FTableName});
        }
    }
    function.FDataType = result;
    function.FState = std::move(state);
    return result;
}

const TTdbDataValue& EvaluateSqlFunction(TSqlEvaluateHost& host, TSqlFunction& function) {
    try {
        return TCall(host, function, static_cast<TFunctionState&>(*function.FState)).Run();
    } catch (const EConvertError& error) {
        // A text that is no value of the type an argument or a cast needs:
        // an engine error like every other failure of a condition.
        RaiseEngineError(kTdbErrTypeMismatch, {error.Message()});
    }
}

// ---- CASE ----

const TTdbDataType* PrepareSqlCase(TSqlPrepareHost& host, TTdbSqlCaseOperation& operation) {
    const TTdbDataType* operandType = nullptr;
    if (operation.FCaseOperand) {
        host.PrepareOperand(*operation.FCaseOperand, nullptr);
        operandType = operation.FCaseOperand->FDataType;
    }
    std::vector<TTdbExpression*> results;
    for (TTdbSqlCaseWhen& when : operation.FWhens) {
        if (operandType != nullptr) {
            host.PrepareOperand(*when.FValue, operandType);
            if (!TTdbDataType::CanCompare(operandType, when.FValue->FDataType)) {
                RaiseMismatch(when.FValue->FDataType, operandType->GetSqlName());
            }
        } else {
            host.PrepareSubCondition(*when.FCondition);
        }
        results.push_back(when.FResult.get());
    }
    if (operation.FElse) {
        results.push_back(operation.FElse.get());
    }
    const TTdbDataType* type = nullptr;
    for (TTdbExpression* result : results) {
        host.PrepareOperand(*result, nullptr);
        const TTdbDataType* resultType = result->FDataType;
        if (resultType->GetColumnType() == ctNull) {
            continue;
        }
        if (type == nullptr) {
            type = resultType;
            continue;
        }
        const TTdbDataType* common = TTdbDataType::GetSuperType(type, resultType);
        if (common == nullptr) {
            RaiseMismatch(resultType, type->GetSqlName());
        }
        type = common;
    }
    type = type == nullptr ? TTdbDataType::GetNullType() : type->GetNullableType(true);
    for (TTdbExpression* result : results) {
        const TTdbDataType* resultType = result->FDataType;
        if (resultType != type && resultType->GetColumnType() != ctNull &&
            !TTdbDataType::CanConvert(resultType, type, false)) {
            RaiseMismatch(resultType, type->GetSqlName());
        }
    }
    operation.FState = std::make_unique<TCaseState>();
    return type;
}

const TTdbDataValue& EvaluateSqlCase(TSqlEvaluateHost& host, TTdbSqlCaseOperation& operation) {
    auto& state = static_cast<TCaseState&>(*operation.FState);
    const TTdbDataType* type = operation.FUnsignedType;
    TTdbExpression* chosen = operation.FElse.get();
    if (operation.FCaseOperand) {
        const TTdbDataValue& operand = host.EvaluateOperand(*operation.FCaseOperand);
        const TTdbDataType* operandType = operation.FCaseOperand->FDataType;
        for (TTdbSqlCaseWhen& when : operation.FWhens) {
            const TTdbDataValue& value = host.EvaluateOperand(*when.FValue);
            if (TTdbDataType::Compare(operand, value, operandType, when.FValue->FDataType) ==
                kCompareEqual) {
                chosen = when.FResult.get();
                break;
            }
        }
    } else {
        for (TTdbSqlCaseWhen& when : operation.FWhens) {
            if (host.EvaluateSubCondition(*when.FCondition) == 0) {
                chosen = when.FResult.get();
                break;
            }
        }
    }
    if (chosen == nullptr) {
        type->SetNull(state.Cell);
        return state.Cell;
    }
    const TTdbDataValue& value = host.EvaluateOperand(*chosen);
    const TTdbDataType* chosenType = chosen->FDataType;
    if (chosenType == type) {
        return value;
    }
    if (chosenType->IsNull(value)) {
        type->SetNull(state.Cell);
    } else {
        try {
            TTdbDataType::Convert(value, state.Cell, chosenType, type, false);
        } catch (const EConvertError& error) {
            RaiseEngineError(kTdbErrTypeMismatch, {error.Message()});
        }
    }
    return state.Cell;
}

// ---- Parameters ----

void BindSqlParameter(TTdbSimpleFactor& factor, std::span<const TTdbSqlParameter> parameters,
                      const TTdbDataType* reference) {
    const TTdbSqlParameter* parameter = nullptr;
    for (const TTdbSqlParameter& candidate : parameters) {
        if (candidate.Name.size() == factor.FParameterName.size() &&
            std::equal(candidate.Name.begin(), candidate.Name.end(), factor.FParameterName.begin(),
                       [](char16_t a, char16_t b) {
                           const auto up = [](char16_t c) {
                               return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
                           };
                           return up(a) == up(b);
                       })) {
            parameter = &candidate;
        }
    }
    if (parameter == nullptr || parameter->Value == nullptr) {
        RaiseEngineError(kTdbErrUnknownIdentifier, {u":" + factor.FParameterName});
    }
    const TTdbDataType* type = parameter->Type->GetNullableType(true);
    TTdbDataValue value;
    type->Assign(value, *parameter->Value);
    if (reference != nullptr && reference->GetColumnType() != ctNull) {
        // Like a literal it takes the type it meets, where its own would not
        // compare the same way; a text stays as long as it is, and an integer
        // keeps its 64 bits, so that neither is cut into a false match.
        const bool keep = (type->IsStringType() && reference->IsStringType()) ||
                          (type->IsIntegerFamily() && reference->IsIntegerFamily()) ||
                          type->GetColumnType() == reference->GetColumnType();
        if (!keep) {
            const TTdbDataType* target = reference->IsIntegerFamily()
                                             ? TTdbDataType::GetDataType(ctBigInt, true)
                                             : reference->GetNullableType(true);
            if (type->IsNull(value) || type->GetColumnType() == ctNull) {
                target->SetNull(value);
            } else {
                TTdbDataType::Convert(value, type, target, true);
            }
            type = target;
        }
    }
    factor.FLiteralType = type;
    factor.FLiteralValue = std::move(value);
}

}  // namespace tdb
