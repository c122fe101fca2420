// Functions, CASE and parameters in conditions, as data: each row prepares a
// condition against one record and expects a truth value or the engine
// error that preparing or evaluating it raises. "Now", the weekday names and
// the current record id are fixed by the context.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "condition_cases.h"
#include "expr/sql_condition.h"
#include "memory_context.h"

namespace tdb {
namespace {

using namespace condition_cases;

struct TCase {
    std::u16string Condition;
    TValues Values;  // columns not named are NULL
    int Expected;
    std::int16_t Error = 0;  // the engine error expected instead
};

void PrintTo(const TCase& c, std::ostream* out) {
    *out << Narrow(c.Condition);
}

// A table "T" whose current record is number 7, on 10 December 2026 at
// 12:00, in an English locale.
class TFixedContext : public TMemoryContext {
public:
    TFixedContext() {
        AddColumn(u"TELEP", TTdbDataType::GetStringType(ctString, true, 40, u""));
        AddColumn(u"W", TTdbDataType::GetStringType(ctWideString, true, 20, u""));
        AddColumn(u"A", TTdbDataType::GetDataType(ctInteger, true));
        AddColumn(u"F", TTdbDataType::GetFloatType(true));
        AddColumn(u"D", TTdbDataType::GetDataType(ctDate, true));
        AddColumn(u"TM", TTdbDataType::GetDataType(ctTime, true));
        AddColumn(u"TS", TTdbDataType::GetDataType(ctTimeStamp, true));
        AddColumn(u"E", TTdbDataType::GetEnumType(u"Answer", u"Igen,Nem", u',', u'"', true));
        AddColumn(u"G", TTdbDataType::GetDataType(ctGuid, true));
    }

    std::int32_t FindRecordIdTable(std::u16string_view name) override {
        return name == u"T" || name == u"t" ? 3 : -1;
    }
    std::optional<std::int32_t> GetCurrentRecordId(std::int32_t tableNo) override {
        return tableNo == 3 ? std::optional<std::int32_t>(7) : std::nullopt;
    }
    TTdbTimeStamp GetLocalTimeStamp() const override {
        return {PackDate(2026, 12, 10), 12 * 3600 * 1000};
    }
    std::u16string GetWeekDayName(int day) const override {
        static const char16_t* const kNames[] = {u"Monday", u"Tuesday",  u"Wednesday", u"Thursday",
                                                 u"Friday", u"Saturday", u"Sunday"};
        return kNames[day - 1];
    }
};

int PrepareAndEvaluate(TTdbSqlCondition& condition, TFixedContext& context) {
    try {
        condition.Prepare(context, kFilter);
        return condition.Evaluate();
    } catch (const ETdbEngine& error) {
        EXPECT_FALSE(error.Message().empty());
        return -error.Code();
    }
}

class FunctionCases : public testing::TestWithParam<TCase> {};

TEST_P(FunctionCases, GivesItsTruthValueOrError) {
    const TCase& c = GetParam();
    TFixedContext context;
    for (const auto& [name, value] : c.Values) {
        context.SetValue(name, value);
    }
    TTdbSqlCondition condition(c.Condition);
    const int expected = c.Error != 0 ? -c.Error : c.Expected;
    EXPECT_EQ(PrepareAndEvaluate(condition, context), expected) << Narrow(c.Condition);
}

const TValues kNone;
const TValues kBudapest = {{u"TELEP", u"Budapest"}};
// Monday 2 March 2015, in ISO week 10.
const TValues kMoment = {
    {u"D", u"02.03.2015"}, {u"TM", u"12:34:56.789"}, {u"TS", u"02.03.2015_12:34:56.789"}};

// clang-format off
const TCase kNumeric[] = {
    {u"ABS(A) = 5", {{u"A", u"-5"}}, T},
    {u"ABS(A) = 5", kNone, U},
    {u"CEILING(F) = 3 AND FLOOR(F) = 2", {{u"F", u"2.1"}}, T},
    {u"FLOOR(F) = -3", {{u"F", u"-2.1"}}, T},
    // Outside the 32-bit range they have no value.
    {u"CEILING(F) IS NULL AND FLOOR(F) IS NULL", {{u"F", u"3000000000"}}, T},
    {u"FLOOR(F) = -2147483648", {{u"F", u"-2147483647.5"}}, T},
    {u"INT(F) = -2", {{u"F", u"-2.7"}}, T},
    {u"INT(F) = 5000000000", {{u"F", u"5000000000.9"}}, T},
    {u"INT(F) = 0", {{u"F", u"1E19"}}, 0, kTdbErrValueOutOfRange},
    {u"FRAC(F) = -0.5", {{u"F", u"-2.5"}}, T},
    {u"LOG(F) IS NULL", {{u"F", u"0"}}, T},
    {u"LOG(F) IS NULL", {{u"F", u"-1"}}, T},
    {u"LOG(F) = 0 AND EXP(0) = 1", {{u"F", u"1"}}, T},
    {u"SQRT(F) IS NULL", {{u"F", u"-4"}}, T},
    {u"SQRT(F) = 4", {{u"F", u"16"}}, T},
    // Halves go to the even neighbour; a negative n rounds left of the point.
    {u"ROUND(F, 0) = 2", {{u"F", u"2.5"}}, T},
    {u"ROUND(F, 0) = 4", {{u"F", u"3.5"}}, T},
    {u"ROUND(F, 0) = -2", {{u"F", u"-2.5"}}, T},
    {u"ROUND(F, 1) = 0.1", {{u"F", u"0.125"}}, T},
    {u"ROUND(F, -2) = 1200", {{u"F", u"1250"}}, T},
    {u"ROUND(F, -2) = 1400", {{u"F", u"1350"}}, T},
    {u"ROUND(F, -1) = 10", {{u"F", u"14.9"}}, T},
    {u"ROUND(F, A) IS NULL", {{u"F", u"1"}}, T},
    {u"ROUND(F, 21) = 1", {{u"F", u"1"}}, 0, kTdbErrValueOutOfRange},
    {u"RANDOM(10) BETWEEN 0 AND 9 AND RANDOM(1) = 0", kNone, T},
    {u"RANDOM(A) IS NULL", {{u"A", u"0"}}, T},
    {u"REALVAL('1.5') = 1.5", kNone, T},
    {u"REALVAL(W) IS NULL", kNone, T},
    {u"Sin(0) = 0 AND Cos(0) = 1 AND ArcTan(0) = 0", kNone, T},
    {u"ArcTan(1) * 4 > 3.14159 AND ArcTan(1) * 4 < 3.1416", kNone, T},
    {u"Cos(F) IS NULL", kNone, T},
    {u"ABS(G) = 1", kNone, 0, kTdbErrTypeMismatch},
    {u"Sin(G) = 0", kNone, 0, kTdbErrTypeMismatch},
    // A text that is no number fails when it is met.
    {u"Sin(TELEP) = 0", {{u"TELEP", u"x"}}, 0, kTdbErrTypeMismatch},
    {u"Sin(TELEP) = 0", {{u"TELEP", u"0"}}, T},
};

const TCase kText[] = {
    {u"CHR(65) = 'A' AND CHR(337) HAS 'ő'", kNone, T},
    {u"CHR(A) = 'A'", {{u"A", u"-1"}}, 0, kTdbErrValueOutOfRange},
    {u"CHAR_LENGTH(TELEP) = 8 AND LEN(TELEP) = 8 AND LENGTH(W) = 0",
     {{u"TELEP", u"Budapest"}, {u"W", u""}}, T},
    {u"LEN(TELEP) IS NULL", kNone, T},
    // HAS compares exact characters, so it sees the case.
    {u"UPPER(TELEP) HAS 'ÁRVÍZ'", {{u"TELEP", u"árvíz"}}, T},
    {u"UPPER(TELEP) HAS 'árv'", {{u"TELEP", u"árvíz"}}, F},
    {u"LOWER(W) HAS 'őz'", {{u"W", u"ŐZ"}}, T},
    {u"SUBSTRING(TELEP FROM 2 FOR 3) = 'uda'", kBudapest, T},
    {u"SUBSTRING(TELEP FROM 4) = 'apest'", kBudapest, T},
    {u"SUBSTRING(TELEP FROM 4 FOR -1) = 'apest'", kBudapest, T},
    {u"SUBSTRING(TELEP FROM 8 FOR 5) = 't'", kBudapest, T},
    {u"SUBSTRING(TELEP FROM 0 FOR 3) = ''", kBudapest, T},
    {u"SUBSTRING(TELEP FROM 9) = ''", kBudapest, T},
    {u"SUBSTRING(TELEP FROM A) IS NULL", kBudapest, T},
    // One character is trimmed: the first of the string given.
    {u"'|' + TRIM(W) + '|' = '|a b|'", {{u"W", u"  a b  "}}, T},
    {u"'|' + TRIM(BOTH 'xy' FROM W) + '|' = '|yaby|'", {{u"W", u"xxyabyxx"}}, T},
    {u"'|' + TRIM(LEADING 'x' FROM W) + '|' = '|abxx|'", {{u"W", u"xxabxx"}}, T},
    {u"'|' + TRIM(TRAILING 'x' FROM W) + '|' = '|xxab|'", {{u"W", u"xxabxx"}}, T},
    {u"'|' + TRIM(LEADING FROM W) + '|' = '|a |'", {{u"W", u"  a "}}, T},
    {u"'|' + TRIM(BOTH '' FROM W) + '|' = '|a|'", {{u"W", u" a "}}, T},
    {u"'|' + LTRIM(W) + '|' + RTRIM(W) + '|' = '|a | a|'", {{u"W", u" a "}}, T},
    {u"'|' + LTRIM(W, '0') + '|' = '|120|'", {{u"W", u"00120"}}, T},
    {u"TRIM(W) = ''", {{u"W", u"   "}}, T},
    {u"NTIMES('ab', 3) = 'ababab' AND NTIMES('ab', 0) = ''", kNone, T},
    {u"NTIMES(W, 100000) = ''", {{u"W", u"abc"}}, 0, 43},
    // Found from left to right, never overlapping.
    {u"EXCHANGE('aaaa', 'aa', 'b') = 'bb'", kNone, T},
    {u"EXCHANGE('aaa', 'aa', 'b') = 'ba'", kNone, T},
    {u"EXCHANGE(W, 'a', 'aa') = 'baanaanaa'", {{u"W", u"banana"}}, T},
    {u"EXCHANGE(W, TELEP, 'x') = 'abc' AND EXCHANGE(W, 'b', TELEP) = 'abc'", {{u"W", u"abc"}}, T},
    {u"EXCHANGE(W, '', 'x') = 'abc'", {{u"W", u"abc"}}, T},
    {u"EXCHANGE(TELEP, 'a', 'b') IS NULL", kNone, T},
    {u"FILLSTR('ab', '.-', 5) = 'ab.-.'", kNone, T},
    {u"FILLSTR('abcdef', '.', 3) = 'abcdef' AND FILLSTR('ab', '', 5) = 'ab'", kNone, T},
    {u"FillStr('xy', 5) = 'xyxyx' AND FILLSTR('', 2) = ''", kNone, T},
    {u"DIGITSTR(120) = 'one*two*zero'", kNone, T},
    {u"DIGITSTR(F) = 'seven'", {{u"F", u"-7.9"}}, T},
    {u"DIGITSTR(F) = 'two*one*four*seven*four*eight*three*six*four*seven'",
     {{u"F", u"1E12"}}, T},
    {u"STR(F, 8, 2) = '    3.14'", {{u"F", u"3.14159"}}, T},
    {u"STR(F, 10, 2, ',', '*', '.') = '1.234.567,89'", {{u"F", u"1234567.891"}}, T},
    {u"STR(F, 10, 1, ',', '*') = '***-1234,5'", {{u"F", u"-1234.5"}}, T},
    {u"STR(F, 6, 0, '', '0') = '000042'", {{u"F", u"42"}}, T},
    {u"STR(F, 0, 20) = '0.50000000000'", {{u"F", u"0.5"}}, T},
    {u"STR(A, 200) = '1'", {{u"A", u"1"}}, F},
    {u"CHAR_LENGTH(STR(A, 200)) = 80", {{u"A", u"1"}}, T},
    {u"STR(A, 0, 0, '.', ' ', '.') = '-1.234.567'", {{u"A", u"-1234567"}}, T},
    {u"STR(E) = 'Nem' AND STR(E, 5) = '  Nem'", {{u"E", u"Nem"}}, T},
    {u"Ascii('A') = 65 AND Ascii(W) IS NULL", {{u"W", u""}}, T},
    {u"Pos('pe', TELEP) = 5 AND Pos('x', TELEP) = 0 AND Pos('', TELEP) = 0", kBudapest, T},
    {u"Pos('PE', TELEP) = 0", kBudapest, T},
    {u"Scan('aa', 'aaaa') = 3 AND Scan('x', 'abc') = 0", kNone, T},
    {u"LeftStr(TELEP, 4) = 'Buda' AND RightStr(TELEP, 4) = 'pest'", kBudapest, T},
    {u"LeftStr(TELEP, 99) = TELEP AND RightStr(TELEP, -1) = ''", kBudapest, T},
    {u"HexStr(255, 4) = '00FF' AND HexStr(255) = 'FF' AND HexStr(0) = '0'", kNone, T},
    {u"HexStr(-1, 2) = 'FFFFFFFFFFFFFFFF'", kNone, T},
};

const TCase kDates[] = {
    {u"EXTRACT(YEAR FROM D) = 2015 AND EXTRACT(MONTH FROM D) = 3 AND EXTRACT(DAY FROM D) = 2",
     kMoment, T},
    {u"EXTRACT(WEEKDAY FROM D) = 1 AND EXTRACT(WEEKDAYNAME FROM D) = 'Monday'", kMoment, T},
    {u"EXTRACT(WEEK FROM D) = 10", kMoment, T},
    {u"EXTRACT(HOUR FROM TM) = 12 AND EXTRACT(MINUTE FROM TM) = 34 AND "
     u"EXTRACT(SECOND FROM TM) = 56 AND EXTRACT(MILLISECOND FROM TM) = 789", kMoment, T},
    {u"EXTRACT(YEAR FROM TS) = 2015 AND EXTRACT(MILLISECOND FROM TS) = 789", kMoment, T},
    {u"EXTRACT(YEAR FROM D) IS NULL", kNone, T},
    {u"EXTRACT(HOUR FROM D) = 0", kMoment, 0, kTdbErrTypeMismatch},
    {u"EXTRACT(YEAR FROM TM) = 0", kMoment, 0, kTdbErrTypeMismatch},
    // ISO weeks across year ends.
    {u"EXTRACT(WEEK FROM D) = 1", {{u"D", u"01.01.2015"}}, T},   // Thursday
    {u"EXTRACT(WEEK FROM D) = 53", {{u"D", u"01.01.2016"}}, T},  // Friday of 2015's last week
    {u"EXTRACT(WEEK FROM D) = 53", {{u"D", u"03.01.2010"}}, T},  // Sunday
    {u"EXTRACT(WEEK FROM D) = 1", {{u"D", u"04.01.2010"}}, T},
    {u"EXTRACT(WEEK FROM D) = 1", {{u"D", u"29.12.2008"}}, T},   // Monday of 2009's week 1
    {u"EXTRACT(WEEK FROM D) = 52", {{u"D", u"28.12.2008"}}, T},
    {u"EXTRACT(WEEK FROM D) = 1", {{u"D", u"30.12.2024"}}, T},
    {u"Week(D) = 1 AND WeekDayNo(D) = 1", {{u"D", u"01.01.0001"}}, T},
    {u"Week(D) = 52 AND WeekDayNo(D) = 5", {{u"D", u"31.12.9999"}}, T},
    {u"WeekDayNo(D) = 7 AND DayOfWeek(D) = 'Sunday'", {{u"D", u"01.03.2015"}}, T},
    {u"Year(D) = 2015 AND Month(D) = 3 AND Day(D) = 2 AND Week(D) = 10", kMoment, T},
    {u"Hour(TS) = 12 AND Minute(TS) = 34 AND Second(TS) = 56 AND Millisecond(TS) = 789",
     kMoment, T},
    {u"Hour(TM) = 12", kMoment, T},
    {u"Year('2015-03-02') = 2015 AND Year(02.03.2015_12:00) = 2015", kNone, T},
    {u"Year('gestern') = 2015", kNone, 0, 137},
    {u"CombineDateTime(D, TM) = TS", kMoment, T},
    {u"MakeTime(12, 34) = 12:34 AND MakeTime(12, 34, 56, 789) = TM", kMoment, T},
    {u"MakeDate(2015, 3, 2) = D", kMoment, T},
    {u"MakeDateTime(2015, 3, 2, 12, 34, 56, 789) = TS AND MakeDateTime(2015, 3, 2, 0, 0) < TS",
     kMoment, T},
    {u"MakeDate(2015, 2, 29) = D", kMoment, 0, 137},
    {u"MakeDate(2016, 2, 29) = 29.02.2016", kNone, T},
    {u"MakeDate(0, 1, 1) = D", kMoment, 0, 137},
    {u"MakeTime(24, 0) = TM", kMoment, 0, 140},
    {u"MakeTime(12, 60) = TM", kMoment, 0, 140},
    {u"MakeTime(12, 0, 0, 1000) = TM", kMoment, 0, 140},
    {u"MakeTime(256, 0) = TM", kMoment, 0, 140},
    {u"MakeDateTime(2015, 13, 1, 0, 0) = TS", kMoment, 0, kTdbErrInvalidTimestamp},
    {u"MakeDateTime(2015, 1, 1, 0, -1) = TS", kMoment, 0, kTdbErrInvalidTimestamp},
    {u"TimeStr(TM) = '12:34:56' AND TimeStr(TM, 1) = '12:34' AND TimeStr(TM, 9) = '12:34:56.789'",
     kMoment, T},
    {u"DateStr(D) = '02.03.2015' AND DateTimeStr(TS, 2) = '02.03.2015_12:34'", kMoment, T},
    {u"CURRENT_DATE = D AND TODAY = D", {{u"D", u"10.12.2026"}}, T},
    {u"CURRENT_TIME = TM AND NOW = TM", {{u"TM", u"12:00"}}, T},
    {u"CURRENT_TIMESTAMP = TS", {{u"TS", u"10.12.2026_12:00"}}, T},
};

const TCase kOthers[] = {
    {u"CAST('12' AS INTEGER) = 12 AND CAST(A AS VARCHAR) = '42'", {{u"A", u"42"}}, T},
    {u"CAST(A AS FLOAT) / 8 = 5.25", {{u"A", u"42"}}, T},
    {u"CAST('02.03.2015' AS DATE) = D", kMoment, T},
    {u"CAST(A AS INTEGER) IS NULL AND CAST(NULL AS DATE) IS NULL", kNone, T},
    {u"CAST(E AS ENUM) = 'Nem'", {{u"E", u"Nem"}}, T},
    // Every type name.
    {u"CAST(A AS AUTOINC) = 1 AND CAST(A AS BIGINT) = 1 AND CAST(A AS BOOLEAN) = TRUE AND "
     u"CAST(A AS BYTE) = 1 AND CAST(A AS SMALLINT) = 1 AND CAST(A AS LINK) = 1", {{u"A", u"1"}}, T},
    {u"CAST(A AS DECIMAL) = 1 AND CAST(A AS DOUBLE) = 1 AND CAST(A AS REAL) = 1", {{u"A", u"1"}}, T},
    {u"CAST(W AS CHAR) IS NOT NULL", {{u"W", u"x"}}, T},
    {u"CAST(W AS WCHAR) = 'x' AND CAST(W AS VARWCHAR) = 'x'", {{u"W", u"x"}}, T},
    {u"CAST(W AS LONGVARCHAR) = 'x' AND CAST(W AS LONGVARWCHAR) = 'x'", {{u"W", u"x"}}, T},
    {u"CAST('12:34:56.789' AS TIME) = TM AND CAST('02.03.2015_12:34:56.789' AS TIMESTAMP) = TS",
     kMoment, T},
    {u"CAST('{00000000-0000-0000-0000-00000000000A}' AS GUID) = G",
     {{u"G", u"{00000000-0000-0000-0000-00000000000A}"}}, T},
    {u"CAST(W AS LONGVARBINARY) IS NULL", kNone, T},
    {u"CAST(A AS RELATION) IS NULL", kNone, 0, kTdbErrTypeMismatch},
    {u"CAST(A AS BYTE) = 1", {{u"A", u"300"}}, 0, kTdbErrValueOutOfRange},
    {u"CAST(F AS SMALLINT) = 1", {{u"F", u"1E10"}}, 0, kTdbErrValueOutOfRange},
    {u"CAST(A AS ENUM) = 1", kNone, 0, kTdbErrTypeMismatch},
    {u"CAST(G AS DATE) = D", kNone, 0, kTdbErrTypeMismatch},
    {u"CAST('x' AS INTEGER) = 1", kNone, 0, kTdbErrTypeMismatch},
    {u"NewGuid() IS NOT NULL AND NewGuid() <> NewGuid()", kNone, T},
    {u"CURRENTRECORDID(T) = 7 AND CURRENTRECORDID(\"T.dat\") = 7", kNone, T},
    {u"CURRENTRECORDID(Other) = 7", kNone, 0, kTdbErrUnknownIdentifier},
    // Aggregates have no value for one record.
    {u"COUNT(*) > 0", kNone, 0, kTdbErrNotSupported},
    {u"MAX(A) = 1", kNone, 0, kTdbErrNotSupported},
    {u"A = 1 OR AVG(A) = 1", kNone, 0, kTdbErrNotSupported},
    // Data functions by name, any case, with their argument counts.
    {u"yEaR(D) = 2015", kMoment, T},
    {u"Foo(1) = 1", kNone, 0, kTdbErrUnknownIdentifier},
    {u"Year() = 1", kNone, 0, kTdbErrTokenExpected},
    {u"Year(D, 1) = 1", kNone, 0, kTdbErrTokenExpected},
    {u"MakeDate(2015, 3) = D", kNone, 0, kTdbErrTokenExpected},
    // Functions nest, and their results meet literals like columns do.
    {u"LEN(UPPER(SUBSTRING(TELEP FROM 2))) + 1 = 8", kBudapest, T},
    {u"-ABS(A) = -3", {{u"A", u"3"}}, T},
};

const TCase kCase[] = {
    {u"CASE WHEN A > 0 THEN 'pos' WHEN A < 0 THEN 'neg' END = 'neg'", {{u"A", u"-1"}}, T},
    // No ELSE: NULL.
    {u"CASE WHEN A > 0 THEN 'pos' WHEN A < 0 THEN 'neg' END IS NULL", {{u"A", u"0"}}, T},
    // An unknown WHEN is not taken.
    {u"CASE WHEN A > 0 THEN 1 ELSE 0 END = 0", kNone, T},
    // Results of other types are converted to the common one.
    {u"CASE WHEN A > 0 THEN 1 ELSE 2.5 END = 2.5", {{u"A", u"0"}}, T},
    {u"CASE WHEN A > 0 THEN A ELSE 2.5 END * 2 = 6", {{u"A", u"3"}}, T},
    {u"CASE WHEN A > 0 THEN NULL ELSE A END IS NULL", {{u"A", u"3"}}, T},
    {u"CASE A WHEN 1 THEN 'one' WHEN 2 THEN 'two' ELSE 'many' END = 'two'", {{u"A", u"2"}}, T},
    {u"CASE A WHEN 1 THEN 'one' ELSE 'many' END = 'many'", kNone, T},
    {u"CASE D WHEN '02.03.2015' THEN 1 ELSE 0 END = 1", kMoment, T},
    {u"-CASE WHEN A > 0 THEN A ELSE 0 END = -5", {{u"A", u"5"}}, T},
    {u"CASE WHEN A > 0 THEN 'x' ELSE D END = 'x'", kNone, 0, kTdbErrTypeMismatch},
    {u"CASE A WHEN D THEN 1 END = 1", kNone, 0, kTdbErrTypeMismatch},
    {u"CASE A WHEN 'x' THEN 1 END = 1", kNone, 0, kTdbErrInvalidNumber},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Numeric, FunctionCases, testing::ValuesIn(kNumeric));
INSTANTIATE_TEST_SUITE_P(Text, FunctionCases, testing::ValuesIn(kText));
INSTANTIATE_TEST_SUITE_P(Dates, FunctionCases, testing::ValuesIn(kDates));
INSTANTIATE_TEST_SUITE_P(Others, FunctionCases, testing::ValuesIn(kOthers));
INSTANTIATE_TEST_SUITE_P(Case, FunctionCases, testing::ValuesIn(kCase));

TEST(SqlFunctions, RealValNamesTheTextItCannotRead) {
    TFixedContext context;
    context.SetValue(u"W", u"1,5");
    TTdbSqlCondition condition(u"REALVAL(W) = 1.5");
    condition.Prepare(context, kFilter);
    try {
        condition.Evaluate();
        FAIL() << "no error";
    } catch (const ETdbEngine& error) {
        EXPECT_EQ(error.Code(), kTdbErrTypeMismatch);
        EXPECT_NE(error.Message().find(u"Invalid double: \"1,5\""), std::u16string::npos);
    }
}

TEST(SqlFunctions, ResultsFollowTheRecord) {
    TFixedContext context;
    TTdbSqlCondition condition(u"UPPER(SUBSTRING(TELEP FROM 1 FOR 4)) = 'BUDA' AND Year(D) = 2015");
    condition.Prepare(context, kFilter);
    context.SetValue(u"TELEP", u"Budapest");
    context.SetValue(u"D", u"02.03.2015");
    EXPECT_EQ(condition.Evaluate(), T);
    context.SetValue(u"TELEP", u"Bugyi");
    EXPECT_EQ(condition.Evaluate(), F);
    context.SetValue(u"TELEP", std::nullopt);
    EXPECT_EQ(condition.Evaluate(), U);
}

// ---- Parameters ----

struct TParameterCase {
    std::u16string Condition;
    TValues Values;
    int Expected;
    std::int16_t Error = 0;
};

void PrintTo(const TParameterCase& c, std::ostream* out) {
    *out << Narrow(c.Condition);
}

class ParameterCases : public testing::TestWithParam<TParameterCase> {};

// :N is the Integer 5, :S the String '02.03.2015', :LONG a String longer
// than TELEP, :NOTHING an Integer NULL; :MISSING has no value.
TEST_P(ParameterCases, TakeTheirValuesAtPreparation) {
    const TParameterCase& c = GetParam();
    TFixedContext context;
    for (const auto& [name, value] : c.Values) {
        context.SetValue(name, value);
    }
    TTdbSqlCondition condition(c.Condition);
    const TTdbDataType* integer = TTdbDataType::GetDataType(ctInteger, true);
    const TTdbDataType* string = TTdbDataType::GetStringType(ctString, true, 60, u"");
    condition.SetParameterText(u"n", integer, u"5");
    condition.SetParameterText(u"S", string, u"02.03.2015");
    condition.SetParameterText(u"Long", string, u"Budapest" + std::u16string(40, u'x'));
    condition.SetParameterText(u"NOTHING", integer, std::nullopt);
    const int expected = c.Error != 0 ? -c.Error : c.Expected;
    EXPECT_EQ(PrepareAndEvaluate(condition, context), expected) << Narrow(c.Condition);
}

// clang-format off
const TParameterCase kParameters[] = {
    {u"A = :N AND A = :n", {{u"A", u"5"}}, T},
    {u":N = A", {{u"A", u"4"}}, F},
    {u":N + 1 = 6 AND ABS(-:N) = 5", kNone, T},
    // A bare parameter meeting a column takes its type: the text becomes a date.
    {u"D = :S", kMoment, T},
    {u"D BETWEEN :S AND :S", kMoment, T},
    {u"F = :N", {{u"F", u"5"}}, T},
    // A text longer than its column is not cut to fit it.
    {u"TELEP = :LONG", {{u"TELEP", u"Budapest"}}, F},
    {u"A = :NOTHING", {{u"A", u"5"}}, U},
    {u"A = :MISSING", kNone, 0, kTdbErrUnknownIdentifier},
    {u"G = :N", kNone, 0, kTdbErrTypeMismatch},
    {u"CASE A WHEN :N THEN 'five' END = 'five'", {{u"A", u"5"}}, T},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Parameters, ParameterCases, testing::ValuesIn(kParameters));

TEST(SqlFunctions, ParametersAreCopiedWhenPrepared) {
    TFixedContext context;
    context.SetValue(u"A", u"5");
    TTdbSqlCondition condition(u"A = :P");
    const TTdbDataType* integer = TTdbDataType::GetDataType(ctInteger, true);
    condition.SetParameterText(u"P", integer, u"5");
    condition.Prepare(context, kFilter);
    condition.SetParameterText(u"p", integer, u"6");  // replaces, for the next Prepare
    EXPECT_EQ(condition.Evaluate(), T);
    condition.Prepare(context, kFilter);
    EXPECT_EQ(condition.Evaluate(), F);
    condition.ClearParameters();
    EXPECT_EQ(PrepareAndEvaluate(condition, context), -kTdbErrUnknownIdentifier);
}

}  // namespace
}  // namespace tdb
