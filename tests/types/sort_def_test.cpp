// Index definitions: the packed 50-byte form, specification texts, coverage,
// equality, key sizes and component limits.
#include "types/sort_def.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "table_def_fakes.h"
#include "types/column_def.h"

namespace tdb {
namespace {

using deftest::FakeCalculation;
using deftest::RecordingFactory;

std::int16_t EngineCode(const std::function<void()>& action) {
    try {
        action();
    } catch (const ETdbEngine& e) {
        return e.Code();
    }
    return 0;
}

TTdbSortDef Components(std::initializer_list<TTdbSortItem> items, bool unique = false) {
    TTdbSortDef def(u"IDX");
    for (const TTdbSortItem& item : items) {
        def.AddItem(item.ColumnNo, item.ColumnType, item.Size, item.Descending);
    }
    def.IsUnique = unique;
    def.UpdateSize(6);
    return def;
}

std::vector<TTdbSortItem> ItemsOf(const TTdbSortDef& def) {
    return {def.Items.begin(), def.Items.begin() + def.LevelCount};
}

// ---- Packed form ----

TEST(SortVectorTest, ThreeComponentsWithUniquenessRoundTrip) {
    TTdbSortDef def = Components({{5, 1, 79, false}, {18, 3, 22, true}, {16, 2, 5, false}}, true);
    TTdbSortVector vector;
    vector.fill(std::byte{0xAA});
    def.GetVectorData(vector);

    EXPECT_EQ(LoadLE<std::uint16_t>(&vector[0]), 1);
    EXPECT_EQ(LoadLE<std::int16_t>(&vector[2]), 79);
    EXPECT_EQ(LoadLE<std::uint8_t>(&vector[4]), 5);
    EXPECT_EQ(LoadLE<std::uint16_t>(&vector[5]), 0x8003);  // descending: bit 15
    EXPECT_EQ(LoadLE<std::int16_t>(&vector[7]), 22);
    EXPECT_EQ(LoadLE<std::uint8_t>(&vector[9]), 18);
    // Terminator, then zeros to the end.
    EXPECT_EQ(LoadLE<std::uint16_t>(&vector[15]), 0);
    EXPECT_EQ(LoadLE<std::int16_t>(&vector[17]), 0);
    EXPECT_EQ(LoadLE<std::uint8_t>(&vector[19]), 0xFF);
    for (std::size_t i = 20; i < vector.size(); ++i) {
        EXPECT_EQ(vector[i], std::byte{0}) << i;
    }

    TTdbSortDef back(u"IDX");
    back.SetVectorData(vector, nullptr, 3);
    EXPECT_EQ(ItemsOf(back), ItemsOf(def));
    EXPECT_TRUE(back.IsUnique);
    EXPECT_FALSE(back.IsCalculated);
    EXPECT_EQ(back.GetSize(), 4 + 79 + 22 + 5);

    def.IsUnique = false;
    def.GetVectorData(vector);
    EXPECT_EQ(LoadLE<std::uint8_t>(&vector[19]), 0);
    back.SetVectorData(vector, nullptr, 3);
    EXPECT_FALSE(back.IsUnique);
}

TEST(SortVectorTest, TenComponentsHaveNoTerminatorAndKeepUniqueness) {
    TTdbSortDef def(u"IDX");
    for (std::int16_t i = 1; i <= 10; ++i) {
        def.AddItem(i, 4, 1, i % 2 == 0);
    }
    TTdbSortVector vector;
    def.GetVectorData(vector);
    EXPECT_EQ(LoadLE<std::uint16_t>(&vector[45]), 0x800A);

    for (bool unique : {false, true}) {
        TTdbSortDef back(u"IDX");
        back.IsUnique = unique;
        back.SetVectorData(vector, nullptr, 2);
        EXPECT_EQ(back.LevelCount, 10);
        EXPECT_EQ(ItemsOf(back), ItemsOf(def));
        EXPECT_EQ(back.IsUnique, unique);  // nothing in the form says otherwise
    }

    def.AddItem(11, 4, 1);
    EXPECT_EQ(EngineCode([&] { def.GetVectorData(vector); }), 61);  // never cut
}

TEST(SortVectorTest, ExpressionRoundTripsThroughTheFactory) {
    const TTdbDataType* resultType = TTdbDataType::GetStringType(ctString, false, 40, u"", 3);
    TTdbSortDef def(u"EXPR",
                    std::make_unique<FakeCalculation>(u"Upper($TELEP)", tesTablePL, resultType),
                    false);
    EXPECT_TRUE(def.IsCalculated);
    EXPECT_EQ(def.LevelCount, 1);
    EXPECT_EQ(def.Items[0].Size, 41);
    EXPECT_EQ(def.Items[0].ColumnType, ctString);

    TTdbSortVector vector;
    def.GetVectorData(vector);
    EXPECT_EQ(LoadLE<std::int16_t>(&vector[0]), -1);
    EXPECT_EQ(LoadLE<std::int16_t>(&vector[2]), 41);
    EXPECT_EQ(LoadLE<std::uint8_t>(&vector[4]), ctString);
    EXPECT_EQ(LoadLE<std::uint8_t>(&vector[5]), 13);
    EXPECT_EQ(std::memcmp(&vector[6], "Upper($TELEP)", 13), 0);

    RecordingFactory factory;
    TTdbSortDef back(u"EXPR");
    back.SetVectorData(vector, &factory, 3);
    ASSERT_EQ(factory.calls.size(), 1u);
    EXPECT_EQ(factory.calls[0].Source, u"Upper($TELEP)");
    EXPECT_EQ(factory.calls[0].Kind, tesTablePL);
    EXPECT_EQ(factory.calls[0].Level, 3);
    EXPECT_TRUE(back.IsCalculated);
    ASSERT_NE(back.GetCalculation(), nullptr);
    EXPECT_EQ(back.GetSource(), u"Upper($TELEP)");
    EXPECT_EQ(back.Items[0], def.Items[0]);
    EXPECT_EQ(back.GetSize(), 4 + 256);  // below level 6 expression keys take 256 bytes

    TTdbSortDef textOnly(u"EXPR");
    textOnly.SetVectorData(vector, nullptr, 3);
    EXPECT_EQ(textOnly.GetCalculation(), nullptr);
    EXPECT_EQ(textOnly.GetSource(), u"Upper($TELEP)");

    // 44 ANSI characters fit; 45 would have to be cut and are refused.
    TTdbSortDef longest(u"L", std::u16string(44, u'é'), false, true);
    longest.Items[0] = {ctString, 0, 10, false};
    longest.GetVectorData(vector);
    EXPECT_EQ(LoadLE<std::uint8_t>(&vector[5]), 44);
    EXPECT_EQ(LoadLE<std::uint8_t>(&vector[49]), 0xE9);
    textOnly.SetVectorData(vector, nullptr, 3);
    EXPECT_EQ(textOnly.GetSource(), std::u16string(44, u'é'));
    TTdbSortDef tooLong(u"L", std::u16string(45, u'x'), false, true);
    EXPECT_EQ(EngineCode([&] { tooLong.GetVectorData(vector); }), 11);
}

TEST(SortVectorTest, CorruptFormsAreRefusedAndChangeNothing) {
    TTdbSortDef good = Components({{1, 1, 11, false}, {2, 4, 1, false}}, true);
    TTdbSortVector original;
    good.GetVectorData(original);

    struct Corruption {
        const char* what;
        std::function<void(TTdbSortVector&)> apply;
    };
    const Corruption corruptions[] = {
        {"component size 0", [](TTdbSortVector& v) { StoreLE<std::int16_t>(&v[7], 0); }},
        {"negative component size", [](TTdbSortVector& v) { StoreLE<std::int16_t>(&v[2], -3); }},
        {"expression key size 0",
         [](TTdbSortVector& v) {
             StoreLE<std::int16_t>(&v[0], -1);
             StoreLE<std::int16_t>(&v[2], 0);
             StoreLE<std::uint8_t>(&v[5], 1);
         }},
        {"expression text longer than the form",
         [](TTdbSortVector& v) {
             StoreLE<std::int16_t>(&v[0], -1);
             StoreLE<std::uint8_t>(&v[5], 45);
         }},
        {"length byte 255",
         [](TTdbSortVector& v) {
             StoreLE<std::int16_t>(&v[0], -1);
             StoreLE<std::uint8_t>(&v[5], 255);
         }},
    };
    for (const Corruption& c : corruptions) {
        TTdbSortVector vector = original;
        c.apply(vector);
        TTdbSortDef target = Components({{3, 16, 4, true}}, false);
        target.FName = u"Target";
        EXPECT_EQ(EngineCode([&] { target.SetVectorData(vector, nullptr, 3); }), 28) << c.what;
        EXPECT_EQ(ItemsOf(target), (std::vector<TTdbSortItem>{{3, 16, 4, true}})) << c.what;
        EXPECT_FALSE(target.IsUnique) << c.what;
        EXPECT_FALSE(target.IsCalculated) << c.what;
    }
}

// ---- Checks against the columns ----

class SortColumnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        columns.Add(u"NAME1", TTdbDataType::GetStringType(ctString, false, 20, u"", 6), 0);
        columns.Add(u"NAME2", TTdbDataType::GetStringType(ctWideString, false, 10, u"", 6), 0);
        columns.Add(u"N", TTdbDataType::GetDataType(ctInteger, false, 6), 0);
    }

    TTdbSortDef TwoNames(std::int16_t firstSize = 21) const {
        return Components({{ctString, 1, firstSize, false}, {ctWideString, 2, 22, true}});
    }

    TTdbColumnDefs columns;
};

TEST_F(SortColumnsTest, ComponentsMustNameAColumnAndFitIntoIt) {
    EXPECT_NO_THROW(TwoNames().CheckColumns(columns));
    EXPECT_NO_THROW(TwoNames(6).CheckColumns(columns));  // a shortened string
    EXPECT_EQ(EngineCode([&] { TwoNames(22).CheckColumns(columns); }), 28);
    EXPECT_EQ(EngineCode([&] {
                  Components({{ctInteger, 4, 4, false}}).CheckColumns(columns);
              }),
              28);
    EXPECT_EQ(EngineCode([&] {
                  Components({{ctInteger, 0, 4, false}}).CheckColumns(columns);
              }),
              28);
}

struct SpecCase {
    bool readable;
    bool fieldNumbers;
    int withSize;
    bool reverse;
    std::u16string expected;
};

TEST_F(SortColumnsTest, SpecificationTexts) {
    const SpecCase cases[] = {
        {true, false, 0, false, u"NAME1, -NAME2"}, {false, false, 0, false, u"${NAME1}, -${NAME2}"},
        {true, false, 0, true, u"-NAME1, NAME2"},  {false, true, 0, false, u"$1, -$2"},
        {true, true, 0, false, u"1, -2"},          {true, false, 2, false, u"NAME1:20, -NAME2:10"},
        {true, false, 1, false, u"NAME1, -NAME2"},
    };
    TTdbSortDef def = TwoNames();
    for (const SpecCase& c : cases) {
        EXPECT_EQ(def.CalcSpecification(columns, c.readable, c.fieldNumbers, c.withSize, c.reverse),
                  c.expected);
    }
    // WithSize 1 names only the lengths that shorten their column.
    EXPECT_EQ(TwoNames(6).CalcSpecification(columns, true, false, 1, false), u"NAME1:5, -NAME2");
    EXPECT_EQ(
        Components({{ctInteger, 3, 4, false}}).CalcSpecification(columns, false, false, 2, false),
        u"${N}:4");
    // A column the list lacks.
    EXPECT_EQ(
        Components({{ctInteger, 9, 4, false}}).CalcSpecification(columns, true, false, 0, false),
        u"?");
    EXPECT_EQ(
        Components({{ctInteger, 9, 4, false}}).CalcSpecification(columns, false, true, 0, false),
        u"$9");
}

TEST_F(SortColumnsTest, LongLengthsAreWrittenInFull) {
    TTdbColumnDefs wide;
    wide.Add(u"W", TTdbDataType::GetStringType(ctWideString, false, 1500, u"", 6), 0);
    TTdbSortDef def = Components({{ctWideString, 1, 3002, false}});
    EXPECT_EQ(def.CalcSpecification(wide, true, false, 2, false), u"W:1500");
}

TEST_F(SortColumnsTest, ExpressionSpecificationsCarryTheProceduralMark) {
    TTdbSortDef procedural(u"E", std::make_unique<FakeCalculation>(u"$N*2", tesTablePL), false);
    TTdbSortDef sql(u"E", std::make_unique<FakeCalculation>(u"N*2", tesTableSQL), false);
    EXPECT_EQ(procedural.CalcSpecification(columns, true, false, 0, false), u"(@$N*2)");
    EXPECT_EQ(sql.CalcSpecification(columns, true, false, 0, false), u"(N*2)");

    TTdbColumnDefs old;
    old.Add(u"N", TTdbDataType::GetDataType(ctInteger, false, 4), 0);
    EXPECT_EQ(procedural.CalcSpecification(old, true, false, 0, false), u"($N*2)");

    TTdbSortDef textOnly(u"E", u"$N*3", false, true);
    EXPECT_EQ(textOnly.CalcSpecification(columns, true, false, 0, false), u"($N*3)");
}

// ---- Coverage and equality ----

struct CoverCase {
    const char* what;
    TTdbSortDef a;
    TTdbSortDef b;
    bool allowReverse;
    bool covers;
    bool reverse;
};

TEST(SortCoverTest, LongerOrReversedIndexesServeAnOrder) {
    auto asc = [](std::int16_t no) { return TTdbSortItem{4, no, 1, false}; };
    auto desc = [](std::int16_t no) { return TTdbSortItem{4, no, 1, true}; };
    CoverCase cases[] = {
        {"same", Components({asc(1)}), Components({asc(1)}), false, true, false},
        {"longer covers shorter", Components({asc(1), asc(2)}), Components({asc(1)}), false, true,
         false},
        {"shorter does not cover longer", Components({asc(1)}), Components({asc(1), asc(2)}), true,
         false, false},
        {"other first column", Components({asc(2), asc(1)}), Components({asc(1)}), true, false,
         false},
        {"reversed when allowed", Components({asc(1), desc(2)}), Components({desc(1), asc(2)}),
         true, true, true},
        {"reversed when not allowed", Components({asc(1), desc(2)}), Components({desc(1), asc(2)}),
         false, false, false},
        {"second component in the wrong direction", Components({asc(1), asc(2)}),
         Components({desc(1), asc(2)}), true, false, false},
        {"second component differs", Components({asc(1), asc(2)}), Components({asc(1), asc(3)}),
         true, false, false},
        {"sizes do not matter", Components({{1, 1, 11, false}}), Components({{1, 1, 5, false}}),
         false, true, false},
    };
    for (CoverCase& c : cases) {
        bool reverse = !c.reverse;
        EXPECT_EQ(c.a.Covers(c.b, c.allowReverse, reverse), c.covers) << c.what;
        EXPECT_EQ(reverse, c.reverse) << c.what;
    }
}

TEST(SortCoverTest, ExpressionsCoverOnlyTheSameExpression) {
    TTdbSortDef a(u"A", std::make_unique<FakeCalculation>(u"$N*2", tesTablePL), false);
    TTdbSortDef same(u"B", std::make_unique<FakeCalculation>(u"$N*2", tesTablePL), true);
    TTdbSortDef other(u"C", std::make_unique<FakeCalculation>(u"$N*3", tesTablePL), false);
    TTdbSortDef columnsOnly = Components({{4, 1, 1, false}});
    bool reverse = true;
    EXPECT_TRUE(a.Covers(same, true, reverse));
    EXPECT_FALSE(reverse);
    EXPECT_FALSE(a.Covers(other, true, reverse));
    EXPECT_FALSE(a.Covers(columnsOnly, true, reverse));
    EXPECT_FALSE(columnsOnly.Covers(a, true, reverse));
}

TEST(SortEqualsTest, FlagsCountAndEveryComponentMustAgree) {
    TTdbSortDef base = Components({{1, 1, 11, false}, {4, 2, 1, true}}, true);
    bool reverse = true;
    EXPECT_TRUE(base.Equals(TTdbSortDef(base), true, reverse));
    EXPECT_FALSE(reverse);

    const std::function<void(TTdbSortDef&)> changes[] = {
        [](TTdbSortDef& d) { d.IsUnique = false; },
        [](TTdbSortDef& d) { d.IsVarSize = true; },
        [](TTdbSortDef& d) { d.Items[0].Size = 6; },
        [](TTdbSortDef& d) { d.Items[1].Descending = false; },
        [](TTdbSortDef& d) { d.Items[1].ColumnType = 5; },
        [](TTdbSortDef& d) { d.Items[1].ColumnNo = 3; },
        [](TTdbSortDef& d) { d.AddItem(3, 4, 1); },
    };
    for (const auto& change : changes) {
        TTdbSortDef other(base);
        change(other);
        EXPECT_FALSE(base.Equals(other, true, reverse));
    }

    TTdbSortDef e1(u"A", std::make_unique<FakeCalculation>(u"$N*2", tesTablePL), false);
    TTdbSortDef e2(u"B", std::make_unique<FakeCalculation>(u"$N*2", tesTablePL), false);
    TTdbSortDef e3(u"C", std::make_unique<FakeCalculation>(u"$N*3", tesTablePL), false);
    EXPECT_TRUE(e1.Equals(e2, false, reverse));
    EXPECT_FALSE(e1.Equals(e3, false, reverse));
}

// ---- Sizes, limits, copies ----

TEST(SortDefTest, KeySizesAndEntrySizes) {
    TTdbSortDef empty(u"E");
    EXPECT_EQ(empty.GetSize(), 4);
    EXPECT_EQ(empty.LevelCount, 0);

    TTdbSortDef def = Components({{1, 1, 11, false}, {4, 2, 1, false}});
    EXPECT_EQ(def.GetKeySize(6), 12);
    EXPECT_EQ(def.GetSize(), 16);

    TTdbSortDef expr(u"X",
                     std::make_unique<FakeCalculation>(
                         u"$N", tesTablePL, TTdbDataType::GetDataType(ctInteger, true, 6)),
                     false);
    EXPECT_EQ(expr.GetKeySize(6), 5);
    EXPECT_EQ(expr.GetKeySize(5), 256);
    EXPECT_EQ(expr.GetSize(), 9);
}

TEST(SortDefTest, ComponentLimitsByTableLevel) {
    EXPECT_EQ(EngineCode([] { CheckSortLevelCount(11, 3); }), 61);
    EXPECT_EQ(EngineCode([] { CheckSortLevelCount(10, 1); }), 0);
    EXPECT_EQ(EngineCode([] { CheckSortLevelCount(11, 4); }), 0);
    EXPECT_EQ(EngineCode([] { CheckSortLevelCount(256, 6); }), 0);
    EXPECT_EQ(EngineCode([] { CheckSortLevelCount(257, 6); }), 61);

    TTdbSortDef def(u"Many");
    for (int i = 1; i <= kTdbMaxSortItems; ++i) {
        def.AddItem(static_cast<std::int16_t>(i), 4, 1);
    }
    EXPECT_EQ(EngineCode([&] { def.AddItem(257, 4, 1); }), 61);
    EXPECT_EQ(def.LevelCount, kTdbMaxSortItems);
}

TEST(SortDefTest, CopiesCloneTheExpressionAndClearForgetsIt) {
    TTdbSortDef def(u"X", std::make_unique<FakeCalculation>(u"$N", tesTablePL), true);
    def.FSource = u"spec";
    TTdbSortDef copy(def);
    ASSERT_NE(copy.GetCalculation(), nullptr);
    EXPECT_NE(copy.GetCalculation(), def.GetCalculation());
    EXPECT_EQ(copy.GetSource(), u"$N");
    EXPECT_TRUE(copy.IsUnique);

    std::unique_ptr<TTdbSortDef> clone = CloneAs(def);
    EXPECT_EQ(clone->FName, u"X");
    EXPECT_NE(clone->GetCalculation(), def.GetCalculation());

    TTdbSortDef assigned(u"Y");
    assigned = def;
    EXPECT_EQ(assigned.FName, u"X");
    EXPECT_NE(assigned.GetCalculation(), def.GetCalculation());

    def.Clear();
    EXPECT_FALSE(def.IsCalculated);
    EXPECT_EQ(def.LevelCount, 0);
    EXPECT_EQ(def.GetCalculation(), nullptr);
    EXPECT_EQ(def.GetSource(), u"spec");
}

}  // namespace
}  // namespace tdb
