// Candidate keys, foreign keys, checks and user types: column lists in their
// two text forms, the key record, copies.
#include "types/constraint_defs.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "table_def_fakes.h"
#include "types/data_type.h"

namespace tdb {
namespace {

using deftest::FakeCondition;
using Names = std::vector<std::u16string>;

TEST(ColumnListTest, SplitsAtCommasOutsideBraces) {
    struct Case {
        std::u16string list;
        Names items;
    };
    const Case cases[] = {
        {u"A,B", {u"A", u"B"}},
        {u" A , B ", {u"A", u"B"}},
        {u"${A},${B C}", {u"${A}", u"${B C}"}},
        {u"${X,Y},Z", {u"${X,Y}", u"Z"}},  // a comma inside a braced name
        {u"A,,B,", {u"A", u"B"}},
        {u"", {}},
        {u"${ unclosed, B", {u"${ unclosed, B"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitColumnList(c.list), c.items);
    }
    EXPECT_EQ(BareColumnName(u"${B C}"), u"B C");
    EXPECT_EQ(BareColumnName(u"$A"), u"A");
    EXPECT_EQ(BareColumnName(u"{A}"), u"A");
    EXPECT_EQ(BareColumnName(u"A"), u"A");
    EXPECT_EQ(BareColumnName(u"$"), u"");
}

TEST(CandidateKeyTest, ColumnListsInBothForms) {
    TTdbCandidateKeyDef key(u"sys_Primary", u"$IRSZ, ${TELEP NEV},{TELK},Megye", true);
    EXPECT_TRUE(key.GetIsPrimary());
    EXPECT_EQ(key.FColumnNames, (Names{u"IRSZ", u"TELEP NEV", u"TELK", u"Megye"}));
    EXPECT_EQ(key.GetColumnNamesStr(), u"IRSZ,TELEP NEV,TELK,Megye");
    EXPECT_EQ(key.GetColumnNamesTdb(), u"${IRSZ},${TELEP NEV},${TELK},${Megye}");
    EXPECT_EQ(key.GetColumnName(1), u"TELEP NEV");
    EXPECT_THROW(key.GetColumnName(4), std::out_of_range);

    // The Tdb form reads back to the same names.
    TTdbCandidateKeyDef again(u"K", key.GetColumnNamesTdb(), false);
    EXPECT_EQ(again.FColumnNames, key.FColumnNames);

    key.AddColumnName(u"$Extra");
    EXPECT_EQ(key.GetColumnNamesStr(), u"IRSZ,TELEP NEV,TELK,Megye,Extra");
    EXPECT_EQ(key.GetColumnCount(), 5);
}

TEST(CandidateKeyTest, KeySpecFitsTheCallInterfaceRecord) {
    TTdbCandidateKeyDef key(u"PK", u"A,B", true);
    TTdbKeySpec spec = key.GetKeySpec();
    EXPECT_TRUE(spec.IsPrimary);
    EXPECT_EQ(spec.Name, u"PK");
    EXPECT_EQ(spec.Columns, u"A,B");

    std::u16string longName(39, u'n');
    longName += u"\U0001F600";  // a pair across the 40th unit is not split
    std::u16string manyColumns;
    for (int i = 0; i < 100; ++i) {
        manyColumns += u"Col,";
    }
    TTdbCandidateKeyDef big(longName, manyColumns, false);
    TTdbKeySpec bigSpec = big.GetKeySpec();
    EXPECT_FALSE(bigSpec.IsPrimary);
    EXPECT_EQ(bigSpec.Name, std::u16string(39, u'n'));
    EXPECT_EQ(bigSpec.Columns.size(), TTdbKeySpec::kMaxColumnsLength);
}

TEST(CandidateKeyTest, CopiesCarryTheResolvedIndex) {
    TTdbCandidateKeyDef key(u"PK", u"A", true);
    key.IndexDef = std::make_unique<TTdbSortDef>(u"sys_Primary");
    key.IndexDef->AddItem(1, 4, 1);
    std::unique_ptr<TTdbCandidateKeyDef> copy = CloneAs(key);
    ASSERT_NE(copy->IndexDef, nullptr);
    EXPECT_NE(copy->IndexDef.get(), key.IndexDef.get());
    EXPECT_EQ(copy->IndexDef->LevelCount, 1);
    EXPECT_EQ(copy->FColumnNames, key.FColumnNames);
}

TEST(ForeignKeyTest, CreateTakesListsAsTheyAre) {
    auto fk = TTdbForeignKeyDef::Create(u"FK_Megye", tiaCascade, tiaSetNull, u"ID, Nev", u"Megye",
                                        u"MegyeID,MegyeNev");
    EXPECT_EQ(fk->FName, u"FK_Megye");
    EXPECT_EQ(fk->GetDeleteAction(), tiaCascade);
    EXPECT_EQ(fk->GetUpdateAction(), tiaSetNull);
    EXPECT_EQ(fk->GetParentTableName(), u"Megye");
    EXPECT_EQ(fk->GetParentColumnNames(), (Names{u"ID", u"Nev"}));
    EXPECT_EQ(fk->GetColumnNames(), (Names{u"MegyeID", u"MegyeNev"}));
    EXPECT_EQ(fk->GetColumnNamesStr(), u"MegyeID,MegyeNev");
    EXPECT_EQ(fk->GetParentColumnNamesTdb(), u"${ID},${Nev}");
}

TEST(ForeignKeyTest, CreateStrMarksNamesAndTheFormsDropTheMark) {
    auto fk =
        TTdbForeignKeyDef::CreateStr(u"FK", tiaReject, tiaSetDefault, u"ID", u"Megye", u"MegyeID");
    EXPECT_EQ(fk->GetColumnNames(), (Names{u"$MegyeID"}));
    EXPECT_EQ(fk->GetParentColumnNames(), (Names{u"$ID"}));
    EXPECT_EQ(fk->GetColumnNamesStr(), u"MegyeID");
    EXPECT_EQ(fk->GetParentColumnNamesStr(), u"ID");
    EXPECT_EQ(fk->GetColumnNamesTdb(), u"${MegyeID}");

    fk->SetColumnNamesTdb(u"${A B},${C}");
    fk->SetParentColumnNamesTdb(u"${X},${Y,Z}");
    fk->SetParentTableName(u"Other");
    fk->SetUpdateAction(tiaCascade);
    fk->SetDeleteAction(tiaSetNull);
    EXPECT_EQ(fk->GetColumnNamesStr(), u"A B,C");
    EXPECT_EQ(fk->GetColumnNamesTdb(), u"${A B},${C}");
    EXPECT_EQ(fk->GetParentColumnNamesStr(), u"X,Y,Z");
    EXPECT_EQ(fk->GetParentColumnNamesTdb(), u"${X},${Y,Z}");
    EXPECT_EQ(fk->GetParentTableName(), u"Other");
    EXPECT_EQ(fk->GetUpdateAction(), tiaCascade);
    EXPECT_EQ(fk->GetDeleteAction(), tiaSetNull);

    std::unique_ptr<TTdbForeignKeyDef> copy = CloneAs(*fk);
    EXPECT_EQ(copy->GetColumnNamesTdb(), fk->GetColumnNamesTdb());
    EXPECT_EQ(copy->GetDeleteAction(), tiaSetNull);
}

TEST(CheckAndTypeDefTest, ChecksOwnTheirConditionAndTypesCopy) {
    TTdbCheckDef check(u"Pozitiv", std::make_unique<FakeCondition>(u"A > 0", tesTableSQL));
    EXPECT_EQ(check.GetSource(), u"A > 0");
    std::unique_ptr<TTdbCheckDef> copy = CloneAs(check);
    EXPECT_NE(copy->GetCondition(), check.GetCondition());
    EXPECT_EQ(copy->GetCondition()->GetKind(), tesTableSQL);
    check.SetCondition(nullptr);
    EXPECT_EQ(check.GetSource(), u"");
    EXPECT_EQ(copy->GetSource(), u"A > 0");

    TTdbTypeDefs types;
    types.Add(std::make_unique<TTdbTypeDef>(u"Irsz", 100, ctString));
    TTdbTypeDefs copies(types);
    ASSERT_NE(copies.Find(u"IRSZ"), nullptr);
    EXPECT_EQ(copies.Find(u"IRSZ")->TypeCode, 100);
    EXPECT_EQ(copies.Find(u"IRSZ")->SuperTypeCode, ctString);
}

}  // namespace
}  // namespace tdb
