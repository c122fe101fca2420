// Conditions as data: each row prepares a condition against one record of a
// small table and expects a truth value or the engine error preparing or
// evaluating it raises.
#include "expr/sql_condition.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "condition_cases.h"
#include "memory_context.h"

namespace tdb {
namespace {

using namespace condition_cases;

constexpr std::uint8_t kPartial = kFilter | kConditionPartialCompare;

struct TCase {
    std::u16string Condition;
    TValues Values;  // columns not named are NULL
    std::uint8_t Options;
    int Expected;            // truth value, when Error is 0
    std::int16_t Error = 0;  // the engine error expected instead
};

void AddColumns(TMemoryContext& context) {
    context.AddColumn(u"TELEP", TTdbDataType::GetStringType(ctString, true, 40, u""));
    context.AddColumn(u"IRSZ", TTdbDataType::GetStringType(ctString, true, 4, u""));
    context.AddColumn(u"TELK", TTdbDataType::GetStringType(ctString, true, 10, u""));
    context.AddColumn(u"W", TTdbDataType::GetStringType(ctWideString, true, 20, u""));
    context.AddColumn(u"M", TTdbDataType::GetStringType(ctMemo, true, kUnboundedLength, u""));
    context.AddColumn(u"A", TTdbDataType::GetDataType(ctInteger, true));
    context.AddColumn(u"B", TTdbDataType::GetDataType(ctInteger, true));
    context.AddColumn(u"X", TTdbDataType::GetDataType(ctInteger, true));
    context.AddColumn(u"S", TTdbDataType::GetDataType(ctSmallInt, true));
    context.AddColumn(u"F", TTdbDataType::GetFloatType(true));
    context.AddColumn(u"OK", TTdbDataType::GetDataType(ctBoolean, true));
    context.AddColumn(u"CH", TTdbDataType::GetDataType(ctChar, true));
    context.AddColumn(u"D", TTdbDataType::GetDataType(ctDate, true));
    context.AddColumn(u"TM", TTdbDataType::GetDataType(ctTime, true));
    context.AddColumn(u"TS", TTdbDataType::GetDataType(ctTimeStamp, true));
    context.AddColumn(u"E", TTdbDataType::GetEnumType(u"Answer", u"Igen,Nem", u',', u'"', true));
    context.AddColumn(u"G", TTdbDataType::GetDataType(ctGuid, true));
}

// Prepares and evaluates; the truth value, or the error code negated.
int PrepareAndEvaluate(const TCase& c) {
    TMemoryContext context;
    AddColumns(context);
    for (const auto& [name, value] : c.Values) {
        context.SetValue(name, value);
    }
    TTdbSqlCondition condition(c.Condition);
    try {
        condition.Prepare(context, c.Options);
        return condition.Evaluate();
    } catch (const ETdbEngine& error) {
        EXPECT_FALSE(error.Message().empty());
        return -error.Code();
    }
}

void PrintTo(const TCase& c, std::ostream* out) {
    *out << Narrow(c.Condition);
}

class ConditionCases : public testing::TestWithParam<TCase> {};

TEST_P(ConditionCases, GivesItsTruthValueOrError) {
    const TCase& c = GetParam();
    const int expected = c.Error != 0 ? -c.Error : c.Expected;
    EXPECT_EQ(PrepareAndEvaluate(c), expected) << Narrow(c.Condition);
}

const TValues kNoValues;
const TValues kBothNull;

// clang-format off
const TCase kPredicates[] = {
    // Every comparison of a NULL is unknown, and NOT keeps it unknown.
    {u"TELK = '1'", kNoValues, kFilter, U},
    {u"NOT TELK = '1'", kNoValues, kFilter, U},
    {u"TELK <> '1'", kNoValues, kFilter, U},
    {u"A < 1", kNoValues, kFilter, U},
    {u"A <= 1", kNoValues, kFilter, U},
    {u"A > 1", kNoValues, kFilter, U},
    {u"A >= 1", kNoValues, kFilter, U},
    {u"A = B", kNoValues, kFilter, U},
    {u"A BETWEEN 1 AND 5", kNoValues, kFilter, U},
    {u"A IN (1, 2)", kNoValues, kFilter, U},
    {u"TELK LIKE '%'", kNoValues, kFilter, F},
    {u"TELK HAS ''", kNoValues, kFilter, F},
    {u"TELK IS NULL", kNoValues, kFilter, T},
    {u"TELK IS NOT NULL", kNoValues, kFilter, F},
    {u"TELK IS NULL", {{u"TELK", u"1"}}, kFilter, F},
    {u"TELK IS NOT NULL", {{u"TELK", u""}}, kFilter, T},
    {u"TELK = '1'", {{u"TELK", u"1"}}, kFilter, T},
    // Comparison operators on values.
    {u"A = 3", {{u"A", u"3"}}, kFilter, T},
    {u"A <> 3", {{u"A", u"3"}}, kFilter, F},
    {u"A < 4", {{u"A", u"3"}}, kFilter, T},
    {u"A <= 3", {{u"A", u"3"}}, kFilter, T},
    {u"A > 3", {{u"A", u"3"}}, kFilter, F},
    {u"A >= 4", {{u"A", u"3"}}, kFilter, F},
    {u"3 = A", {{u"A", u"3"}}, kFilter, T},
    {u"4 > A", {{u"A", u"3"}}, kFilter, T},
    {u"A = -3", {{u"A", u"-3"}}, kFilter, T},
    {u"-A = 3", {{u"A", u"-3"}}, kFilter, T},
    {u"A = B", {{u"A", u"2"}, {u"B", u"2"}}, kFilter, T},
    // A literal beyond the column's range still compares as itself.
    {u"S < 100000", {{u"S", u"5"}}, kFilter, T},
    // Strings compare as strings under the column's collation.
    {u"IRSZ >= '1000'", {{u"IRSZ", u"999"}}, kFilter, T},
    {u"IRSZ >= '1000'", {{u"IRSZ", u"0999"}}, kFilter, F},
    {u"IRSZ >= 1000", {{u"IRSZ", u"999"}}, kFilter, T},
    {u"TELEP = 'Buda'", {{u"TELEP", u"Budapest"}}, kPartial, F},
    {u"TELEP = 'budapest'", {{u"TELEP", u"Budapest"}}, kFilter, T},
    // A literal longer than its column is not cut to fit it.
    {u"IRSZ = '10000'", {{u"IRSZ", u"1000"}}, kFilter, F},
    {u"W = 'Óbuda'", {{u"W", u"Óbuda"}}, kFilter, T},
    {u"M = 'hosszú'", {{u"M", u"hosszú"}}, kFilter, T},
    // BETWEEN: upper bound first, and an empty range is false everywhere.
    {u"X BETWEEN 1 AND 5", {{u"X", u"5"}}, kFilter, T},
    {u"X BETWEEN 1 AND 5", {{u"X", u"0"}}, kFilter, F},
    {u"X BETWEEN 5 AND 1", {{u"X", u"1"}}, kFilter, F},
    {u"X BETWEEN 5 AND 1", {{u"X", u"3"}}, kFilter, F},
    {u"X BETWEEN 5 AND 1", {{u"X", u"5"}}, kFilter, F},
    {u"X NOT BETWEEN 1 AND 5", {{u"X", u"7"}}, kFilter, T},
    {u"X BETWEEN NULL AND 5", {{u"X", u"7"}}, kFilter, F},
    {u"X BETWEEN NULL AND 5", {{u"X", u"3"}}, kFilter, U},
    // IN: the result of the last comparison made.
    {u"X IN (1, NULL)", {{u"X", u"2"}}, kFilter, U},
    {u"X IN (1, NULL)", {{u"X", u"1"}}, kFilter, T},
    {u"X IN (NULL, 1)", {{u"X", u"1"}}, kFilter, T},
    {u"X IN (1, 2, 3)", {{u"X", u"4"}}, kFilter, F},
    {u"X NOT IN (1, NULL)", {{u"X", u"2"}}, kFilter, U},
    {u"X IN (A, B + 1)", {{u"X", u"4"}, {u"B", u"3"}}, kFilter, T},
    // LIKE, escape and HAS.
    {u"TELEP LIKE 'Buda%'", {{u"TELEP", u"budafok"}}, kFilter, T},
    {u"TELEP LIKE 'Bud_'", {{u"TELEP", u"Buda"}}, kFilter, T},
    {u"TELEP LIKE 'Bud_'", {{u"TELEP", u"Budapest"}}, kFilter, F},
    {u"TELEP LIKE '10!%' ESCAPE '!'", {{u"TELEP", u"10%"}}, kFilter, T},
    {u"TELEP LIKE '10!%' ESCAPE '!'", {{u"TELEP", u"100"}}, kFilter, F},
    {u"TELEP HAS 'pes'", {{u"TELEP", u"Budapest"}}, kFilter, T},
    {u"TELEP HAS 'PES'", {{u"TELEP", u"Budapest"}}, kFilter, F},
    {u"TELEP NOT HAS 'x'", {{u"TELEP", u"Budapest"}}, kFilter, T},
    // Partial comparison: on, the last "*" is a multi-character joker; off, it is itself.
    {u"TELEP = 'Buda*'", {{u"TELEP", u"Budapest"}}, kPartial, T},
    {u"TELEP = 'Buda*'", {{u"TELEP", u"budafok"}}, kPartial, T},
    {u"TELEP = 'Buda*'", {{u"TELEP", u"Óbuda"}}, kPartial, F},
    {u"TELEP = 'Buda*'", {{u"TELEP", u"Buda*"}}, kPartial, T},
    {u"TELEP = 'Buda*'", {{u"TELEP", u"Budapest"}}, kFilter, F},
    {u"TELEP = 'Buda*'", {{u"TELEP", u"Buda*"}}, kFilter, T},
    {u"NOT TELEP = 'Buda*'", {{u"TELEP", u"Budapest"}}, kPartial, F},
    {u"TELEP <> 'Buda*'", {{u"TELEP", u"Budapest"}}, kPartial, T},
    {u"TELEP = 'Buda*'", kNoValues, kPartial, F},
    // Booleans, dates, times and time stamps from literal texts.
    {u"OK = 'Ja'", {{u"OK", u"True"}}, kFilter, T},
    // A Char column meets a one-character literal as its own type.
    {u"CH = 'x'", {{u"CH", u"x"}}, kFilter, T},
    {u"CH <> 'x'", {{u"CH", u"y"}}, kFilter, T},
    {u"CH = 'x'", {}, kFilter, U},
    {u"CH = 'xy'", {{u"CH", u"x"}}, kFilter, 0, kTdbErrTypeMismatch},
    {u"OK = 'nein'", {{u"OK", u"True"}}, kFilter, F},
    {u"OK = 'FALSE'", {{u"OK", u"False"}}, kFilter, T},
    {u"OK = TRUE", {{u"OK", u"True"}}, kFilter, T},
    {u"D = '24.12.2020'", {{u"D", u"24.12.2020"}}, kFilter, T},
    {u"D = 24.12.2020", {{u"D", u"24.12.2020"}}, kFilter, T},
    {u"D < DATE '2021-01-01'", {{u"D", u"24.12.2020"}}, kFilter, T},
    {u"D > '12/24/2020'", {{u"D", u"24.12.2020"}}, kFilter, F},
    {u"TM = '10:30'", {{u"TM", u"10:30:00"}}, kFilter, T},
    {u"TM < 10:30:01", {{u"TM", u"10:30:00"}}, kFilter, T},
    {u"TS = '24.12.2020_18:00'", {{u"TS", u"24.12.2020_18:00:00.000"}}, kFilter, T},
    {u"F = '2,5'", {{u"F", u"2.5"}}, kFilter, T},
    {u"F = 2,5", {{u"F", u"2.5"}}, kFilter, T},
    {u"F > '2.25'", {{u"F", u"2.5"}}, kFilter, T},
    {u"E = 'Nem'", {{u"E", u"Nem"}}, kFilter, T},
    {u"E = 'igen'", {{u"E", u"Nem"}}, kFilter, F},
    {u"E = 2", {{u"E", u"Nem"}}, kFilter, T},
    {u"E IN ('Igen', 'Nem')", {{u"E", u"Igen"}}, kFilter, T},
    {u"G = '{0A1B2C3D-0000-1111-2222-333344445555}'",
     {{u"G", u"{0A1B2C3D-0000-1111-2222-333344445555}"}}, kFilter, T},
    // Arithmetic into the node's type.
    {u"A + B * 2 = 7", {{u"A", u"1"}, {u"B", u"3"}}, kFilter, T},
    {u"(A + B) * 2 = 8", {{u"A", u"1"}, {u"B", u"3"}}, kFilter, T},
    {u"A - B - 1 = -3", {{u"A", u"1"}, {u"B", u"3"}}, kFilter, T},
    {u"A / 2 = 0.5", {{u"A", u"1"}}, kFilter, T},
    {u"A + B = 1", {{u"A", u"1"}}, kFilter, U},
    {u"F * 2 = 5", {{u"F", u"2.5"}}, kFilter, T},
};

const TCase kConnectives[] = {
    // AND, OR, XOR over true, false and unknown (A = 1 true, A = 2 false, B = 1 unknown).
    {u"A = 1 AND A = 1", {{u"A", u"1"}}, kFilter, T},
    {u"A = 1 AND A = 2", {{u"A", u"1"}}, kFilter, F},
    {u"A = 1 AND B = 1", {{u"A", u"1"}}, kFilter, U},
    {u"A = 2 AND B = 1", {{u"A", u"1"}}, kFilter, F},
    {u"B = 1 AND A = 2", {{u"A", u"1"}}, kFilter, F},
    {u"B = 1 AND A = 1", {{u"A", u"1"}}, kFilter, U},
    {u"B = 1 AND B = 1", {{u"A", u"1"}}, kFilter, U},
    {u"A = 1 OR A = 2", {{u"A", u"1"}}, kFilter, T},
    {u"A = 2 OR A = 2", {{u"A", u"1"}}, kFilter, F},
    {u"A = 1 OR B = 1", {{u"A", u"1"}}, kFilter, T},
    {u"B = 1 OR A = 1", {{u"A", u"1"}}, kFilter, T},
    {u"A = 2 OR B = 1", {{u"A", u"1"}}, kFilter, U},
    {u"B = 1 OR A = 2", {{u"A", u"1"}}, kFilter, U},
    {u"A = 1 XOR A = 1", {{u"A", u"1"}}, kFilter, F},
    {u"A = 1 XOR A = 2", {{u"A", u"1"}}, kFilter, T},
    {u"A = 2 XOR A = 1", {{u"A", u"1"}}, kFilter, T},
    {u"A = 2 XOR A = 2", {{u"A", u"1"}}, kFilter, F},
    {u"A = 1 XOR B = 1", {{u"A", u"1"}}, kFilter, U},
    {u"B = 1 XOR A = 2", {{u"A", u"1"}}, kFilter, U},
    {u"A = 1 XOR A = 1 XOR A = 1", {{u"A", u"1"}}, kFilter, T},
    {u"NOT B = 1 OR A = 2", {{u"A", u"1"}}, kFilter, U},
    {u"NOT (A = 1 AND B = 1)", {{u"A", u"1"}}, kFilter, U},
    {u"NOT (A = 2 AND B = 1)", {{u"A", u"1"}}, kFilter, T},
    {u"NOT (NOT (A = 1))", {{u"A", u"1"}}, kFilter, T},
    {u"((A = 1))", {{u"A", u"1"}}, kFilter, T},
    // Precedence: AND before XOR before OR.
    {u"A = 1 OR A = 2 AND A = 3", {{u"A", u"1"}}, kFilter, T},
    {u"(A = 1 OR A = 2) AND A = 3", {{u"A", u"1"}}, kFilter, F},
    {u"A = 1 XOR A = 1 OR A = 1", {{u"A", u"1"}}, kFilter, T},
    {u"A = 1 XOR A = 1 AND A = 2", {{u"A", u"1"}}, kFilter, T},
    {u"A = 2 OR A = 1 XOR A = 1", {{u"A", u"1"}}, kFilter, F},
    // Equality that holds for two NULLs, in its written variants.
    {u"A = B OR (A IS NULL AND B IS NULL)", kBothNull, kFilter, T},
    {u"A = B OR (B IS NULL AND A IS NULL)", kBothNull, kFilter, T},
    {u"NOT A <> B OR (A IS NULL AND B IS NULL)", kBothNull, kFilter, T},
    {u"(A IS NULL AND B IS NULL) OR A = B", kBothNull, kFilter, T},
    {u"A = B OR (A IS NULL AND B IS NULL)", {{u"A", u"1"}}, kFilter, U},
    {u"A = B OR (A IS NULL AND B IS NULL)", {{u"A", u"1"}, {u"B", u"1"}}, kFilter, T},
    {u"A = B OR (A IS NULL AND B IS NULL)", {{u"A", u"1"}, {u"B", u"2"}}, kFilter, F},
    {u"A = B", kBothNull, kFilter, U},
    // Merged or not, one NULL leaves the equality unknown, so NOT cannot make it pass.
    {u"NOT (A = B OR (A IS NULL AND B IS NULL))", {{u"A", u"1"}}, kFilter, U},
    {u"NOT (A = B OR (A IS NULL AND B IS NULL))", kBothNull, kFilter, F},
    {u"NOT (A = B OR (A IS NULL AND B IS NULL))", {{u"A", u"1"}, {u"B", u"2"}}, kFilter, T},
};

const TCase kErrors[] = {
    {u"A = ", kNoValues, kFilter, 0, kTdbErrSyntax},
    {u"A = 1 B", kNoValues, kFilter, 0, kTdbErrSyntax},
    {u"(A = 1", kNoValues, kFilter, 0, kTdbErrSyntax},
    {u"NOPE = 1", kNoValues, kFilter, 0, kTdbErrUnknownIdentifier},
    {u"U.A = 1", kNoValues, kFilter, 0, kTdbErrUnknownIdentifier},
    {u"A = 1 OR NOPE IS NULL", kNoValues, kFilter, 0, kTdbErrUnknownIdentifier},
    {u"A = 'x'", kNoValues, kFilter, 0, kTdbErrInvalidNumber},
    {u"A = 1.5", kNoValues, kFilter, 0, kTdbErrInvalidNumber},
    {u"F = 'zwei'", kNoValues, kFilter, 0, kTdbErrInvalidNumber},
    {u"F = '2,5'", kNoValues, kConditionFilter, 0, kTdbErrInvalidNumber},
    {u"OK = 'vielleicht'", kNoValues, kFilter, 0, kTdbErrTypeMismatch},
    {u"E = 'Talán'", kNoValues, kFilter, 0, kTdbErrUnknownIdentifier},
    {u"E = 3", kNoValues, kFilter, 0, kTdbErrUnknownIdentifier},
    {u"G = '0A1B2C3D'", kNoValues, kFilter, 0, kTdbErrInvalidNumber},
    {u"D = '31.02.2020'", kNoValues, kFilter, 0, 137},
    {u"TM = '25:99'", kNoValues, kFilter, 0, 140},
    {u"TS = 'gestern'", kNoValues, kFilter, 0, kTdbErrInvalidTimestamp},
    {u"A = TELEP", kNoValues, kFilter, 0, kTdbErrTypeMismatch},
    {u"A BETWEEN TELEP AND 5", kNoValues, kFilter, 0, kTdbErrTypeMismatch},
    {u"A IN (1, TELEP)", kNoValues, kFilter, 0, kTdbErrTypeMismatch},
    {u"A LIKE '1%'", kNoValues, kFilter, 0, kTdbErrTypeMismatch},
    {u"TELEP LIKE A", kNoValues, kFilter, 0, kTdbErrTypeMismatch},
    {u"TELEP HAS A", kNoValues, kFilter, 0, kTdbErrTypeMismatch},
    {u"TELEP HAS 1", {{u"TELEP", u"X1"}}, kFilter, T},
    {u"A + TELEP = 1", kNoValues, kFilter, 0, kTdbErrTypeMismatch},
    {u"-TELEP = 'x'", kNoValues, kFilter, 0, kTdbErrTypeMismatch},
    {u"OK = D", kNoValues, kFilter, 0, kTdbErrTypeMismatch},
    // Overflow while computing names the node.
    {u"A * 2147483647 * 2147483647 * 4 > 0", {{u"A", u"2"}}, kFilter, 0, 43},
    {u"SUM(A) = 1", kNoValues, kFilter, 0, kTdbErrNotSupported},
    {u"A = :P", kNoValues, kFilter, 0, kTdbErrUnknownIdentifier},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Predicates, ConditionCases, testing::ValuesIn(kPredicates));
INSTANTIATE_TEST_SUITE_P(Connectives, ConditionCases, testing::ValuesIn(kConnectives));
INSTANTIATE_TEST_SUITE_P(Errors, ConditionCases, testing::ValuesIn(kErrors));

TEST(SqlCondition, SyntaxErrorCarriesTheParsersMessage) {
    TMemoryContext context;
    AddColumns(context);
    TTdbSqlCondition condition(u"A = = 1");
    try {
        condition.Prepare(context, kFilter);
        FAIL() << "no error";
    } catch (const ETdbEngine& error) {
        EXPECT_EQ(error.Code(), kTdbErrSyntax);
        EXPECT_NE(Narrow(error.Message()).find("Syntax error in expression \""), std::string::npos);
        EXPECT_GT(error.Message().size(),
                  std::u16string(u"Syntax error in expression \"\"").size());
    }
    EXPECT_FALSE(condition.IsPrepared());
}

TEST(SqlCondition, WithoutTextEveryRecordPassesAndUnpreparedTextIsAnError) {
    TMemoryContext context;
    AddColumns(context);
    TTdbSqlCondition empty;
    empty.Prepare(context, kFilter);
    EXPECT_EQ(empty.Evaluate(), kConditionTrue);

    TTdbSqlCondition condition(u"A = 1");
    try {
        condition.Evaluate();
        FAIL() << "no error";
    } catch (const ETdbEngine& error) {
        EXPECT_EQ(error.Code(), 7);
    }
    condition.Prepare(context, kFilter);
    context.SetValue(u"A", u"1");
    EXPECT_EQ(condition.Evaluate(), kConditionTrue);
    condition.Unprepare();
    EXPECT_THROW(condition.Evaluate(), ETdbEngine);
}

// One prepared condition follows the record as it changes, reading each column once.
TEST(SqlCondition, EvaluatesTheCurrentRecordEachTime) {
    TMemoryContext context;
    AddColumns(context);
    TTdbSqlCondition condition(u"IRSZ >= '1000' AND TELEP LIKE 'Buda%'");
    condition.Prepare(context, kPartial);
    const struct {
        std::optional<std::u16string> Irsz, Telep;
        int Expected;
    } records[] = {
        {u"1011", u"Budapest", kConditionTrue},   {u"0999", u"Budapest", kConditionFalse},
        {u"1011", u"Szeged", kConditionFalse},    {std::nullopt, u"Budafok", kConditionUnknown},
        {u"0999", std::nullopt, kConditionFalse},
    };
    for (const auto& record : records) {
        context.SetValue(u"IRSZ", record.Irsz);
        context.SetValue(u"TELEP", record.Telep);
        EXPECT_EQ(condition.Evaluate(), record.Expected);
    }
    EXPECT_EQ(context.ReadCount(), 8);  // the false IRSZ stops the AND twice
}

// The locale's date form is tried first with local formats, and only then.
TEST(SqlCondition, LocalFormatsReadDatesByTheLocaleFirst) {
    TMemoryContext context;
    AddColumns(context);
    context.UseYearFirstDates();
    context.SetValue(u"D", u"24.12.2020");
    const struct {
        std::u16string Text;
        std::uint8_t Options;
        int Expected;  // negative: that engine error
    } cases[] = {
        {u"D = '2020.12.24.'", kFilter, kConditionTrue},
        {u"D = '24.12.2020'", kFilter, kConditionTrue},
        {u"D = '2020.12.24.'", kConditionFilter, -137},
        {u"D = '2020.02.30.'", kFilter, -137},
    };
    for (const auto& c : cases) {
        TTdbSqlCondition condition(c.Text);
        int result = 0;
        try {
            condition.Prepare(context, c.Options);
            result = condition.Evaluate();
        } catch (const ETdbEngine& error) {
            result = -error.Code();
        }
        EXPECT_EQ(result, c.Expected) << Narrow(c.Text);
    }
}

TEST(SqlCondition, SqlTextShowsTheRewrites) {
    TMemoryContext context;
    AddColumns(context);
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"TELEP = 'Buda*'", u"TELEP LIKE 'Buda%'"},
        {u"((A = 1))", u"A = 1"},
        {u"NOT (NOT (A = 1))", u"A = 1"},
        {u"NOT (A = 1)", u"NOT A = 1"},
        {u"A = B OR (A IS NULL AND B IS NULL)", u"(A = B OR A IS NULL AND B IS NULL)"},
    };
    for (const auto& [text, expected] : cases) {
        TTdbSqlCondition condition(text);
        condition.Prepare(context, kPartial);
        const std::u16string sql = condition.GetSqlText();
        EXPECT_EQ(sql, expected) << Narrow(sql);
    }
}

}  // namespace
}  // namespace tdb
