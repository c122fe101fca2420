// The exact bytes of column images, per type, nullability and table level:
// what a record or key holds is what other programs and older files read, so
// a swapped, mis-scaled or misplaced byte must fail here, not round-trip.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "types/data_type.h"

namespace tdb {
namespace {

using TBytes = std::vector<std::uint8_t>;

struct ImageCase {
    const char* name;
    const TTdbDataType* type;
    std::u16string text;  // the value, written and read through its text form
    TBytes image;         // little-endian; the indicator leads from level 6, trails below
};

const TTdbDataType* Fixed(TTdbColumnType code, bool nullable, std::int16_t level) {
    return TTdbDataType::GetDataType(code, nullable, level);
}

const TTdbDataType* Timed(TTdbColumnType code, bool nullable, std::int16_t precision,
                          std::int16_t level) {
    return TTdbDataType::GetDateTimeType(code, nullable, precision, level);
}

// 2 March 2015 packed: 2015 * 512 + 3 * 32 + 2 = 0x000FBE62.
const TBytes kDate = {0x62, 0xBE, 0x0F, 0x00};
// 12:34:56.789 as milliseconds: 45296789 = 0x02B32C95.
const TBytes kMilliseconds = {0x95, 0x2C, 0xB3, 0x02};
// 1.5 as an IEEE double: 0x3FF8000000000000.
const TBytes kOneAndAHalf = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F};
// 0x0102030405060708 = 72623859790382856.
const TBytes kBigInt = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
// {00112233-4455-6677-8899-AABBCCDDEEFF}: three little-endian parts, then eight bytes as written.
const TBytes kGuid = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                      0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

// The parts of an image one after another.
TBytes Join(std::initializer_list<TBytes> parts) {
    TBytes image;
    for (const TBytes& part : parts) {
        image.insert(image.end(), part.begin(), part.end());
    }
    return image;
}

std::vector<ImageCase> Cases() {
    const std::u16string guid = u"{00112233-4455-6677-8899-AABBCCDDEEFF}";
    const std::u16string big = u"72623859790382856";
    return {
        {"Char", Fixed(ctChar, false, 6), u"A", {0x41}},
        {"Char null byte L6", Fixed(ctChar, true, 6), u"A", {0x01, 0x41}},
        {"Char null byte L5", Fixed(ctChar, true, 5), u"A", {0x41, 0x01}},
        {"SmallInt L5", Fixed(ctSmallInt, true, 5), u"-2", {0xFE, 0xFF, 0x01}},
        {"Float", Fixed(ctFloat, false, 6), u"1.5", kOneAndAHalf},
        {"Float negative",
         Fixed(ctFloat, false, 6),
         u"-2.25",
         {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xC0}},
        {"Float null byte L6", Fixed(ctFloat, true, 6), u"1.5", Join({{0x01}, kOneAndAHalf})},
        {"Float null byte L5", Fixed(ctFloat, true, 5), u"1.5", Join({kOneAndAHalf, {0x01}})},
        {"Byte", Fixed(ctByte, false, 6), u"200", {0xC8}},
        {"Boolean L5", Fixed(ctBoolean, true, 5), u"True", {0x01, 0x01}},
        {"Date", Fixed(ctDate, false, 6), u"02.03.2015", kDate},
        {"Date nullable has no null byte", Fixed(ctDate, true, 5), u"02.03.2015", kDate},
        {"Date last day", Fixed(ctDate, false, 6), u"31.12.9999", {0x9F, 0x1F, 0x4E, 0x00}},
        {"AutoInc", Fixed(ctAutoInc, false, 6), u"7", {0x07, 0x00, 0x00, 0x00}},
        {"Link", Fixed(ctLink, true, 5), u"258", {0x02, 0x01, 0x00, 0x00}},
        {"Blob block reference",
         TTdbDataType::GetIntegerType(ctBlob, true, 6),
         u"258",
         {0x02, 0x01, 0x00, 0x00}},
        // Precision 1 and 2 keep minutes in 16 bits, 3 and 4 milliseconds in 32.
        {"Time hours", Timed(ctTime, false, 1, 6), u"12", {0xD0, 0x02}},
        {"Time minutes", Timed(ctTime, false, 2, 6), u"12:34", {0xF2, 0x02}},
        {"Time minutes null byte L5", Timed(ctTime, true, 2, 5), u"12:34", {0xF2, 0x02, 0x01}},
        {"Time seconds", Timed(ctTime, false, 3, 6), u"12:34:56", {0x80, 0x29, 0xB3, 0x02}},
        {"Time milliseconds", Timed(ctTime, false, 4, 6), u"12:34:56.789", kMilliseconds},
        {"Time null byte L6", Timed(ctTime, true, 4, 6), u"12:34:56.789",
         Join({{0x01}, kMilliseconds})},
        {"Time null byte L5", Timed(ctTime, true, 4, 5), u"12:34:56.789",
         Join({kMilliseconds, {0x01}})},
        {"Integer L5", Fixed(ctInteger, true, 5), u"-2", {0xFE, 0xFF, 0xFF, 0xFF, 0x01}},
        {"TimeStamp", Timed(ctTimeStamp, false, 4, 6), u"02.03.2015_12:34:56.789",
         Join({kDate, kMilliseconds})},
        {"TimeStamp nullable has no null byte", Timed(ctTimeStamp, true, 4, 5),
         u"02.03.2015_12:34:56.789", Join({kDate, kMilliseconds})},
        {"TimeStamp last moment",
         Timed(ctTimeStamp, false, 4, 6),
         u"31.12.9999_23:59:59.999",
         {0x9F, 0x1F, 0x4E, 0x00, 0xFF, 0x5B, 0x26, 0x05}},
        {"BigInt", Fixed(ctBigInt, false, 6), big, kBigInt},
        {"BigInt null byte L6", Fixed(ctBigInt, true, 6), big, Join({{0x01}, kBigInt})},
        {"BigInt null byte L5", Fixed(ctBigInt, true, 5), big, Join({kBigInt, {0x01}})},
        {"BigInt negative",
         Fixed(ctBigInt, false, 6),
         u"-2",
         {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"Guid", Fixed(ctGuid, false, 6), guid, kGuid},
        {"Guid null byte L6", Fixed(ctGuid, true, 6), guid, Join({{0x01}, kGuid})},
        {"Guid null byte L5", Fixed(ctGuid, true, 5), guid, Join({kGuid, {0x01}})},
        {"Enum", TTdbDataType::GetEnumType(u"E", u"a,b,c", u',', 0, true, 5), u"b", {0x02}},
    };
}

TEST(ColumnImageTest, EveryTypeWritesAndReadsItsExactBytes) {
    for (const ImageCase& c : Cases()) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.type->GetDataSize(), static_cast<std::int32_t>(c.image.size()));

        // Written in place into a record, touching nothing beyond the column.
        TBytes record(c.image.size() + 1, 0xEE);
        TTdbDataValue inPlace;
        c.type->SetReference(inPlace, record.data());
        c.type->ConvertFromString(inPlace, c.text);
        EXPECT_EQ(TBytes(record.begin(), record.end() - 1), c.image);
        EXPECT_EQ(record.back(), 0xEE);

        // Written into a cell of its own and copied out.
        TTdbDataValue owned;
        c.type->ConvertFromString(owned, c.text);
        TBytes copied(c.image.size(), 0xEE);
        c.type->CopyTo(owned, copied.data());
        EXPECT_EQ(copied, c.image);

        // Read from the bytes alone.
        TBytes stored = c.image;
        TTdbDataValue read;
        c.type->SetReference(read, stored.data());
        EXPECT_FALSE(c.type->IsNull(read));
        EXPECT_EQ(c.type->ConvertToString(read), c.text);
    }
}

// NULL clears only the indicator byte, wherever the level puts it; the value bytes stay.
TEST(ColumnImageTest, NullClearsOnlyTheIndicatorByte) {
    for (const ImageCase& c : Cases()) {
        if (!c.type->GetHasNullByte()) {
            continue;
        }
        SCOPED_TRACE(c.name);
        const std::size_t indicator = c.type->GetLevel() >= 6 ? 0 : c.image.size() - 1;
        ASSERT_EQ(c.image[indicator], 0x01);
        TBytes record = c.image;
        TTdbDataValue v;
        c.type->SetReference(v, record.data());
        c.type->SetNull(v);
        TBytes expected = c.image;
        expected[indicator] = 0x00;
        EXPECT_EQ(record, expected);
        EXPECT_TRUE(c.type->IsNull(v));
    }
}

}  // namespace
}  // namespace tdb
