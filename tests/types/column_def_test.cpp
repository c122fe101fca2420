// Column definitions: factories and option bits, sizes, record layout, limits
// and the transfer form.
#include "types/column_def.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "platform/stream.h"
#include "table_def_fakes.h"

namespace tdb {
namespace {

using deftest::FakeCalculation;

const TTdbDataType* StringType(std::int32_t n, bool nullable, std::int16_t level = 6) {
    return TTdbDataType::GetStringType(ctString, nullable, n, u"", level);
}

const TTdbDataType* WideType(std::int32_t n, bool nullable, std::int16_t level = 6) {
    return TTdbDataType::GetStringType(ctWideString, nullable, n, u"", level);
}

std::int16_t EngineCode(const std::function<void()>& action) {
    try {
        action();
    } catch (const ETdbEngine& e) {
        return e.Code();
    }
    return 0;
}

// ---- Layout ----

class ColumnLayoutTest : public ::testing::Test {
protected:
    void SetUp() override {
        columns.Add(u"IRSZ", StringType(4, false), 0);
        columns.Add(u"TELEP", WideType(38, true), 0);
        columns.Add(u"TELK", TTdbDataType::GetDataType(ctInteger, true, 6), 0);
    }

    std::vector<std::int32_t> Positions() const {
        std::vector<std::int32_t> positions;
        for (int i = 0; i < columns.GetCount(); ++i) {
            positions.push_back(columns.GetColumnDef(i)->Position);
        }
        return positions;
    }

    TTdbColumnDefs columns;
};

TEST_F(ColumnLayoutTest, ColumnsLieOneAfterAnotherWithoutGaps) {
    EXPECT_EQ(Positions(), (std::vector<std::int32_t>{0, 5, 84}));
    EXPECT_EQ(columns.GetColumnDef(1)->Size, 79);  // indicator, 2-byte length, 38 units
    EXPECT_EQ(columns.GetRecordSize(), 89);
    EXPECT_EQ(TTdbColumnDefs().GetRecordSize(), 0);
}

TEST_F(ColumnLayoutTest, AddingLaysOutOnlyTheNewColumn) {
    columns.GetColumnDef(1)->Position = 1000;  // stale on purpose
    int index = columns.Add(u"N", TTdbDataType::GetDataType(ctByte, false, 6), 0);
    EXPECT_EQ(index, 3);
    EXPECT_EQ(Positions(), (std::vector<std::int32_t>{0, 1000, 84, 89}));
}

TEST_F(ColumnLayoutTest, DeleteLeavesPositionsUntilTheListIsLaidOutAgain) {
    columns.Delete(1);
    ASSERT_EQ(columns.GetCount(), 2);
    EXPECT_EQ(Positions(), (std::vector<std::int32_t>{0, 84}));
    columns.ColumnDefChanged();
    EXPECT_EQ(Positions(), (std::vector<std::int32_t>{0, 5}));
    EXPECT_EQ(columns.GetRecordSize(), 10);
    EXPECT_THROW(columns.Delete(2), std::out_of_range);
}

TEST_F(ColumnLayoutTest, ReplaceLaysOutFromTheReplacedColumnOn) {
    columns.GetColumnDef(0)->Position = 7;  // before the replaced one: left alone
    columns.Replace(1, TTdbColumnDef::CreateColumnDef(u"TELEP", StringType(10, false), 0));
    EXPECT_EQ(Positions(), (std::vector<std::int32_t>{7, 12, 23}));
    EXPECT_EQ(columns.GetColumnDef(1)->Size, 11);
    EXPECT_THROW(columns.Replace(3, TTdbColumnDef::CreateColumnDef(u"X", StringType(1, false), 0)),
                 std::out_of_range);
}

TEST_F(ColumnLayoutTest, FindComparesNamesWithoutCaseAndAccents) {
    EXPECT_EQ(columns.Find(u"Telep"), 1);
    EXPECT_EQ(columns.Find(u"irsz"), 0);
    EXPECT_EQ(columns.Find(u"TÉLEP"), 1);
    EXPECT_EQ(columns.Find(u"Telepules"), -1);
    EXPECT_EQ(columns.FindFirst(ctAutoInc), nullptr);
    columns.Add(u"ID", TTdbDataType::GetDataType(ctAutoInc, false, 6), 0);
    ASSERT_NE(columns.FindFirst(ctAutoInc), nullptr);
    EXPECT_EQ(columns.FindFirst(ctAutoInc)->Name, u"ID");
}

TEST_F(ColumnLayoutTest, CopiesAreDeep) {
    columns.GetColumnDef(2)->SetCalculation(std::make_unique<FakeCalculation>(u"1", tesTableSQL));
    TTdbColumnDefs copy(columns);
    ASSERT_EQ(copy.GetCount(), 3);
    EXPECT_NE(copy.GetColumnDef(2), columns.GetColumnDef(2));
    ASSERT_NE(copy.GetColumnDef(2)->GetCalculation(), nullptr);
    EXPECT_NE(copy.GetColumnDef(2)->GetCalculation(), columns.GetColumnDef(2)->GetCalculation());
    EXPECT_EQ(copy.GetColumnDef(2)->GetCalculationSource(), u"1");
    EXPECT_NE(dynamic_cast<TTdbTextColumnDef*>(copy.GetColumnDef(1)), nullptr);
}

TEST(ColumnLimitsTest, ThousandColumnsAndRecordsBelow32KB) {
    TTdbColumnDefs columns;
    const TTdbDataType* byteType = TTdbDataType::GetDataType(ctByte, false, 6);
    for (int i = 0; i < kTdbMaxColumns; ++i) {
        columns.Add(u"C", byteType, 0);
    }
    EXPECT_EQ(EngineCode([&] { columns.Add(u"C", byteType, 0); }), 59);
    EXPECT_EQ(columns.GetCount(), kTdbMaxColumns);

    TTdbColumnDefs wide;
    wide.Add(u"S", StringType(32764, false), 0);  // 32766 bytes
    wide.Add(u"B", byteType, 0);                  // 32767: the largest record
    EXPECT_EQ(EngineCode([&] { wide.Add(u"B2", byteType, 0); }), 59);
    EXPECT_EQ(EngineCode([&] {
                  wide.Replace(1, TTdbColumnDef::CreateColumnDef(
                                      u"I", TTdbDataType::GetDataType(ctSmallInt, false, 6), 0));
              }),
              59);
    EXPECT_EQ(wide.GetCount(), 2);
    EXPECT_EQ(wide.GetRecordSize(), 32767);
    EXPECT_EQ(wide.GetColumnDef(1)->Name, u"B");
}

// ---- Sizes ----

struct SizeCase {
    const char* what;
    const TTdbDataType* type;
    std::int16_t size;
};

TEST(ColumnSizeTest, SizesFollowTheTypeAndItsNullByte) {
    const SizeCase cases[] = {
        {"String(10) nullable, level 6", StringType(10, true), 12},
        {"String(10)", StringType(10, false), 11},
        {"String(255)", StringType(255, false), 256},
        {"String(256)", StringType(256, false), 258},
        {"String(300) nullable", StringType(300, true), 303},
        {"WideString(10)", WideType(10, false), 22},
        {"WideString(10) nullable", WideType(10, true), 23},
        {"Char", TTdbDataType::GetDataType(ctChar, false, 6), 1},
        {"Char nullable", TTdbDataType::GetDataType(ctChar, true, 6), 2},
        {"Time precision 1", TTdbDataType::GetDateTimeType(ctTime, false, 1, 6), 2},
        {"Time precision 2", TTdbDataType::GetDateTimeType(ctTime, false, 2, 6), 2},
        {"Time precision 3", TTdbDataType::GetDateTimeType(ctTime, false, 3, 6), 4},
        {"Time precision 4 nullable", TTdbDataType::GetDateTimeType(ctTime, true, 4, 6), 5},
        {"Time precision 2 nullable", TTdbDataType::GetDateTimeType(ctTime, true, 2, 6), 3},
        {"Memo nullable", TTdbDataType::GetDataType(ctMemo, true, 6), 4},
        {"WideMemo", TTdbDataType::GetDataType(ctWideMemo, false, 6), 4},
        {"Blob nullable", TTdbDataType::GetDataType(ctBlob, true, 6), 4},
        {"Integer nullable", TTdbDataType::GetDataType(ctInteger, true, 6), 5},
        {"AutoInc", TTdbDataType::GetDataType(ctAutoInc, false, 6), 4},
        {"Date nullable", TTdbDataType::GetDataType(ctDate, true, 6), 4},
        {"TimeStamp", TTdbDataType::GetDataType(ctTimeStamp, false, 6), 8},
        {"Guid nullable", TTdbDataType::GetDataType(ctGuid, true, 6), 17},
        {"Relation", TTdbDataType::GetDataType(ctRelation, false, 6), 0},
    };
    for (const SizeCase& c : cases) {
        ASSERT_NE(c.type, nullptr) << c.what;
        std::unique_ptr<TTdbColumnDef> column = TTdbColumnDef::CreateColumnDef(u"C", c.type, 0);
        ASSERT_NE(column, nullptr) << c.what;
        EXPECT_EQ(column->Size, c.size) << c.what;
    }
}

// ---- Factories and options ----

struct ClassCase {
    TTdbColumnType code;
    const char* expectedClass;
};

const char* ClassOf(const TTdbColumnDef& column) {
    if (dynamic_cast<const TTdbTextColumnDef*>(&column))
        return "text";
    if (dynamic_cast<const TTdbNumberColumnDef*>(&column))
        return "number";
    if (dynamic_cast<const TTdbTimeColumnDef*>(&column))
        return "time";
    if (dynamic_cast<const TTdbEnumColumnDef*>(&column))
        return "enum";
    if (dynamic_cast<const TTdbRecordIdColumnDef*>(&column))
        return "recordid";
    if (dynamic_cast<const TTdbAdlColumnDef*>(&column))
        return "adl";
    return "plain";
}

TEST(ColumnFactoryTest, EachTypeGetsItsClass) {
    const ClassCase cases[] = {
        {ctChar, "text"},      {ctMemo, "text"},        {ctWideMemo, "text"},   {ctFloat, "number"},
        {ctTime, "time"},      {ctAutoInc, "recordid"}, {ctLink, "adl"},        {ctRelation, "adl"},
        {ctSmallInt, "plain"}, {ctByte, "plain"},       {ctBoolean, "plain"},   {ctDate, "plain"},
        {ctBlob, "plain"},     {ctInteger, "plain"},    {ctTimeStamp, "plain"}, {ctBigInt, "plain"},
        {ctGuid, "plain"},
    };
    for (const ClassCase& c : cases) {
        const TTdbDataType* type = TTdbDataType::GetDataType(c.code, false, 6);
        ASSERT_NE(type, nullptr) << c.code;
        auto column = TTdbColumnDef::CreateColumnDef(u"C", type, 0);
        ASSERT_NE(column, nullptr) << c.code;
        EXPECT_STREQ(ClassOf(*column), c.expectedClass) << c.code;
        EXPECT_EQ(column->GetColumnType(), c.code);
    }
    EXPECT_STREQ(ClassOf(*TTdbColumnDef::CreateColumnDef(u"S", StringType(5, false), 0)), "text");
    EXPECT_STREQ(ClassOf(*TTdbColumnDef::CreateColumnDef(u"W", WideType(5, false), 0)), "text");
    EXPECT_EQ(TTdbColumnDef::CreateColumnDef(u"C", nullptr, 0), nullptr);

    auto recordId =
        TTdbColumnDef::CreateColumnDef(u"ID", TTdbDataType::GetDataType(ctAutoInc, false, 6), 0);
    auto* id = dynamic_cast<TTdbRecordIdColumnDef*>(recordId.get());
    ASSERT_NE(id, nullptr);
    EXPECT_TRUE(id->IndexSpec.empty());
    EXPECT_EQ(id->StartValue, 1);  // 0 would be the NULL record id
    EXPECT_FALSE(id->GetUniqueIdInfo());
    id->SetUniqueIdInfo(true);
    EXPECT_EQ(id->Options, cdoUniqueId);
    id->SetUniqueIdInfo(false);
    EXPECT_EQ(id->Options, 0u);

    TTdbAdlColumnDef link(u"L", TTdbDataType::GetDataType(ctLink, false, 6), 0, u"Other");
    EXPECT_EQ(link.GetStartValue(), 1);
    EXPECT_EQ(link.LinkedTable, u"Other");
}

TEST(ColumnFactoryTest, NullByteBitFollowsTheType) {
    struct Case {
        const TTdbDataType* type;
        TTdbColumnOptions options;
        TTdbColumnOptions expected;
    };
    const Case cases[] = {
        {TTdbDataType::GetDataType(ctInteger, true, 6), cdoNullable, cdoNullable | cdoNullByte},
        {TTdbDataType::GetDataType(ctInteger, false, 6), cdoNullByte | cdoFormula, cdoFormula},
        {TTdbDataType::GetDataType(ctMemo, true, 6), cdoNullable | cdoNullByte, cdoNullable},
        {TTdbDataType::GetDataType(ctBlob, true, 6), cdoNullable, cdoNullable},
        {TTdbDataType::GetDataType(ctWideMemo, true, 6), cdoNullable, cdoNullable},
        {TTdbDataType::GetDataType(ctDate, true, 6), cdoNullable | cdoNullByte, cdoNullable},
        {StringType(10, true), cdoNullable, cdoNullable | cdoNullByte},
    };
    for (const Case& c : cases) {
        auto column = TTdbColumnDef::CreateColumnDef(u"C", c.type, c.options);
        EXPECT_EQ(column->Options, c.expected) << c.type->GetColumnType();
    }
    auto text =
        TTdbColumnDef::CreateStringColumnDef(u"T", WideType(38, true), cdoNullable, u"Hungarian");
    auto* textDef = dynamic_cast<TTdbTextColumnDef*>(text.get());
    ASSERT_NE(textDef, nullptr);
    EXPECT_EQ(textDef->FCollationName, u"Hungarian");
    EXPECT_EQ(textDef->Options, cdoNullable | cdoNullByte);
    EXPECT_EQ(textDef->GetMaxLen(), 38);
}

TEST(ColumnFactoryTest, NullTypeBecomesANullableByteOfItsLevel) {
    const TTdbDataType* nullType = TTdbDataType::GetNullType();
    auto column = TTdbColumnDef::CreateColumnDef(u"N", nullType, 0);
    ASSERT_NE(column, nullptr);
    EXPECT_EQ(column->GetColumnType(), ctByte);
    EXPECT_TRUE(column->DataType->GetNullable());
    EXPECT_EQ(column->DataType->GetLevel(), nullType->GetLevel());
    EXPECT_EQ(column->Size, 2);
    EXPECT_TRUE(column->GetHasNullByte());
}

TEST(ColumnOptionsTest, SetNullableSwapsTheTypeAndTheBits) {
    auto column = TTdbColumnDef::CreateColumnDef(u"S", StringType(10, false), cdoFormula);
    column->SetNullable(true, 6);
    EXPECT_TRUE(column->DataType->GetNullable());
    EXPECT_EQ(column->Size, 12);
    EXPECT_EQ(column->Options, cdoFormula | cdoNullable | cdoNullByte);
    EXPECT_TRUE(column->GetNullable());
    EXPECT_TRUE(column->GetHasNullByte());
    column->SetNullable(false, 6);
    EXPECT_EQ(column->Size, 11);
    EXPECT_EQ(column->Options, cdoFormula);

    auto memo =
        TTdbColumnDef::CreateColumnDef(u"M", TTdbDataType::GetDataType(ctMemo, false, 6), 0);
    memo->SetNullable(true, 6);
    EXPECT_EQ(memo->Options, cdoNullable);
    EXPECT_EQ(memo->Size, 4);

    // A type that may not be nullable at that level stays as it is.
    auto id =
        TTdbColumnDef::CreateColumnDef(u"ID", TTdbDataType::GetDataType(ctAutoInc, false, 6), 0);
    id->SetNullable(true, 6);
    EXPECT_FALSE(id->GetNullable());
    EXPECT_FALSE(id->DataType->GetNullable());
    auto old = TTdbColumnDef::CreateColumnDef(u"S", StringType(10, false, 3), 0);
    old->SetNullable(true, 3);
    EXPECT_FALSE(old->GetNullable());
    EXPECT_EQ(old->Size, 11);
}

TEST(ColumnOptionsTest, SetTableLevelMovesTheTypeAndDropsTheDateNullByte) {
    auto date = TTdbColumnDef::CreateColumnDef(u"D", TTdbDataType::GetDataType(ctDate, true, 5),
                                               cdoNullable);
    date->Options |= cdoNullByte;  // as an old header may carry it
    date->SetTableLevel(6);
    EXPECT_EQ(date->DataType->GetLevel(), 6);
    EXPECT_EQ(date->Options, cdoNullable);

    auto number = TTdbColumnDef::CreateColumnDef(
        u"N", TTdbDataType::GetDataType(ctInteger, true, 6), cdoNullable);
    number->SetTableLevel(4);
    EXPECT_EQ(number->DataType->GetLevel(), 4);
    EXPECT_EQ(number->Size, number->DataType->GetDataSize());
    EXPECT_EQ(number->Options & cdoNullByte, cdoNullByte);
}

TEST(ColumnOptionsTest, CalculationPurposesFollowTheOptionBits) {
    auto column =
        TTdbColumnDef::CreateColumnDef(u"N", TTdbDataType::GetDataType(ctInteger, false, 6), 0);
    EXPECT_TRUE(column->GetCalculationPurposes().none());  // no calculation
    EXPECT_EQ(column->GetCalculationSource(), u"");

    column->SetCalculation(std::make_unique<FakeCalculation>(u"$A+1", tesTablePL));
    EXPECT_EQ(column->GetCalculationSource(), u"$A+1");
    struct Case {
        TTdbColumnOptions options;
        TTdbCalculationPurpose purpose;
    };
    for (Case c : {Case{0, clpInitialization}, Case{cdoAppendOnly, clpInitialization},
                   Case{cdoFormula | cdoAppendOnly, clpAppending}, Case{cdoFormula, clpUpdating}}) {
        column->Options = c.options;
        TTdbCalculationPurposes purposes = column->GetCalculationPurposes();
        EXPECT_EQ(purposes.count(), 1u) << c.options;
        EXPECT_TRUE(purposes.test(c.purpose)) << c.options;
    }
}

TEST(ColumnSubclassTest, NumberTimeAndTextReadTheirType) {
    TTdbNumberColumnDef number(u"F", TTdbDataType::GetFloatType(true, 2, 6), cdoNullable);
    EXPECT_EQ(number.FPrecision, 15);
    EXPECT_EQ(number.FScale, 2);
    number.SetScale(4);
    EXPECT_EQ(number.FScale, 4);
    auto* floatType = dynamic_cast<const TTdbFloatType*>(number.DataType);
    ASSERT_NE(floatType, nullptr);
    EXPECT_EQ(floatType->GetScale(), 4);
    EXPECT_TRUE(floatType->GetNullable());

    TTdbTimeColumnDef time(u"T", TTdbDataType::GetDateTimeType(ctTime, false, 2, 6), 0);
    EXPECT_EQ(time.FPrecision, 2);

    TTdbTextColumnDef memo(u"M", TTdbDataType::GetDataType(ctWideMemo, false, 6), 0, u"");
    EXPECT_EQ(memo.GetMaxLen(), kUnboundedLength);
    TTdbTextColumnDef character(u"C", TTdbDataType::GetDataType(ctChar, false, 6), 0, u"");
    EXPECT_EQ(character.GetMaxLen(), 1);

    TTdbTextColumnDef hungarian(
        u"H", TTdbDataType::GetStringType(ctWideString, false, 38, u"Hungarian", 6), 0,
        u"Hungarian");
    EXPECT_EQ(hungarian.GetCollation(), u"Hungarian");
    EXPECT_NE(hungarian.GetLocaleId(), 0u);
    EXPECT_EQ(number.GetCollation(), u"");
    EXPECT_EQ(number.GetLocaleId(), 0u);
    EXPECT_EQ(number.GetStrCmpOptions(), 0);
}

TEST(ColumnSubclassTest, EnumNamesAndValues) {
    TTdbEnumColumnDef colour(u"Szin", u"Piros,Zöld,Kék", cdoNullable, 6);
    EXPECT_EQ(colour.GetColumnType(), ctEnum);
    EXPECT_EQ(colour.FEnumNames, (std::vector<std::u16string>{u"Piros", u"Zöld", u"Kék"}));
    EXPECT_EQ(colour.CalcEnumValueList(u'\n'), u"Piros\nZöld\nKék");
    EXPECT_EQ(colour.Size, 1);
    EXPECT_EQ(colour.Options, cdoNullable);  // an enum's NULL is the value 0, no null byte

    EXPECT_EQ(colour.GetEnumValue(std::u16string(1, char16_t{3})), 3);
    EXPECT_EQ(colour.GetEnumValue(std::u16string(1, char16_t{15})), 15);
    EXPECT_EQ(colour.GetEnumValue(u"zold"), 2);
    EXPECT_EQ(colour.GetEnumValue(u"Kék"), 3);
    EXPECT_EQ(colour.GetEnumValue(u"Fekete"), -1);
    EXPECT_EQ(colour.GetEnumValue(u"P"), -1);  // a printable character is a name
    EXPECT_EQ(colour.GetEnumValue(std::u16string(1, char16_t{16})), -1);

    auto made = TTdbColumnDef::CreateColumnDef(u"Szin2", colour.DataType, 0);
    auto* madeEnum = dynamic_cast<TTdbEnumColumnDef*>(made.get());
    ASSERT_NE(madeEnum, nullptr);
    EXPECT_EQ(madeEnum->FEnumNames, colour.FEnumNames);
}

// ---- Transfer form ----

std::vector<std::byte> Saved(const TTdbColumnDef& column) {
    TdwMemoryStream stream;
    column.SaveToStream(stream);
    return stream.Data();
}

TEST(ColumnStreamTest, TransferFormLayout) {
    auto column = TTdbColumnDef::CreateColumnDef(
        u"AB", TTdbDataType::GetDataType(ctInteger, true, 6), cdoNullable);
    std::vector<std::byte> image = Saved(*column);
    ASSERT_EQ(image.size(), 4u + 4 + 4 + 4 + 2);
    EXPECT_EQ(LoadLE<std::int32_t>(image.data() + 4), 2);  // name length in characters
    EXPECT_EQ(LoadLE<std::uint16_t>(image.data() + 8), u'A');
    EXPECT_EQ(LoadLE<std::uint16_t>(image.data() + 10), u'B');
    EXPECT_EQ(LoadLE<std::uint32_t>(image.data() + 12), cdoNullable | cdoNullByte);
    EXPECT_EQ(LoadLE<std::int16_t>(image.data() + 16), 5);
}

TEST(ColumnStreamTest, EveryClassRoundTrips) {
    TTdbNumberColumnDef number(u"Összeg", TTdbDataType::GetFloatType(true, 2, 6), cdoNullable);
    TTdbTimeColumnDef time(u"Ido", TTdbDataType::GetDateTimeType(ctTime, true, 3, 6), cdoNullable);
    TTdbEnumColumnDef colour(u"Szin", u"Piros,Zöld", 0, 6);
    TTdbRecordIdColumnDef id(u"ID", TTdbDataType::GetDataType(ctAutoInc, false, 6), cdoUniqueId,
                             u"ID");
    TTdbAdlColumnDef link(u"L", TTdbDataType::GetDataType(ctLink, false, 6), 0, u"Irsz");

    TdwMemoryStream stream;
    for (const TTdbColumnDef* column :
         std::initializer_list<const TTdbColumnDef*>{&number, &time, &colour, &id, &link}) {
        column->SaveToStream(stream);
    }
    stream.SetPosition(0);

    TTdbNumberColumnDef number2(u"x", TTdbDataType::GetFloatType(false, 0, 6), 0);
    TTdbTimeColumnDef time2(u"x", TTdbDataType::GetDateTimeType(ctTime, false, 1, 6), 0);
    TTdbEnumColumnDef colour2(u"x", u"A", 0, 6);
    TTdbRecordIdColumnDef id2(u"x", TTdbDataType::GetDataType(ctAutoInc, false, 6), 0);
    TTdbAdlColumnDef link2(u"x", TTdbDataType::GetDataType(ctLink, false, 6), 0);
    number2.LoadFromStream(stream);
    time2.LoadFromStream(stream);
    colour2.LoadFromStream(stream);
    id2.LoadFromStream(stream);
    link2.LoadFromStream(stream);
    EXPECT_EQ(stream.Position(), stream.Size());

    EXPECT_EQ(number2.Name, u"Összeg");
    EXPECT_EQ(number2.Options, number.Options);
    EXPECT_EQ(number2.Size, 9);
    EXPECT_EQ(number2.FPrecision, 15);
    EXPECT_EQ(number2.FScale, 2);
    EXPECT_EQ(time2.FPrecision, 3);
    EXPECT_EQ(time2.Size, 5);
    EXPECT_EQ(colour2.FEnumNames, colour.FEnumNames);
    EXPECT_EQ(id2.IndexSpec, u"ID");
    EXPECT_TRUE(id2.GetUniqueIdInfo());
    EXPECT_EQ(link2.LinkedTable, u"Irsz");
    // The type does not travel.
    EXPECT_EQ(number2.DataType, TTdbDataType::GetFloatType(false, 0, 6));
}

TEST(ColumnStreamTest, DamagedStreamsRaiseAndChangeNothing) {
    TTdbEnumColumnDef colour(u"Szin", u"Piros,Zöld,Kék", 0, 6);
    std::vector<std::byte> image = Saved(colour);

    for (std::size_t cut = 0; cut < image.size(); ++cut) {
        TTdbEnumColumnDef target(u"Cél", u"A,B", 0, 6);
        TdwMemoryStream stream(std::vector<std::byte>(image.begin(), image.begin() + cut));
        EXPECT_THROW(target.LoadFromStream(stream), EdwStreamError) << cut;
        EXPECT_EQ(target.Name, u"Cél") << cut;
        EXPECT_EQ(target.FEnumNames, (std::vector<std::u16string>{u"A", u"B"})) << cut;
    }

    struct Patch {
        const char* what;
        std::size_t offset;
        std::int64_t value;
        int bytes;
    };
    const std::size_t afterName = 4 + 4 + 2 * 4;
    const std::size_t countOffset = afterName + 4 + 2;
    const Patch patches[] = {
        {"name length beyond the data", 4, 0x7FFFFFFF, 4},
        {"negative name length", 4, -1, 4},
        {"negative size", afterName + 4, -5, 2},
        {"enum count beyond the data", countOffset, 200, 2},
        {"negative enum count", countOffset, -2, 2},
        {"enum name length beyond the data", countOffset + 2, 0x40000000, 4},
    };
    for (const Patch& p : patches) {
        std::vector<std::byte> damaged = image;
        if (p.bytes == 4) {
            StoreLE<std::int32_t>(damaged.data() + p.offset, static_cast<std::int32_t>(p.value));
        } else {
            StoreLE<std::int16_t>(damaged.data() + p.offset, static_cast<std::int16_t>(p.value));
        }
        TTdbEnumColumnDef target(u"Cél", u"A,B", 0, 6);
        TdwMemoryStream stream(damaged);
        EXPECT_THROW(target.LoadFromStream(stream), EdwStreamError) << p.what;
        EXPECT_EQ(target.Name, u"Cél") << p.what;
        EXPECT_EQ(target.FEnumNames.size(), 2u) << p.what;
    }
}

}  // namespace
}  // namespace tdb
