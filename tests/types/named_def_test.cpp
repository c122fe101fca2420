// Named definition lists and the stored form of expression sources.
#include "types/named_def.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "table_def_fakes.h"
#include "types/calculation.h"
#include "types/constraint_defs.h"
#include "types/sort_def.h"

namespace tdb {
namespace {

using deftest::FakeCalculation;
using deftest::FakeCondition;
using deftest::RecordingFactory;

TEST(NamedDefListTest, FindsAndDeletesByNameLikeTheEngineComparesNames) {
    TTdbSortDefs list;
    EXPECT_EQ(list.Add(std::make_unique<TTdbSortDef>(u"TELEP")), 0);
    EXPECT_EQ(list.Add(std::make_unique<TTdbSortDef>(u"Irányítószám")), 1);
    EXPECT_EQ(list.Add(std::make_unique<TTdbSortDef>(u"telep")), 2);

    EXPECT_EQ(list.FindByName(u"Telep"), 0);  // the first of the two equal names
    EXPECT_EQ(list.FindByName(u"IRANYITOSZAM"), 1);
    EXPECT_EQ(list.FindByName(u"Telepules"), -1);
    ASSERT_NE(list.Find(u"iranyitoszam"), nullptr);
    EXPECT_EQ(list.Find(u"iranyitoszam")->FName, u"Irányítószám");
    EXPECT_EQ(list.Find(u"x"), nullptr);

    EXPECT_TRUE(list.DeleteByName(u"TeLeP"));
    ASSERT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list.Get(1)->FName, u"telep");
    EXPECT_FALSE(list.DeleteByName(u"nincs"));
    EXPECT_EQ(list.GetCount(), 2);

    EXPECT_THROW(list.GetNamedDef(2), std::out_of_range);
    EXPECT_THROW(list.GetNamedDef(-1), std::out_of_range);
    EXPECT_THROW(list.Delete(5), std::out_of_range);
    EXPECT_THROW(list.Add(nullptr), std::invalid_argument);
}

TEST(NamedDefListTest, CopiesAreDeepAndKeepTheDynamicType) {
    TTdbCheckDefs checks;
    checks.Add(std::make_unique<TTdbCheckDef>(
        u"Positive", std::make_unique<FakeCondition>(u"A > 0", tesTableSQL)));

    TTdbCheckDefs copy(checks);
    ASSERT_EQ(copy.GetCount(), 1);
    ASSERT_NE(copy.Get(0), checks.Get(0));
    ASSERT_NE(copy.Get(0)->GetCondition(), checks.Get(0)->GetCondition());
    EXPECT_EQ(copy.Get(0)->GetSource(), u"A > 0");

    copy.Get(0)->FName = u"Other";
    EXPECT_EQ(checks.Get(0)->FName, u"Positive");

    TTdbCheckDefs assigned;
    assigned = checks;
    EXPECT_EQ(assigned.Get(0)->GetSource(), u"A > 0");

    std::unique_ptr<TTdbNamedDef> clone = checks.Get(0)->Clone();
    EXPECT_NE(dynamic_cast<TTdbCheckDef*>(clone.get()), nullptr);
}

struct StoredCase {
    std::u16string stored;
    std::int16_t level;
    TTdbExpressionSyntax kind;
    std::u16string source;
};

TEST(StoredExpressionTest, LevelAndAtSignDecideTheSyntax) {
    const StoredCase cases[] = {
        {u"@$A + 1", 4, tesTablePL, u"@$A + 1"},  // old levels know one syntax only
        {u"A + 1", 3, tesTablePL, u"A + 1"},
        {u"@$A + 1", 5, tesTablePL, u"$A + 1"},
        {u"A + 1", 5, tesTableSQL, u"A + 1"},
        {u"@X", 6, tesTablePL, u"X"},
        {u"", 2, tesTableSQL, u""},  // a missing source is an empty SQL expression
        {u"", 6, tesTableSQL, u""},
    };
    for (const StoredCase& c : cases) {
        TTdbStoredExpression parsed = ParseStoredExpression(c.stored, c.level);
        EXPECT_EQ(parsed.Kind, c.kind) << c.level;
        EXPECT_EQ(parsed.Source, c.source) << c.level;
    }
}

TEST(StoredExpressionTest, WritingAndReadingGiveBackTheSameSyntax) {
    for (std::int16_t level : {5, 6}) {
        for (TTdbExpressionSyntax kind : {tesTablePL, tesTableSQL}) {
            FakeCalculation calculation(u"$A * 2", kind);
            std::u16string stored = StoredExpressionSource(calculation, level);
            TTdbStoredExpression back = ParseStoredExpression(stored, level);
            EXPECT_EQ(back.Kind, kind);
            EXPECT_EQ(back.Source, u"$A * 2");

            // A procedural check keeps its syntax too, where a bare text would
            // come back as SQL.
            FakeCondition condition(u"$A > 0", kind);
            EXPECT_EQ(ParseStoredExpression(StoredExpressionSource(condition, level), level).Kind,
                      kind);
        }
    }
    FakeCalculation old(u"$A * 2", tesTablePL);
    EXPECT_EQ(StoredExpressionSource(old, 4), u"$A * 2");
}

TEST(StoredExpressionTest, FactoryGetsTheCompiledSourceAndSyntax) {
    RecordingFactory factory;
    std::unique_ptr<TTdbCalculation> calculation = CreateStoredCalculation(factory, u"@$N+1", 6);
    std::unique_ptr<TTdbCondition> condition = CreateStoredCondition(factory, u"N > 1", 6);
    ASSERT_EQ(factory.calls.size(), 2u);
    EXPECT_EQ(factory.calls[0].Source, u"$N+1");
    EXPECT_EQ(factory.calls[0].Kind, tesTablePL);
    EXPECT_EQ(factory.calls[0].Level, 6);
    EXPECT_EQ(factory.calls[1].Kind, tesTableSQL);
    EXPECT_EQ(calculation->GetSource(), u"$N+1");
    EXPECT_EQ(condition->GetSource(), u"N > 1");
    // The argument-free evaluation is the one with a set nobody reads.
    EXPECT_EQ(condition->Evaluate(), tvUnknown);
}

}  // namespace
}  // namespace tdb
