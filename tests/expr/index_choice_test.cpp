// Choosing an index for a static filter: each row prepares a condition against a
// small table with some open indexes and expects the ratings, the chosen index and
// the bound values of its range.
#include "expr/index_choice.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "condition_cases.h"
#include "expr/sql_condition.h"
#include "memory_context.h"
#include "types/sort_def.h"

namespace tdb {
namespace {

using namespace condition_cases;

constexpr std::uint8_t kPartial = kFilter | kConditionPartialCompare;
constexpr std::int32_t kTempIndexNo = 99;

// A value as the table rows write it: a lower prefix bound as "P*lo", an upper one as
// "P*hi", NULL as "NULL".
std::string Show(const TTdbDataType* type, const TTdbDataValue& value) {
    if (type->IsNull(value)) {
        return "NULL";
    }
    std::string text = Narrow(type->ConvertToString(value));
    if (text.size() >= 2 && text.ends_with(std::string(2, '\0'))) {
        return text.substr(0, text.size() - 2) + "*lo";
    }
    if (!text.empty() && text.back() == '\0') {
        return text.substr(0, text.size() - 1) + "*hi";
    }
    return text;
}

// Columns 1 IRSZ, 2 TELEP, 3 TELK, 4 A, 5 M; indexes described as column names, a
// "-" in front for a descending component.
class TIndexedContext : public TMemoryContext {
public:
    TIndexedContext() {
        AddColumn(u"IRSZ", TTdbDataType::GetStringType(ctString, true, 4, u""));
        AddColumn(u"TELEP", TTdbDataType::GetStringType(ctString, true, 40, u"Hungarian"));
        AddColumn(u"TELK", TTdbDataType::GetDataType(ctInteger, true));
        AddColumn(u"A", TTdbDataType::GetDataType(ctSmallInt, true));
        AddColumn(u"M", TTdbDataType::GetStringType(ctMemo, true, kUnboundedLength, u""));
    }

    void AddIndex(const std::vector<std::u16string>& components) {
        TTdbSortDef& definition = FIndexes.emplace_back();
        for (const std::u16string& component : components) {
            const bool descending = component.front() == u'-';
            TTdbColumnHandle handle;
            FindColumn({}, descending ? component.substr(1) : component, handle);
            definition.AddItem(static_cast<std::int16_t>(handle.ColumnNo),
                               static_cast<std::uint8_t>(handle.DataType->GetColumnType()),
                               static_cast<std::int16_t>(handle.DataType->GetDataSize()),
                               descending);
        }
    }

    std::vector<TTdbOpenIndex> GetOpenIndexes(std::int32_t tableNo) override {
        std::vector<TTdbOpenIndex> open;
        if (tableNo == 0) {
            for (std::size_t i = 0; i < FIndexes.size(); ++i) {
                open.push_back({static_cast<std::int32_t>(i), &FIndexes[i]});
            }
        }
        return open;
    }

    std::int32_t CreateTempIndex(std::int32_t, const TTdbSortDef& definition) override {
        if (!AllowTemp) {
            return -1;
        }
        TempDefinition = definition;
        return kTempIndexNo;
    }

    // The bytes stand for what the engine would build: the index, the values and the
    // record number.
    void BuildBoundEntry(std::int32_t, std::int32_t indexNo, std::span<const TTdbDataValue> values,
                         bool upper, std::vector<std::byte>& entry) override {
        std::string text = std::to_string(indexNo) + ":" + std::to_string(values.size()) + "#" +
                           (upper ? "2147483647" : "1");
        entry.clear();
        for (char c : text) {
            entry.push_back(static_cast<std::byte>(c));
        }
    }

    bool AllowTemp = false;
    TTdbSortDef TempDefinition;

private:
    std::vector<TTdbSortDef> FIndexes;
};

std::string ShowRatings(const TTdbIndexChoice& choice) {
    static const char* const kNames[] = {"", "IRSZ", "TELEP", "TELK", "A", "M"};
    std::string out;
    for (const TTdbIndexRating& rating : choice.Ratings) {
        out += (out.empty() ? "" : " ") + std::string(kNames[rating.ColumnNo]) + ":" +
               std::to_string(rating.Rating);
    }
    return out;
}

std::string ShowBounds(const std::vector<TTdbDataValue>& values,
                       const std::vector<const TTdbDataType*>& types) {
    std::string out;
    for (std::size_t i = 0; i < values.size(); ++i) {
        out += (i == 0 ? "" : "|") + Show(types[i], values[i]);
    }
    return out;
}

struct TCase {
    std::u16string Condition;
    std::vector<std::vector<std::u16string>> Indexes;
    bool AllowTemp;
    std::string Ratings;  // column:rating, highest first
    std::int32_t IndexNo;
    bool Reverse;
    std::string Lower;  // component values joined by "|"
    std::string Upper;
    std::uint8_t Options = kFilter;
};

void PrintTo(const TCase& c, std::ostream* os) {
    *os << Narrow(c.Condition);
}

class IndexChoice : public ::testing::TestWithParam<TCase> {};

TEST_P(IndexChoice, RatesChoosesAndBounds) {
    const TCase& c = GetParam();
    TIndexedContext context;
    for (const auto& index : c.Indexes) {
        context.AddIndex(index);
    }
    context.AllowTemp = c.AllowTemp;
    TTdbSqlCondition condition(c.Condition);
    condition.Prepare(context, c.Options);
    std::vector<std::byte> lower;
    std::vector<std::byte> upper;
    TTdbIndexChoice choice;
    const std::int32_t indexNo = condition.FindBestIndexAndBounds(0, lower, upper, &choice);

    EXPECT_EQ(ShowRatings(choice), c.Ratings);
    EXPECT_EQ(indexNo, c.IndexNo);
    EXPECT_EQ(choice.IndexNo, c.IndexNo);
    if (c.IndexNo < 0) {
        EXPECT_TRUE(lower.empty());
        EXPECT_TRUE(upper.empty());
        return;
    }
    EXPECT_EQ(choice.Reverse, c.Reverse);
    EXPECT_EQ(choice.Temporary, c.IndexNo == kTempIndexNo);
    EXPECT_EQ(ShowBounds(choice.LowerValues, choice.BoundTypes), c.Lower);
    EXPECT_EQ(ShowBounds(choice.UpperValues, choice.BoundTypes), c.Upper);
    const std::string prefix =
        std::to_string(c.IndexNo) + ":" + std::to_string(choice.LowerValues.size()) + "#";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(lower.data()), lower.size()), prefix + "1");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(upper.data()), upper.size()),
              prefix + "2147483647");
}

const TCase kCases[] = {
    // The TELEP index serves the prefix range; IRSZ alone scores 200 of 400.
    {u"IRSZ >= '1000' AND TELEP LIKE 'Buda%'",
     {{u"IRSZ"}, {u"TELEP"}},
     false,
     "TELEP:3 IRSZ:2",
     1,
     false,
     "Buda*lo",
     "Buda*hi"},
    {u"TELEP = 'Buda*'", {{u"TELEP"}}, false, "TELEP:3", 0, false, "Buda*lo", "Buda*hi", kPartial},
    {u"TELEP = 'Buda*'", {{u"TELEP"}}, false, "TELEP:4", 0, false, "Buda*", "Buda*"},
    // No index for alternatives.
    {u"TELEP = 'Buda' OR TELK = 1", {{u"TELEP"}, {u"TELK"}}, true, "", -1, false, "", ""},
    {u"TELEP = 'Buda' XOR TELK = 1", {{u"TELEP"}, {u"TELK"}}, true, "", -1, false, "", ""},
    // NOT flips what it can; a ">" range keeps its end, the record check drops it.
    {u"NOT TELK < 5", {{u"TELK"}}, false, "TELK:2", 0, false, "5", "2147483647"},
    {u"NOT TELK >= 5", {{u"TELK"}}, false, "TELK:1", 0, false, "NULL", "5"},
    {u"NOT TELK <> 5", {{u"TELK"}}, false, "TELK:4", 0, false, "5", "5"},
    {u"NOT TELK = 5", {{u"TELK"}}, true, "", -1, false, "", ""},
    {u"NOT TELEP LIKE 'Buda%'", {{u"TELEP"}}, true, "", -1, false, "", ""},
    // BETWEEN; negated it is no range.
    {u"TELK BETWEEN 3 AND 8", {{u"TELK"}}, false, "TELK:3", 0, false, "3", "8"},
    {u"NOT TELK BETWEEN 3 AND 8", {{u"TELK"}}, true, "", -1, false, "", ""},
    // The column on the right mirrors the operator.
    {u"5 < TELK", {{u"TELK"}}, false, "TELK:1", 0, false, "5", "2147483647"},
    {u"'Buda' = TELEP", {{u"TELEP"}}, false, "TELEP:4", 0, false, "Buda", "Buda"},
    {u"2 + 3 >= TELK", {{u"TELK"}}, false, "TELK:2", 0, false, "NULL", "5"},
    // The other side of a one-sided range closes it; otherwise the higher rating wins.
    {u"TELK > 2 AND TELK <= 9", {{u"TELK"}}, false, "TELK:3", 0, false, "2", "9"},
    {u"9 >= TELK AND 2 < TELK", {{u"TELK"}}, false, "TELK:3", 0, false, "2", "9"},
    {u"TELK >= 2 AND TELK = 5", {{u"TELK"}}, false, "TELK:4", 0, false, "5", "5"},
    {u"TELK = 5 AND TELK >= 2", {{u"TELK"}}, false, "TELK:4", 0, false, "5", "5"},
    {u"TELK > 2 AND TELK >= 4", {{u"TELK"}}, false, "TELK:2", 0, false, "4", "2147483647"},
    {u"(TELK > 2 AND A = 1) AND TELK < 7", {{u"TELK"}}, false, "A:4 TELK:3", 0, false, "2", "7"},
    // Descending components: first one reverses and swaps its bounds, a later one of a
    // forward index makes it useless.
    {u"TELK BETWEEN 3 AND 8", {{u"-TELK"}}, false, "TELK:3", 0, true, "8", "3"},
    {u"TELEP = 'Pécs' AND TELK = 5",
     {{u"TELEP", u"-TELK"}},
     false,
     "TELEP:4 TELK:4",
     -1,
     false,
     "",
     ""},
    {u"TELEP = 'Pécs' AND TELK > 5",
     {{u"-TELEP", u"TELK"}},
     false,
     "TELEP:4 TELK:1",
     0,
     true,
     "P?cs|5",
     "P?cs|2147483647"},
    // Half of the ideal score: 400 + 100 ideal; TELK alone 100 does not qualify,
    // TELEP alone 400 does, and the first of equal scores is taken.
    {u"TELEP LIKE 'B%' AND TELK <= 3", {{u"TELK"}}, false, "TELEP:3 TELK:2", -1, false, "", ""},
    {u"TELEP = 'Ág' AND TELK < 3",
     {{u"TELK"}, {u"TELEP"}, {u"TELEP", u"IRSZ"}},
     false,
     "TELEP:4 TELK:1",
     1,
     false,
     "?g",
     "?g"},
    {u"TELEP = 'Ág' AND TELK < 3",
     {{u"TELK"}, {u"TELEP", u"TELK"}},
     false,
     "TELEP:4 TELK:1",
     1,
     false,
     "?g|NULL",
     "?g|3"},
    // Without a qualifying index a temporary one of the ideal definition, when allowed.
    {u"TELEP LIKE 'B%' AND TELK <= 3",
     {{u"TELK"}},
     true,
     "TELEP:3 TELK:2",
     kTempIndexNo,
     false,
     "B*lo|NULL",
     "B*hi|3"},
    {u"TELK = 1", {}, false, "TELK:4", -1, false, "", ""},
    // LIKE: the escape character is left out of the prefix; "_" leaves the prefix empty
    // and the range whole; "%" gives no rating.
    {u"TELEP LIKE 'a!%b!_c%' ESCAPE '!'",
     {{u"TELEP"}},
     false,
     "TELEP:3",
     0,
     false,
     "a%b_c*lo",
     "a%b_c*hi"},
    {u"TELEP LIKE '_uda%'", {{u"TELEP"}}, false, "TELEP:3", 0, false, "", "*hi"},
    {u"TELEP LIKE '%uda'", {{u"TELEP"}}, true, "", -1, false, "", ""},
    // Two columns of the filtered table give no bound; neither does a Memo make an index.
    {u"TELK = A", {{u"TELK"}, {u"A"}}, true, "", -1, false, "", ""},
    {u"M = 'x'", {}, true, "M:4", -1, false, "", ""},
    // A bound beyond the column's range is cut to the range, not wrapped into it.
    {u"A <= 100000 AND A >= -100000", {{u"A"}}, false, "A:3", 0, false, "-32768", "32767"},
};

INSTANTIATE_TEST_SUITE_P(Conditions, IndexChoice, ::testing::ValuesIn(kCases));

TEST(IndexChoice, TemporaryIndexHasTheIdealDefinition) {
    TIndexedContext context;
    context.AllowTemp = true;
    TTdbSqlCondition condition(u"A = 1 AND TELK >= 2 AND TELEP LIKE 'x%'");
    condition.Prepare(context, kFilter);
    std::vector<std::byte> lower;
    std::vector<std::byte> upper;
    TTdbIndexChoice choice;
    ASSERT_EQ(condition.FindBestIndexAndBounds(0, lower, upper, &choice), kTempIndexNo);
    ASSERT_EQ(context.TempDefinition.LevelCount, 2);
    EXPECT_EQ(context.TempDefinition.Items[0].ColumnNo, 4);  // A: 4
    EXPECT_EQ(context.TempDefinition.Items[1].ColumnNo, 2);  // TELEP: 3
    EXPECT_EQ(context.TempDefinition.Items[1].ColumnType, ctString);
    EXPECT_EQ(choice.IdealScore, 4 * 100 + 3 * 50);
}

// The range of a LIKE holds every value it matches, also those that differ from the
// prefix only by accents and sort below it («Öcs» for 'Őcs%').
TEST(IndexChoice, LikeRangeHoldsAccentVariantsOfThePrefix) {
    TIndexedContext context;
    context.AddIndex({u"TELEP"});
    TTdbSqlCondition condition(u"TELEP LIKE 'Őcs%'");
    condition.Prepare(context, kFilter);
    std::vector<std::byte> lower;
    std::vector<std::byte> upper;
    TTdbIndexChoice choice;
    ASSERT_EQ(condition.FindBestIndexAndBounds(0, lower, upper, &choice), 0);
    const TTdbDataType* type = choice.BoundTypes.at(0);
    for (std::u16string_view name : {u"Öcs", u"Őcsény", u"öcsöd"}) {
        context.SetValue(u"TELEP", name);
        ASSERT_TRUE(condition.IsTrue()) << Narrow(name);
        TTdbDataValue value;
        type->SetWideString(value, name);
        EXPECT_EQ(TTdbDataType::Compare(value, choice.LowerValues[0], type, type), kCompareGreater)
            << Narrow(name);
        EXPECT_EQ(TTdbDataType::Compare(value, choice.UpperValues[0], type, type), kCompareLess)
            << Narrow(name);
    }
}

TEST(IndexChoice, UnpreparedOrEmptyConditionUsesNoIndex) {
    TIndexedContext context;
    context.AddIndex({u"TELK"});
    std::vector<std::byte> lower{std::byte{1}};
    std::vector<std::byte> upper{std::byte{1}};
    TTdbSqlCondition unprepared(u"TELK = 1");
    EXPECT_LT(unprepared.FindBestIndexAndBounds(0, lower, upper), 0);
    EXPECT_TRUE(lower.empty());
    TTdbSqlCondition empty;
    empty.Prepare(context, kFilter);
    EXPECT_LT(empty.FindBestIndexAndBounds(0, lower, upper), 0);
}

TEST(IndexChoice, LikePatternPrefix) {
    struct TPrefixCase {
        std::u16string_view Pattern;
        char16_t Escape;
        std::u16string_view Prefix;
    };
    const TPrefixCase cases[] = {
        {u"Buda%", 0, u"Buda"},   {u"Bu_a%", 0, u"Bu"},
        {u"%x", 0, u""},          {u"a!%b%", u'!', u"a%b"},
        {u"a!!b%", u'!', u"a!b"}, {u"ab!", u'!', u"ab!"},
        {u"a!%b%", 0, u"a!"},     {u"", 0, u""},
        {u"plain", 0, u"plain"},
    };
    for (const TPrefixCase& c : cases) {
        EXPECT_EQ(LikePatternPrefix(c.Pattern, c.Escape), c.Prefix) << Narrow(c.Pattern);
    }
}

}  // namespace
}  // namespace tdb
