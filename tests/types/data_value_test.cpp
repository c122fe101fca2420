// Value cells: empty and assigned, moving, references into a record buffer
// read and written in place, owned string buffers and their growth.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "types/data_type.h"

namespace tdb {
namespace {

TEST(DataValueTest, EmptyAssignedAndDone) {
    TTdbDataValue v;
    EXPECT_TRUE(v.IsEmpty());
    const TTdbDataType* c = TTdbDataType::GetDataType(ctChar, false, 6);
    c->SetAnsiString(v, "x");
    // Char shares tag 0 with the empty cell, but the cell knows it holds a value.
    EXPECT_EQ(v.Tag(), 0);
    EXPECT_FALSE(v.IsEmpty());
    const TTdbDataType* i = TTdbDataType::GetDataType(ctInteger, true, 6);
    i->SetInteger(v, 7);
    EXPECT_EQ(v.Tag(), ctInteger);
    EXPECT_TRUE(i->IsOfType(v));
    i->DoneValue(v);
    EXPECT_TRUE(v.IsEmpty());
    TTdbDataType::GetNullType()->SetNull(v);
    EXPECT_EQ(v.Tag(), -1);
}

TEST(DataValueTest, MovingTakesTheBufferAlong) {
    const TTdbDataType* s = TTdbDataType::GetStringType(ctWideString, true, 100, u"", 6);
    TTdbDataValue a;
    s->SetWideString(a, u"Budapest");
    const std::uint8_t* buffer = a.Image();
    TTdbDataValue b(std::move(a));
    EXPECT_TRUE(a.IsEmpty());  // NOLINT(bugprone-use-after-move): moved-from cells are empty
    EXPECT_EQ(b.Image(), buffer);
    EXPECT_EQ(s->GetWideString(b), u"Budapest");
    TTdbDataValue c;
    s->SetWideString(c, u"Szeged");
    c = std::move(b);  // the old buffer of c is released, not leaked
    EXPECT_EQ(s->GetWideString(c), u"Budapest");
}

// Conditions and key building read and write columns inside a record in place.
TEST(DataValueTest, ReferencesReadAndWriteTheRecordInPlace) {
    const TTdbDataType* id = TTdbDataType::GetDataType(ctInteger, false, 6);
    const TTdbStringType* name = TTdbDataType::GetStringType(ctWideString, true, 5, u"", 6);
    const TTdbDataType* flag = TTdbDataType::GetDataType(ctBoolean, true, 6);
    std::uint8_t record[4 + 13 + 2] = {};
    std::uint8_t* pName = record + 4;
    std::uint8_t* pFlag = record + 17;

    TTdbDataValue vId, vName, vFlag;
    id->SetReference(vId, record);
    name->SetReference(vName, pName);
    flag->SetReference(vFlag, pFlag);
    EXPECT_TRUE(vId.IsReference());
    EXPECT_EQ(vId.ColumnType(), ctInteger);

    id->SetInteger(vId, -2);
    name->SetWideString(vName, u"Győr and more");  // cut to 5 characters in place
    flag->SetInteger(vFlag, 1);
    EXPECT_EQ(record[0], 0xFE);
    EXPECT_EQ(record[3], 0xFF);
    EXPECT_EQ(pName[0], 1);  // indicator
    EXPECT_EQ(pName[1], 5);  // prefix
    EXPECT_EQ(pName[7], 0x51);
    EXPECT_EQ(pName[8], 0x01);  // "ő" little-endian, the third character
    EXPECT_EQ(pFlag[0], 1);
    EXPECT_EQ(pFlag[1], 1);

    // Changes to the record show through the reference.
    record[0] = 9;
    record[3] = 0;
    EXPECT_EQ(id->GetInteger(vId), 0x00FFFF09);
    EXPECT_EQ(name->GetWideString(vName), u"Győr ");
    EXPECT_EQ(name->GetLength(pName), 5);

    // A second reference to the image another cell references.
    TTdbDataValue alias;
    name->SetReference(alias, vName);
    name->SetNull(alias);
    EXPECT_TRUE(name->IsNull(vName));
    EXPECT_EQ(pName[1], 5);  // the characters stay

    // Releasing a reference leaves the record alone.
    name->DoneValue(vName);
    EXPECT_EQ(pName[1], 5);
}

TEST(DataValueTest, StringBuffersGrowOnDemand) {
    const TTdbDataType* s = TTdbDataType::GetStringType(ctString, true, 300, u"", 6);
    TTdbDataValue v;
    s->SetAnsiString(v, "abc");
    // Indicator, 2-byte prefix, 3 characters.
    EXPECT_EQ(v.Capacity(), 1U + 2U + 3U);
    s->SetAnsiString(v, std::string(10, 'x'));
    EXPECT_EQ(v.Capacity(), 1U + 2U + 10U);
    s->SetAnsiString(v, "a");
    EXPECT_EQ(v.Capacity(), 13U);  // never shrinks

    const TTdbDataType* w = TTdbDataType::GetDataType(ctWideMemo, true, 6);
    TTdbDataValue m;
    w->SetWideString(m, u"x");
    EXPECT_EQ(m.Capacity(), 1U + 4U + 80U * 2U);  // at least 80 characters at once
    std::u16string longText(200, u'q');
    w->SetWideString(m, longText);
    EXPECT_EQ(m.Capacity(), 1U + 4U + 200U * 2U);
    EXPECT_EQ(w->GetWideString(m), longText);

    // A nullable String below level 6 keeps its indicator after the full area.
    const TTdbDataType* s5 = TTdbDataType::GetStringType(ctString, true, 20, u"", 5);
    TTdbDataValue l;
    s5->SetAnsiString(l, "ab");
    EXPECT_EQ(l.Capacity(), 22U);
    EXPECT_FALSE(s5->IsNull(l));
}

TEST(DataValueTest, AssigningFromItselfKeepsTheText) {
    const TTdbDataType* s = TTdbDataType::GetStringType(ctString, false, 30, u"", 6);
    TTdbDataValue v;
    s->SetAnsiString(v, "Kecskemet");
    s->SetAnsiString(v, s->GetPAnsiChar(v).substr(3));
    EXPECT_EQ(s->GetAnsiString(v), "skemet");
}

}  // namespace
}  // namespace tdb
