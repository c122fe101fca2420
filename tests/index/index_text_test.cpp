// Index specification texts: what they resolve to, that a definition's own text reads back as
// the same definition, and the texts that are refused.
#include "index/index_text.h"

#include <gtest/gtest.h>

#include <string>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "build_test_support.h"
#include "engine_code.h"
#include "platform/text.h"
#include "types/column_def.h"
#include "types/data_type.h"

namespace tdb {
namespace {

using testing::EngineCode;
using testing::MakeColumns;

std::string Narrow(std::u16string_view text) {
    return ToUtf8(std::u16string(text));
}

TEST(IndexSpecTest, ComponentsTakeTypeAndSizeFromTheirColumns) {
    const TTdbColumnDefs columns = MakeColumns(6);
    const TTdbSortDef def =
        ParseIndexSpecification(u"ByPlace", u" telep : 10 , - $3,${S}", columns, 6, true);
    EXPECT_EQ(def.GetName(), u"ByPlace");
    EXPECT_TRUE(def.IsUnique);
    EXPECT_FALSE(def.IsCalculated);
    ASSERT_EQ(def.LevelCount, 3);
    EXPECT_EQ(def.Items[0], (TTdbSortItem{ctWideString, 2, 22, false}));
    EXPECT_EQ(def.Items[1], (TTdbSortItem{ctInteger, 3, 4, true}));
    EXPECT_EQ(def.Items[2], (TTdbSortItem{ctString, 4, 21, false}));
    EXPECT_TRUE(def.IsVarSize);  // string components from level 6 on
    EXPECT_EQ(def.GetSize(), 4 + 22 + 4 + 21);

    // The length a whole nullable WideString column writes of itself means that column.
    EXPECT_EQ(ParseIndexSpecification(u"I", u"TELEP:38", columns, 6, false).Items[0].Size, 79);
    EXPECT_EQ(ParseIndexSpecification(u"I", u"TELEP:37", columns, 6, false).Items[0].Size, 76);

    const TTdbColumnDefs oldColumns = MakeColumns(5);
    const TTdbSortDef fixed = ParseIndexSpecification(u"I", u"N, S", oldColumns, 5, false);
    EXPECT_FALSE(fixed.IsVarSize);
    EXPECT_FALSE(fixed.IsUnique);
    EXPECT_EQ(fixed.GetSize(), 4 + 4 + 21);

    const TTdbSortDef calculated =
        ParseIndexSpecification(u"Up", u" (@Upper(TELEP)) ", columns, 6, false);
    EXPECT_TRUE(calculated.IsCalculated);
    EXPECT_EQ(calculated.LevelCount, 1);
    EXPECT_EQ(calculated.FSource, u"@Upper(TELEP)");  // the stored form, "@" and all
    EXPECT_EQ(calculated.GetCalculation(), nullptr);  // compiled by the table
}

TEST(IndexSpecTest, ADefinitionsOwnTextReadsBackAsTheSameDefinition) {
    struct Case {
        std::u16string_view text;
        bool readable;
        bool fieldNumbers;
        int withSize;
        std::int16_t level;
    };
    const Case cases[] = {
        {u"TELEP", true, false, 0, 6},
        {u"TELEP, -IRSZ", true, false, 0, 6},
        {u"-Név utca, N", true, false, 0, 6},
        {u"${TELEP}, -${N}", false, false, 0, 6},
        {u"${Név utca}:5", false, false, 1, 6},
        {u"S:10, N", true, false, 1, 4},
        {u"IRSZ:4, N:4, S:20, TELEP:38", true, false, 2, 6},
        {u"IRSZ:1, TELEP:2", true, false, 1, 6},
        {u"$2, -$3", false, true, 0, 6},
        {u"2, -3, 6:7", true, true, 1, 6},
        {u"(@Upper(TELEP))", true, false, 0, 6},
        {u"(TELEP || ')(')", true, false, 0, 5},
        {u"(Upper(TELEP))", true, false, 0, 3},
    };
    for (const Case& c : cases) {
        const TTdbColumnDefs columns = MakeColumns(c.level);
        SCOPED_TRACE(Narrow(c.text));
        const TTdbSortDef def =
            ParseIndexSpecification(u"I", c.text, columns, c.level, false, c.fieldNumbers);
        EXPECT_EQ(
            Narrow(def.CalcSpecification(columns, c.readable, c.fieldNumbers, c.withSize, false)),
            Narrow(c.text));
    }
}

TEST(IndexSpecTest, TextsThatDescribeNoDefinitionAreRefusedNamingTheIndex) {
    const TTdbColumnDefs columns = MakeColumns(6);
    const std::u16string_view texts[] = {
        u"",
        u"   ",
        u"X",
        u"?",
        u"TELEP,",
        u",TELEP",
        u"TELEP,,N",
        u"-",
        u"- ,N",
        // columns by number
        u"$",
        u"$0",
        u"$7",
        u"$99999999",
        u"3",
        // lengths
        u"TELEP:",
        u"TELEP:0",
        u"TELEP:x",
        u"TELEP:-3",
        u"TELEP:39",
        u"TELEP:1",
        u"S:21",
        u"N:3",
        u"M:2",
        u"TELEP:5:5",
        u"TELEP 5",
        // braces
        u"${TELEP",
        u"TELEP}",
        u"{TELEP}",
        u"${TELEP}x",
        u"${}",
        u"${TELEP}}",
        u"$${TELEP}",
        // expressions
        u"(TELEP",
        u"TELEP)",
        u"(a)(b)",
        u"(a), N",
        u"N, (a)",
        u"()",
        u"( )",
        u"(@)",
        u"('abc)",
        u"((a)",
    };
    for (std::u16string_view text : texts) {
        SCOPED_TRACE(Narrow(text));
        try {
            ParseIndexSpecification(u"Bad", text, columns, 6, false);
            ADD_FAILURE() << "accepted";
        } catch (const ETdbEngine& e) {
            EXPECT_EQ(e.Code(), kTdbErrInvalidIndexSpec);
            EXPECT_EQ(e.Message(), EngineErrorMessage(kTdbErrInvalidIndexSpec, {u"Bad"}));
        }
    }
    // A bare number is a column number only when the caller says so.
    EXPECT_EQ(EngineCode([&] { ParseIndexSpecification(u"I", u"7", columns, 6, false, true); }),
              kTdbErrInvalidIndexSpec);
    EXPECT_EQ(ParseIndexSpecification(u"I", u"3", columns, 6, false, true).Items[0].ColumnNo, 3);
    // Below level 5 every expression is procedural: "@" is part of it, not a marker.
    EXPECT_EQ(ParseIndexSpecification(u"I", u"(@)", MakeColumns(4), 4, false).FSource, u"@");
}

TEST(IndexSpecTest, MoreComponentsThanTheLevelAllowsAreRefused) {
    std::u16string eleven = u"N";
    for (int i = 1; i < 11; ++i) {
        eleven += u", N";
    }
    const TTdbColumnDefs oldColumns = MakeColumns(3);
    EXPECT_EQ(EngineCode([&] { ParseIndexSpecification(u"I", eleven, oldColumns, 3, false); }),
              kTdbErrTooManyLevels);
    const TTdbColumnDefs columns = MakeColumns(4);
    EXPECT_EQ(ParseIndexSpecification(u"I", eleven, columns, 4, false).LevelCount, 11);
}

}  // namespace
}  // namespace tdb
