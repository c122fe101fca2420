// Checking index definitions: every reason a definition is refused, and the message it gives.
#include "index/index_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../types/table_def_fakes.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "build_test_support.h"
#include "index/index_text.h"
#include "platform/text.h"

namespace tdb {
namespace {

using testing::MakeColumns;

struct TItem {
    std::int16_t columnNo;
    std::uint8_t type;
    std::int16_t size;
    bool descending = false;
};

TTdbSortDef Components(std::int16_t level, std::initializer_list<TItem> items,
                       bool varSize = false) {
    TTdbSortDef def(u"I");
    for (const TItem& item : items) {
        def.AddItem(item.columnNo, item.type, item.size, item.descending);
    }
    def.IsVarSize = varSize;
    def.UpdateSize(level);
    return def;
}

// The engine error (code and message) a check raises; 0 and empty when it accepts.
std::pair<std::int16_t, std::string> Check(const TTdbSortDef& def, const TTdbColumnDefs& columns,
                                           std::int16_t level) {
    try {
        CheckIndexDefinition(def, columns, level);
    } catch (const ETdbEngine& e) {
        return {e.Code(), ToUtf8(e.Message())};
    }
    return {0, {}};
}

std::pair<std::int16_t, std::string> Expected(std::int16_t code, const TdbFormatArgs& args) {
    return {code, ToUtf8(EngineErrorMessage(code, args))};
}

TEST(IndexCheckTest, ComponentsMustMatchIndexableColumns) {
    const TTdbColumnDefs columns = MakeColumns(6);
    struct Case {
        const char* what;
        TTdbSortDef def;
        std::pair<std::int16_t, std::string> expected;
    };
    const std::pair<std::int16_t, std::string> accepted{0, {}};
    const Case cases[] = {
        {"whole columns", Components(6, {{2, ctWideString, 79}, {3, ctInteger, 4, true}}, true),
         accepted},
        {"shortened strings", Components(6, {{2, ctWideString, 6}, {4, ctString, 2}}, true),
         accepted},
        {"link component", Components(6, {{3, kTdbLinkComponentType, 4}}), accepted},
        {"no components", Components(6, {}), Expected(98, {u"I"})},
        {"column 0", Components(6, {{3, ctInteger, 4}, {0, ctInteger, 4}}),
         Expected(98, {u"Level 2"})},
        {"beyond the columns", Components(6, {{7, ctInteger, 4}}), Expected(98, {u"Level 1"})},
        {"memo", Components(6, {{5, ctMemo, 4}}), Expected(98, {u"M"})},
        {"other type", Components(6, {{3, ctString, 4}}), Expected(98, {u"N"})},
        {"integer shortened", Components(6, {{3, ctInteger, 2}}), Expected(98, {u"N"})},
        {"string longer than its column", Components(6, {{4, ctString, 22}}), Expected(98, {u"S"})},
        {"empty string component", Components(6, {{4, ctString, 0}}), Expected(98, {u"S"})},
        {"link of 8 bytes", Components(6, {{3, kTdbLinkComponentType, 8}}), Expected(98, {u"N"})},
        // The first failing component ends the check.
        {"two bad components", Components(6, {{3, ctInteger, 4}, {5, ctMemo, 4}, {9, 0, 1}}),
         Expected(98, {u"M"})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Check(c.def, columns, 6), c.expected) << c.what;
    }
}

TEST(IndexCheckTest, ParsedSpecificationsAreCheckedAgainstTheirColumns) {
    for (std::int16_t level : {3, 5, 6}) {
        const TTdbColumnDefs columns = MakeColumns(level);
        SCOPED_TRACE(level);
        EXPECT_EQ(Check(ParseIndexSpecification(u"I", u"IRSZ, -N, S:5", columns, level, true),
                        columns, level)
                      .first,
                  0);
        EXPECT_EQ(
            Check(ParseIndexSpecification(u"I", u"N, M", columns, level, false), columns, level),
            Expected(98, {u"M"}));
    }
}

TEST(IndexCheckTest, VariableSizeKeysNeedLevelSix) {
    const TTdbSortDef def = Components(5, {{2, ctWideString, 79}}, true);
    EXPECT_EQ(Check(def, MakeColumns(5), 5), Expected(117, {u"I", u"Variable size"}));
    EXPECT_EQ(Check(def, MakeColumns(6), 6).first, 0);
}

TEST(IndexCheckTest, EntrySizeStaysWithinTheLevelsLimit) {
    for (std::int16_t level : {3, 4, 6}) {
        TTdbColumnDefs columns;
        columns.Add(TTdbColumnDef::CreateStringColumnDef(
            u"Long", TTdbDataType::GetStringType(ctString, false, 506, u"", level), 0, u""));
        if (level >= 4) {
            columns.Add(TTdbColumnDef::CreateStringColumnDef(
                u"W", TTdbDataType::GetStringType(ctWideString, false, 16000, u"", level), 0, u""));
        }
        SCOPED_TRACE(level);
        // 4 + 508 fits everywhere; one byte more only from level 4 on.
        EXPECT_EQ(Check(Components(level, {{1, ctString, 508}}), columns, level).first, 0);
        const TTdbSortDef bigger = Components(level, {{1, ctString, 508}, {1, ctString, 2}});
        EXPECT_EQ(Check(bigger, columns, level),
                  level < 4 ? Expected(11, {u"Long, Long:1"})
                            : std::make_pair(std::int16_t{0}, std::string{}));
        if (level >= 4) {
            EXPECT_EQ(Check(Components(level, {{2, ctWideString, 32002}}), columns, level).first,
                      0);
            EXPECT_EQ(Check(Components(level, {{2, ctWideString, 32002}, {2, ctWideString, 32002}}),
                            columns, level),
                      Expected(11, {u"W, W"}));
        }
    }
}

TEST(IndexCheckTest, TooManyComponentsForTheLevel) {
    TTdbSortDef def(u"I");
    for (int i = 0; i < 11; ++i) {
        def.AddItem(3, ctInteger, 4);
    }
    def.UpdateSize(3);
    EXPECT_EQ(Check(def, MakeColumns(3), 3).first, kTdbErrTooManyLevels);
    EXPECT_EQ(Check(def, MakeColumns(4), 4).first, 0);
}

TEST(IndexCheckTest, ExpressionKeysMustMatchTheirCompiledExpression) {
    const TTdbColumnDefs columns = MakeColumns(6);
    const TTdbDataType* result = TTdbDataType::GetStringType(ctWideString, true, 20, u"", 6);
    const auto calculated = [&] {
        return TTdbSortDef(
            u"Up", std::make_unique<deftest::FakeCalculation>(u"Upper(TELEP)", tesTablePL, result),
            false);
    };
    EXPECT_EQ(Check(calculated(), columns, 6).first, 0);

    TTdbSortDef uncompiled(u"Up", u"@Upper(TELEP)", false, true);
    EXPECT_EQ(Check(uncompiled, columns, 6), Expected(98, {u"Up"}));
    TTdbSortDef wrongSize = calculated();
    wrongSize.Items[0].Size = 10;
    EXPECT_EQ(Check(wrongSize, columns, 6), Expected(98, {u"Up"}));
    TTdbSortDef wrongType = calculated();
    wrongType.Items[0].ColumnType = ctString;
    EXPECT_EQ(Check(wrongType, columns, 6), Expected(98, {u"Up"}));
    TTdbSortDef withColumn = calculated();
    withColumn.Items[0].ColumnNo = 2;
    EXPECT_EQ(Check(withColumn, columns, 6), Expected(98, {u"Up"}));
}

}  // namespace
}  // namespace tdb
