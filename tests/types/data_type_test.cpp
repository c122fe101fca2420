// The type registry and the descriptors: shared instances, limits, column
// images and sizes per type and level, NULL markers and names.
#include "types/data_type.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "base/engine_error.h"

namespace tdb {
namespace {

std::int16_t EngineCode(const std::function<void()>& action, std::u16string* message = nullptr) {
    try {
        action();
    } catch (const ETdbEngine& e) {
        if (message != nullptr) {
            *message = e.Message();
        }
        return e.Code();
    }
    return 0;
}

TEST(DataTypeRegistryTest, SameParametersShareOneInstance) {
    EXPECT_EQ(TTdbDataType::GetDataType(ctInteger, true, 6),
              TTdbDataType::GetDataType(ctInteger, true, 6));
    EXPECT_NE(TTdbDataType::GetDataType(ctInteger, true, 6),
              TTdbDataType::GetDataType(ctInteger, false, 6));
    EXPECT_NE(TTdbDataType::GetDataType(ctInteger, true, 6),
              TTdbDataType::GetDataType(ctInteger, true, 5));
    EXPECT_EQ(TTdbDataType::GetStringType(ctString, true, 40, u"", 6),
              TTdbDataType::GetStringType(ctString, true, 40, u"", 6));
    EXPECT_NE(TTdbDataType::GetStringType(ctString, true, 40, u"", 6),
              TTdbDataType::GetStringType(ctString, true, 41, u"", 6));
    EXPECT_NE(TTdbDataType::GetStringType(ctString, true, 40, u"", 6),
              TTdbDataType::GetStringType(ctString, true, 40, u"Hungarian", 6));
    // Memo ignores the length.
    EXPECT_EQ(TTdbDataType::GetStringType(ctMemo, true, 10, u"", 6),
              TTdbDataType::GetDataType(ctMemo, true, 6));
    EXPECT_EQ(TTdbDataType::GetDateTimeType(ctTime, true, 2, 6),
              TTdbDataType::GetDateTimeType(ctTime, true, 2, 6));
    EXPECT_NE(TTdbDataType::GetDateTimeType(ctTime, true, 2, 6),
              TTdbDataType::GetDateTimeType(ctTime, true, 3, 6));
    EXPECT_EQ(TTdbDataType::GetDataType(ctDate, false, 6),
              TTdbDataType::GetDateTimeType(ctDate, false, 4, 6));
    // Twins differ only in the one parameter.
    const TTdbDataType* s = TTdbDataType::GetStringType(ctString, false, 40, u"Hungarian", 6);
    EXPECT_EQ(s->GetNullableType(true),
              TTdbDataType::GetStringType(ctString, true, 40, u"Hungarian", 6));
    EXPECT_EQ(s->GetLevelType(5),
              TTdbDataType::GetStringType(ctString, false, 40, u"Hungarian", 5));
}

TEST(DataTypeRegistryTest, GetDataTypeCoversFixedKindsOnly) {
    for (TTdbColumnType code : {ctString, ctEnum, ctWideString, TTdbColumnType{14},
                                TTdbColumnType{15}, TTdbColumnType{22}}) {
        EXPECT_EQ(TTdbDataType::GetDataType(code, false, 6), nullptr) << code;
    }
    EXPECT_EQ(TTdbDataType::GetDataType(ctNull, true, 6), TTdbDataType::GetNullType());
    EXPECT_EQ(TTdbDataType::GetDataType(ctBlob, true, 6)->GetTplName(), u"Blob");
    EXPECT_FALSE(TTdbDataType::GetDataType(ctBlob, true, 6)->IsIntegerFamily());
    EXPECT_TRUE(TTdbDataType::GetIntegerType(ctBlob, false, 6)->IsIntegerFamily());
    EXPECT_EQ(TTdbDataType::GetIntegerType(ctBlob, false, 6)->GetSqlName(), u"Blob");
}

TEST(DataTypeRegistryTest, StringLengthLimitsRaise189) {
    struct Case {
        TTdbColumnType code;
        std::int32_t length;
        bool ok;
    };
    for (Case c : {Case{ctString, 32764, true}, Case{ctString, 32765, false},
                   Case{ctString, 0, false}, Case{ctWideString, 16382, true},
                   Case{ctWideString, 16383, false}, Case{ctWideString, 1, true}}) {
        std::u16string message;
        std::int16_t code = EngineCode(
            [&] { TTdbDataType::GetStringType(c.code, false, c.length, u"", 6); }, &message);
        EXPECT_EQ(code, c.ok ? 0 : 189) << c.code << " " << c.length;
    }
    std::u16string message;
    EngineCode([] { TTdbDataType::GetStringType(ctWideString, false, 16383, u"", 6); }, &message);
    EXPECT_EQ(
        message,
        u"String type has a length of 16383, which is outside the allowed range of 1 to 16382");
    EXPECT_EQ(EngineCode([] { TTdbDataType::GetStringType(ctString, false, 5, u"Klingon", 6); }),
              138);
}

TEST(DataTypeRegistryTest, ApproxStringTypesRoundToTheGrid) {
    struct Case {
        TTdbColumnType code;
        std::int32_t asked;
        std::int32_t got;
    };
    for (Case c : {Case{ctString, 1, 10}, Case{ctString, 10, 10}, Case{ctString, 11, 20},
                   Case{ctString, 100, 100}, Case{ctString, 101, 200}, Case{ctString, 1001, 2000},
                   Case{ctString, 10001, 32764}, Case{ctWideString, 10001, 16382},
                   Case{ctWideString, 9999, 10000}}) {
        EXPECT_EQ(TTdbDataType::GetApproxStringType(c.code, true, c.asked, u"", 6)->GetMaxLength(),
                  c.got)
            << c.asked;
    }
}

TEST(DataTypeRegistryTest, StringLengthsFollowFromImageSizes) {
    struct Case {
        TTdbColumnType code;
        bool nullable;
        std::int32_t size;
        std::int32_t length;
    };
    for (Case c : {Case{ctString, false, 11, 10}, Case{ctString, false, 256, 255},
                   Case{ctString, false, 258, 256}, Case{ctString, true, 12, 10},
                   Case{ctString, true, 257, 255}, Case{ctString, true, 259, 256},
                   Case{ctWideString, false, 22, 10}, Case{ctWideString, true, 23, 10}}) {
        auto* type = static_cast<const TTdbStringType*>(
            TTdbDataType::GetDataType(c.code, c.nullable, c.size, 6));
        ASSERT_NE(type, nullptr);
        EXPECT_EQ(type->GetMaxLength(), c.length) << c.size;
        EXPECT_EQ(type->GetDataSize(), c.size) << c.size;
    }
}

TEST(DataTypeRegistryTest, ScriptAndVariableTypes) {
    const TTdbDataType* t = TTdbDataType::GetTablePLDataType(ctSmallInt);
    EXPECT_EQ(t, TTdbDataType::GetDataType(ctBigInt, true, 6));
    t = TTdbDataType::GetTablePLDataType(ctEnum);
    EXPECT_EQ(t, TTdbDataType::GetDataType(ctByte, false, 6));
    auto* s = static_cast<const TTdbStringType*>(TTdbDataType::GetTablePLDataType(ctWideString));
    EXPECT_EQ(s->GetMaxLength(), 16382);
    EXPECT_TRUE(s->GetNullable());
    EXPECT_EQ(TTdbDataType::GetTablePLDataType(ctTimeStamp),
              TTdbDataType::GetDataType(ctTimeStamp, true, 6));

    const TTdbDataType* memo = TTdbDataType::GetStringType(ctMemo, true, 0, u"Hungarian", 5);
    auto* v = static_cast<const TTdbStringType*>(TTdbDataType::GetVariableType(memo));
    EXPECT_EQ(v->GetColumnType(), ctString);
    EXPECT_EQ(v->GetCollationName(), u"Hungarian");
    EXPECT_EQ(v->GetLevel(), 5);
    EXPECT_TRUE(v->GetNullable());
    const TTdbDataType* i = TTdbDataType::GetDataType(ctInteger, false, 6);
    EXPECT_EQ(TTdbDataType::GetVariableType(i), i);
}

TEST(DataTypeRegistryTest, EnumTypesFromNameTexts) {
    auto* e = static_cast<const TTdbEnumType*>(
        TTdbDataType::GetEnumType(u"Colour", u"red,,'b,lue',green", u',', u'\'', false, 6));
    std::vector<TTdbEnumItem> expected = {{u"red", 1}, {u"Enum2", 2}, {u"b,lue", 3}, {u"green", 4}};
    EXPECT_EQ(e->GetEnumItems(), expected);
    EXPECT_EQ(e->GetName(), u"Colour");
    EXPECT_EQ(e, TTdbDataType::GetEnumType(u"Colour", expected, false, 6));
    EXPECT_NE(e, TTdbDataType::GetEnumType(u"Colour", std::span(expected).first(3), false, 6));
}

TEST(DataTypeDescriptorTest, MayBeNullableByLevel) {
    EXPECT_FALSE(TTdbDataType::MayBeNullable(ctAutoInc, 6));
    EXPECT_TRUE(TTdbDataType::MayBeNullable(ctString, 4));
    for (TTdbColumnType code : {ctChar, ctString, ctAutoInc, ctWideString}) {
        EXPECT_FALSE(TTdbDataType::MayBeNullable(code, 3)) << code;
    }
    EXPECT_TRUE(TTdbDataType::MayBeNullable(ctInteger, 1));
}

struct SizeCase {
    const TTdbDataType* type;
    std::int32_t size;
    bool nullByte;
};

TEST(DataTypeDescriptorTest, ImageSizesAndNullBytes) {
    auto T = [](TTdbColumnType c, bool n) { return TTdbDataType::GetDataType(c, n, 6); };
    std::vector<SizeCase> cases = {
        {T(ctChar, false), 1, false},
        {T(ctChar, true), 2, true},
        {T(ctSmallInt, true), 3, true},
        {T(ctFloat, true), 9, true},
        {T(ctByte, false), 1, false},
        {T(ctBoolean, true), 2, true},
        {T(ctDate, true), 4, false},
        {T(ctMemo, true), 4, true},
        {T(ctAutoInc, true), 4, false},
        {T(ctLink, true), 4, false},
        {T(ctBlob, true), 4, false},
        {T(ctRelation, true), 0, false},
        {T(ctTime, true), 5, true},
        {TTdbDataType::GetDateTimeType(ctTime, true, 2, 6), 3, true},
        {TTdbDataType::GetDateTimeType(ctTime, false, 1, 6), 2, false},
        {TTdbDataType::GetDateTimeType(ctTime, false, 7, 6), 2, false},
        {T(ctInteger, true), 5, true},
        {T(ctTimeStamp, true), 8, false},
        {T(ctBigInt, true), 9, true},
        {T(ctGuid, true), 17, true},
        {T(ctGuid, false), 16, false},
        {T(ctNull, true), 0, false},
        {TTdbDataType::GetStringType(ctString, true, 10, u"", 6), 12, true},
        {TTdbDataType::GetStringType(ctString, false, 300, u"", 6), 302, false},
        {TTdbDataType::GetStringType(ctWideString, false, 10, u"", 6), 22, false},
        {TTdbDataType::GetEnumType(u"E", u"a,b", u',', 0, true, 6), 1, false},
        // Nullable at level 3 where Integer may be nullable; SmallInt too.
        {TTdbDataType::GetDataType(ctSmallInt, true, 3), 3, true},
    };
    for (const SizeCase& c : cases) {
        EXPECT_EQ(c.type->GetDataSize(), c.size) << c.type->GetColumnType();
        EXPECT_EQ(c.type->GetHasNullByte(), c.nullByte) << c.type->GetColumnType();
    }
}

TEST(DataTypeDescriptorTest, NamesOfTypes) {
    auto T = [](TTdbColumnType c, bool n) { return TTdbDataType::GetDataType(c, n, 6); };
    EXPECT_EQ(T(ctChar, true)->GetSqlName(), u"CHAR(1)");
    EXPECT_EQ(T(ctChar, false)->GetSqlName(), u"CHAR(1) NOT NULL");
    EXPECT_EQ(T(ctAutoInc, false)->GetSqlName(), u"RecordId");
    EXPECT_EQ(T(ctTimeStamp, false)->GetTplName(), u"DateTime");
    EXPECT_EQ(T(ctFloat, false)->GetTplName(), u"Real");
    EXPECT_EQ(T(ctWideMemo, false)->GetSqlName(), u"LONGVARWCHAR");
    EXPECT_EQ(TTdbDataType::GetStringType(ctString, false, 38, u"Hungarian", 6)->GetSqlName(),
              u"VARCHAR(38) COLLATE Hungarian");
    EXPECT_EQ(TTdbDataType::GetStringType(ctString, false, 38, u"", 6)->GetSqlName(),
              u"VARCHAR(38)");
    EXPECT_EQ(TTdbDataType::GetStringType(ctWideString, false, 4, u"", 6)->GetSqlName(),
              u"VARWCHAR(4)");
    EXPECT_EQ(TTdbDataType::GetNullType()->GetSqlName(), u"<null type>");
}

TEST(DataTypeDescriptorTest, CollationFieldsOfStringTypes) {
    auto* h = TTdbDataType::GetStringType(ctWideString, true, 38, u"Hungarian", 6);
    EXPECT_EQ(h->GetLocaleId(), 0x040EU);
    EXPECT_EQ(h->GetStrCmpOptions(), scoAccentSensitive);
    EXPECT_EQ(h->GetCollation().AnsiCodePage(), 1250);
    auto* b = TTdbDataType::GetStringType(ctString, true, 38, u"", 6);
    EXPECT_EQ(b->GetLocaleId(), kBuiltInLocaleId);
    EXPECT_EQ(b->GetStrCmpOptions(), scoLigatureSensitive | scoAccentSensitive);
    auto* f = static_cast<const TTdbFloatType*>(TTdbDataType::GetFloatType(true, 2, 6));
    EXPECT_EQ(f->GetPrecision(), 15);
    EXPECT_EQ(f->GetScale(), 2);
}

// A nullable column's indicator byte leads the image from level 6 and trails it below.
TEST(DataTypeImageTest, NullIndicatorPlacementByLevel) {
    struct Case {
        std::int16_t level;
        std::vector<std::uint8_t> value;  // image of 0x1234
        std::vector<std::uint8_t> null;   // after writing NULL
    };
    for (const Case& c :
         {Case{6, {1, 0x34, 0x12}, {0, 0x34, 0x12}}, Case{5, {0x34, 0x12, 1}, {0x34, 0x12, 0}}}) {
        const TTdbDataType* t = TTdbDataType::GetDataType(ctSmallInt, true, c.level);
        std::uint8_t record[3] = {};
        TTdbDataValue v;
        t->SetReference(v, record);
        t->SetInteger(v, 0x1234);
        EXPECT_EQ(std::vector<std::uint8_t>(record, record + 3), c.value);
        t->SetNull(v);
        EXPECT_EQ(std::vector<std::uint8_t>(record, record + 3), c.null);
        EXPECT_TRUE(t->IsNull(v));
    }
}

TEST(DataTypeImageTest, StringImagesByLevel) {
    // Level 5: prefix, full character area, then the indicator.
    const TTdbDataType* s5 = TTdbDataType::GetStringType(ctString, true, 4, u"", 5);
    TTdbDataValue v;
    s5->SetAnsiString(v, "ab");
    std::uint8_t image[6];
    std::memset(image, 0xEE, sizeof image);
    s5->CopyTo(v, image);
    EXPECT_EQ(std::vector<std::uint8_t>(image, image + 6),
              (std::vector<std::uint8_t>{2, 'a', 'b', 0, 0, 1}));
    // Level 6 wide: indicator, 2-byte prefix, UTF-16 little-endian.
    const TTdbDataType* w6 = TTdbDataType::GetStringType(ctWideString, true, 2, u"", 6);
    TTdbDataValue w;
    w6->SetWideString(w, u"\u0151");
    std::uint8_t wide[7];
    w6->CopyTo(w, wide);
    EXPECT_EQ(std::vector<std::uint8_t>(wide, wide + 7),
              (std::vector<std::uint8_t>{1, 1, 0, 0x51, 0x01, 0, 0}));
}

TEST(DataTypeImageTest, ZeroValuesReadAsNull) {
    std::uint8_t zeros[8] = {};
    for (TTdbColumnType code : {ctAutoInc, ctLink, ctDate, ctTimeStamp}) {
        const TTdbDataType* t = TTdbDataType::GetDataType(code, code != ctAutoInc, 6);
        TTdbDataValue v;
        t->SetReference(v, zeros);
        EXPECT_TRUE(t->IsNull(v)) << code;
    }
    const TTdbDataType* e = TTdbDataType::GetEnumType(u"E", u"a,b", u',', 0, false, 6);
    TTdbDataValue v;
    e->SetReference(v, zeros);
    EXPECT_TRUE(e->IsNull(v));
    // A Char is NULL exactly when its indicator is 0, whatever the character.
    const TTdbDataType* c = TTdbDataType::GetDataType(ctChar, true, 6);
    std::uint8_t ch[2] = {0, 'x'};
    c->SetReference(v, ch);
    EXPECT_TRUE(c->IsNull(v));
    ch[0] = 1;
    ch[1] = 0;
    EXPECT_FALSE(c->IsNull(v));
}

// The record keeps a Blob column as a 4-byte block number; a cell holds it
// inline like any other fixed-size image, not in the blob's byte buffer.
TEST(DataTypeImageTest, BlobBlockReferenceLivesInline) {
    for (bool nullable : {false, true}) {
        const TTdbDataType* ref = TTdbDataType::GetIntegerType(ctBlob, nullable, 6);
        TTdbDataValue v;
        ref->GetDefault(v);
        EXPECT_EQ(ref->GetInteger(v), 0);
        EXPECT_TRUE(ref->IsNull(v));  // block 0 is no blob
        ref->SetInteger(v, 0x01020304);
        EXPECT_EQ(ref->GetInteger(v), 0x01020304);
        EXPECT_FALSE(ref->IsNull(v));
        std::uint8_t image[4] = {};
        ref->CopyTo(v, image);
        EXPECT_EQ(std::vector<std::uint8_t>(image, image + 4),
                  (std::vector<std::uint8_t>{4, 3, 2, 1}));
        EXPECT_EQ(EngineCode([&] { ref->SetInteger(v, -1); }), 81);
        EXPECT_EQ(ref->GetInteger(v), 0x01020304);
        if (nullable) {
            ref->SetNull(v);
            EXPECT_TRUE(ref->IsNull(v));
        }
        // The Blob value type still keeps its bytes in a buffer of their own.
        const TTdbDataType* blob = TTdbDataType::GetDataType(ctBlob, nullable, 6);
        const std::uint8_t bytes[] = {9, 8, 7};
        blob->SetBytes(v, bytes);
        EXPECT_EQ(blob->GetSize(v), 3);
        ref->SetInteger(v, 5);
        EXPECT_EQ(ref->GetInteger(v), 5);
        EXPECT_TRUE(blob->GetBytes(v).empty());
    }
}

TEST(DataTypeImageTest, SetNullOnNotNullableRaises47) {
    TTdbDataValue v;
    std::u16string message;
    EXPECT_EQ(
        EngineCode([&] { TTdbDataType::GetDataType(ctInteger, false, 6)->SetNull(v); }, &message),
        47);
    EXPECT_EQ(message, u"\"Integer\" does not accept NULL values");
    EXPECT_EQ(
        EngineCode(
            [&] { TTdbDataType::GetEnumType(u"Colour", u"red", u',', 0, false, 6)->SetNull(v); },
            &message),
        47);
    EXPECT_EQ(message, u"\"Colour\" does not accept NULL values");
}

}  // namespace
}  // namespace tdb
