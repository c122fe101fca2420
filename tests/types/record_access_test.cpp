// Typed column access inside record buffers: every column type written and
// read back at both null-byte layouts, conversions between forms, failures
// that leave the record alone, record initialisation and comparison.
#include "types/record_access.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "../index/allocation_counter.h"
#include "base/byte_image.h"
#include "base/engine_error.h"
#include "types/type_errors.h"

namespace tdb {
namespace {

using TRecord = std::vector<std::byte>;

constexpr int kTested = 2;  // the column under test lies between two others
constexpr std::byte kPattern{0xA5};
// Bytes past the record that no operation may touch.
constexpr std::size_t kSlack = 4;
// 2 March 2015 packed.
constexpr std::int32_t kPackedDate = 2015 * 512 + 3 * 32 + 2;
// 12:34:56.789.
constexpr std::int32_t kMilliseconds = 45296789;

// ---- Rendering values, so that one expected text covers every form ----

std::string Utf8(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Show(std::int64_t v) {
    return std::to_string(v);
}
std::string Show(double v) {
    return std::to_string(v);
}
std::string Show(bool v) {
    return v ? "true" : "false";
}
std::string Show(const std::string& v) {
    return v;
}
std::string Show(const std::u16string& v) {
    return Utf8(v);
}
std::string Show(const TTdbTimeStamp& v) {
    return std::to_string(v.Date) + "/" + std::to_string(v.Time);
}
std::string Show(const TTdbGuid& v) {
    std::string text =
        std::to_string(v.D1) + "-" + std::to_string(v.D2) + "-" + std::to_string(v.D3);
    for (std::uint8_t b : v.D4) {
        text += "-" + std::to_string(b);
    }
    return text;
}

template <typename T>
std::optional<std::string> Shown(bool present, const T& value) {
    if (!present) {
        return std::nullopt;
    }
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
        return Show(static_cast<std::int64_t>(value));
    } else {
        return Show(value);
    }
}

const TTdbGuid kGuid = {
    0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};

// ---- Records ----

TRecord Patterned(const TTdbRecordAccess& access) {
    return TRecord(static_cast<std::size_t>(access.GetRecordSize()) + kSlack, kPattern);
}

// Every byte outside the column still holds the pattern.
void ExpectOnlyColumnTouched(const TRecord& record, const TTdbColumnDef& column) {
    for (std::size_t i = 0; i < record.size(); ++i) {
        bool inside = i >= static_cast<std::size_t>(column.Position) &&
                      i < static_cast<std::size_t>(column.Position + column.Size);
        if (!inside) {
            ASSERT_EQ(record[i], kPattern) << "byte " << i << " outside the column changed";
        }
    }
}

std::int16_t EngineCode(const std::function<void()>& action) {
    try {
        action();
    } catch (const ETdbEngine& e) {
        return e.Code();
    }
    return 0;
}

std::u16string EngineMessage(const std::function<void()>& action) {
    try {
        action();
    } catch (const ETdbEngine& e) {
        return e.Message();
    }
    return {};
}

const TTdbDataType* Fixed(TTdbColumnType code, std::int16_t level, bool nullable = true) {
    return TTdbDataType::GetDataType(code, nullable, level);
}

const TTdbDataType* Wide(std::int32_t n, std::int16_t level, bool nullable = true) {
    return TTdbDataType::GetStringType(ctWideString, nullable, n, u"", level);
}

const TTdbDataType* Ansi(std::int32_t n, std::int16_t level, bool nullable = true) {
    return TTdbDataType::GetStringType(ctString, nullable, n, u"", level);
}

const TTdbDataType* Colour(std::int16_t level, bool nullable = true) {
    return TTdbDataType::GetEnumType(u"Colour", u"Red,Green,Blue", u',', u'"', nullable, level);
}

// ---- Every column type through its typed pair and through values ----

using TSetter = std::function<void(const TTdbRecordAccess&, std::span<std::byte>, bool)>;
using TGetter =
    std::function<std::optional<std::string>(const TTdbRecordAccess&, std::span<const std::byte>)>;

struct TypedCase {
    const char* name;
    std::function<const TTdbDataType*(std::int16_t)> type;
    TSetter set;  // the case's value, or NULL when told
    TGetter get;  // nullopt for NULL
    std::string expected;
};

// Test names and failures show the case by its name, not its bytes.
void PrintTo(const TypedCase& c, std::ostream* os) {
    *os << c.name;
}

template <typename T, typename Get>
TGetter Getter(Get get) {
    return [get](const TTdbRecordAccess& a, std::span<const std::byte> r) {
        T value{};
        bool present = get(a, r, value);
        return Shown(present, value);
    };
}

std::vector<TypedCase> TypedCases() {
    using A = const TTdbRecordAccess&;
    using R = std::span<std::byte>;
    using C = std::span<const std::byte>;
    return {
        {"Char", [](std::int16_t l) { return Fixed(ctChar, l); },
         [](A a, R r, bool u) { a.SetAnsiString(r, kTested, "Q", u); },
         Getter<std::string>(
             [](A a, C r, std::string& v) { return a.GetAnsiString(r, kTested, v); }),
         "Q"},
        {"String", [](std::int16_t l) { return Ansi(10, l); },
         [](A a, R r, bool u) { a.SetAnsiString(r, kTested, "Budapest", u); },
         Getter<std::string>(
             [](A a, C r, std::string& v) { return a.GetAnsiString(r, kTested, v); }),
         "Budapest"},
        {"WideString", [](std::int16_t l) { return Wide(8, l); },
         [](A a, R r, bool u) { a.SetWideString(r, kTested, u"Győr", u); },
         Getter<std::u16string>(
             [](A a, C r, std::u16string& v) { return a.GetWideString(r, kTested, v); }),
         "Győr"},
        {"SmallInt", [](std::int16_t l) { return Fixed(ctSmallInt, l); },
         [](A a, R r, bool u) { a.SetInt16(r, kTested, -1234, u); },
         Getter<std::int16_t>([](A a, C r, std::int16_t& v) { return a.GetInt16(r, kTested, v); }),
         "-1234"},
        {"Float", [](std::int16_t l) { return Fixed(ctFloat, l); },
         [](A a, R r, bool u) { a.SetDouble(r, kTested, -2.25, u); },
         Getter<double>([](A a, C r, double& v) { return a.GetDouble(r, kTested, v); }),
         "-2.250000"},
        {"Byte", [](std::int16_t l) { return Fixed(ctByte, l); },
         [](A a, R r, bool u) { a.SetUInt8(r, kTested, 200, u); },
         Getter<std::uint8_t>([](A a, C r, std::uint8_t& v) { return a.GetUInt8(r, kTested, v); }),
         "200"},
        {"Boolean", [](std::int16_t l) { return Fixed(ctBoolean, l); },
         [](A a, R r, bool u) { a.SetBoolean(r, kTested, true, u); },
         Getter<bool>([](A a, C r, bool& v) { return a.GetBoolean(r, kTested, v); }), "true"},
        {"Date", [](std::int16_t l) { return Fixed(ctDate, l); },
         [](A a, R r, bool u) { a.SetDate(r, kTested, kPackedDate, u); },
         Getter<std::int32_t>([](A a, C r, std::int32_t& v) { return a.GetDate(r, kTested, v); }),
         std::to_string(kPackedDate)},
        {"Memo", [](std::int16_t l) { return Fixed(ctMemo, l); },
         [](A a, R r, bool u) { a.SetBlockIdx(r, kTested, 77, u); },
         Getter<std::int32_t>(
             [](A a, C r, std::int32_t& v) { return a.GetBlockIdx(r, kTested, v); }),
         "77"},
        {"Enum", [](std::int16_t l) { return Colour(l); },
         [](A a, R r, bool u) { a.SetInt32(r, kTested, 2, u); },
         Getter<std::int32_t>([](A a, C r, std::int32_t& v) { return a.GetInt32(r, kTested, v); }),
         "2"},
        // Never nullable, but its NULL is the id 0.
        {"AutoInc", [](std::int16_t l) { return Fixed(ctAutoInc, l, false); },
         [](A a, R r, bool u) { a.SetRecordId(r, kTested, 42, u); },
         Getter<std::int32_t>(
             [](A a, C r, std::int32_t& v) { return a.GetRecordId(r, kTested, v); }),
         "42"},
        {"Link", [](std::int16_t l) { return Fixed(ctLink, l); },
         [](A a, R r, bool u) { a.SetLink(r, kTested, 9, u); },
         Getter<std::int32_t>([](A a, C r, std::int32_t& v) { return a.GetLink(r, kTested, v); }),
         "9"},
        {"Blob", [](std::int16_t l) { return Fixed(ctBlob, l); },
         [](A a, R r, bool u) { a.SetBlockIdx(r, kTested, 5, u); },
         Getter<std::int32_t>(
             [](A a, C r, std::int32_t& v) { return a.GetBlockIdx(r, kTested, v); }),
         "5"},
        {"Time", [](std::int16_t l) { return Fixed(ctTime, l); },
         [](A a, R r, bool u) { a.SetTicks(r, kTested, kMilliseconds * 10000LL, u); },
         Getter<std::int64_t>([](A a, C r, std::int64_t& v) { return a.GetTicks(r, kTested, v); }),
         std::to_string(kMilliseconds * 10000LL)},
        {"Integer", [](std::int16_t l) { return Fixed(ctInteger, l); },
         [](A a, R r, bool u) { a.SetInt32(r, kTested, -100000, u); },
         Getter<std::int32_t>([](A a, C r, std::int32_t& v) { return a.GetInt32(r, kTested, v); }),
         "-100000"},
        {"TimeStamp", [](std::int16_t l) { return Fixed(ctTimeStamp, l); },
         [](A a, R r, bool u) {
             a.SetTimeStamp(r, kTested, {kPackedDate, kMilliseconds}, u);
         },
         Getter<TTdbTimeStamp>(
             [](A a, C r, TTdbTimeStamp& v) { return a.GetTimeStamp(r, kTested, v); }),
         Show(TTdbTimeStamp{kPackedDate, kMilliseconds})},
        {"WideMemo", [](std::int16_t l) { return Fixed(ctWideMemo, l); },
         [](A a, R r, bool u) { a.SetBlockIdx(r, kTested, 1234567, u); },
         Getter<std::int32_t>(
             [](A a, C r, std::int32_t& v) { return a.GetBlockIdx(r, kTested, v); }),
         "1234567"},
        {"BigInt", [](std::int16_t l) { return Fixed(ctBigInt, l); },
         [](A a, R r, bool u) { a.SetInt64(r, kTested, 72623859790382856LL, u); },
         Getter<std::int64_t>([](A a, C r, std::int64_t& v) { return a.GetInt64(r, kTested, v); }),
         "72623859790382856"},
        {"Guid", [](std::int16_t l) { return Fixed(ctGuid, l); },
         [](A a, R r, bool u) { a.SetGuid(r, kTested, kGuid, u); },
         Getter<TTdbGuid>([](A a, C r, TTdbGuid& v) { return a.GetGuid(r, kTested, v); }),
         Show(kGuid)},
    };
}

class TypedPairTest : public ::testing::TestWithParam<std::tuple<TypedCase, std::int16_t>> {
protected:
    void SetUp() override {
        const auto& [c, level] = GetParam();
        columns.Add(u"Before", Fixed(ctInteger, level), cdoNullable);
        columns.Add(u"Tested", c.type(level), cdoNullable);
        columns.Add(u"After", Fixed(ctInteger, level), cdoNullable);
    }

    const TTdbColumnDef& Tested() const { return *columns.GetColumnDef(kTested - 1); }

    // Where the indicator byte lies: first from level 6 on, last below.
    std::size_t IndicatorAt() const {
        const TTdbColumnDef& col = Tested();
        std::int16_t level = std::get<1>(GetParam());
        return static_cast<std::size_t>(level >= 6 ? col.Position : col.Position + col.Size - 1);
    }

    TTdbColumnDefs columns;
};

TEST_P(TypedPairTest, ValueAndNullRoundTripInsideTheColumnOnly) {
    const auto& [c, level] = GetParam();
    TTdbRecordAccess access(columns, level);
    const bool indicator = Tested().GetHasNullByte();

    TRecord record = Patterned(access);
    c.set(access, record, false);
    ExpectOnlyColumnTouched(record, Tested());
    EXPECT_EQ(c.get(access, record), c.expected);
    EXPECT_FALSE(access.IsNull(record, kTested));
    if (indicator) {
        EXPECT_EQ(record[IndicatorAt()], std::byte{1});
    }

    // The same value through a value cell into another record.
    TTdbDataValue value;
    EXPECT_TRUE(access.GetValue(record, kTested, value));
    TRecord copy = Patterned(access);
    access.SetValue(copy, kTested, value, access.GetValueType(kTested));
    ExpectOnlyColumnTouched(copy, Tested());
    EXPECT_EQ(c.get(access, copy), c.expected);
    EXPECT_TRUE(access.RecordFieldsEqual(record, copy));

    c.set(access, record, true);
    ExpectOnlyColumnTouched(record, Tested());
    EXPECT_EQ(c.get(access, record), std::nullopt);
    EXPECT_TRUE(access.IsNull(record, kTested));
    if (indicator) {
        EXPECT_EQ(record[IndicatorAt()], std::byte{0});
    }
    EXPECT_FALSE(access.RecordFieldsEqual(record, copy));

    EXPECT_FALSE(access.GetValue(record, kTested, value));
    access.SetValue(copy, kTested, value, access.GetValueType(kTested));
    EXPECT_TRUE(access.IsNull(copy, kTested));
    EXPECT_TRUE(access.RecordFieldsEqual(record, copy));
}

INSTANTIATE_TEST_SUITE_P(EveryType, TypedPairTest,
                         ::testing::Combine(::testing::ValuesIn(TypedCases()),
                                            ::testing::Values<std::int16_t>(6, 4)),
                         [](const ::testing::TestParamInfo<TypedPairTest::ParamType>& info) {
                             return std::string(std::get<0>(info.param).name) + "_L" +
                                    std::to_string(std::get<1>(info.param));
                         });

// ---- One record with a column of most kinds ----

class RecordAccessTest : public ::testing::Test {
protected:
    enum : int {
        kSmallInt = 1,
        kInteger,
        kFloat,
        kDate,
        kTimeStamp,
        kTime,
        kWide,
        kAnsi,
        kEnum,
        kMemo,
        kChar,
        kRequiredInt,
        kRelation,
    };

    void SetUp() override {
        columns.Add(u"SmallInt", Fixed(ctSmallInt, 6), cdoNullable);
        columns.Add(u"Integer", Fixed(ctInteger, 6), cdoNullable);
        columns.Add(u"Float", Fixed(ctFloat, 6), cdoNullable);
        columns.Add(u"Date", Fixed(ctDate, 6), cdoNullable);
        columns.Add(u"TimeStamp", Fixed(ctTimeStamp, 6), cdoNullable);
        columns.Add(u"Time", Fixed(ctTime, 6), cdoNullable);
        columns.Add(u"TELEP", Wide(8, 6), cdoNullable);
        columns.Add(u"IRSZ", Ansi(10, 6), cdoNullable);
        columns.Add(u"Colour", Colour(6), cdoNullable);
        columns.Add(u"Notes", Fixed(ctMemo, 6), cdoNullable);
        columns.Add(u"Initial", Fixed(ctChar, 6), cdoNullable);
        columns.Add(u"Count", Fixed(ctInteger, 6, false), 0);
        columns.Add(u"Orders", Fixed(ctRelation, 6), cdoNullable);
        record = Patterned(access);
    }

    TTdbColumnDefs columns;
    TTdbRecordAccess access{columns, 6};
    TRecord record;
};

TEST_F(RecordAccessTest, TypedFormsConvertAsTheTypesDoWithoutCuttingIntegers) {
    std::int64_t i64;
    std::int32_t i32;
    double d;
    bool b;
    TTdbTimeStamp ts;
    std::int64_t ticks;

    access.SetInt16(record, kSmallInt, -5);
    ASSERT_TRUE(access.GetInt64(record, kSmallInt, i64));
    EXPECT_EQ(i64, -5);
    ASSERT_TRUE(access.GetDouble(record, kSmallInt, d));
    EXPECT_EQ(d, -5.0);

    access.SetBoolean(record, kInteger, true);
    ASSERT_TRUE(access.GetInt32(record, kInteger, i32));
    EXPECT_EQ(i32, 1);
    access.SetInt32(record, kInteger, 7);
    ASSERT_TRUE(access.GetBoolean(record, kInteger, b));
    EXPECT_TRUE(b);

    // Float into integers rounds, ties to even.
    access.SetDouble(record, kFloat, 2.5);
    ASSERT_TRUE(access.GetInt32(record, kFloat, i32));
    EXPECT_EQ(i32, 2);
    access.SetInt32(record, kFloat, -3);
    ASSERT_TRUE(access.GetDouble(record, kFloat, d));
    EXPECT_EQ(d, -3.0);

    // Dates and time stamps meet at time 0; a time alone lands on 1 January of year 1.
    access.SetDate(record, kDate, kPackedDate);
    ASSERT_TRUE(access.GetTimeStamp(record, kDate, ts));
    EXPECT_EQ(Show(ts), Show(TTdbTimeStamp{kPackedDate, 0}));
    access.SetTimeStamp(record, kTimeStamp, {kPackedDate, kMilliseconds});
    ASSERT_TRUE(access.GetDate(record, kTimeStamp, i32));
    EXPECT_EQ(i32, kPackedDate);
    ASSERT_TRUE(access.GetTicks(record, kTimeStamp, ticks));
    EXPECT_EQ(ticks, kMilliseconds * 10000LL);
    access.SetTicks(record, kTimeStamp, 600000000LL);
    ASSERT_TRUE(access.GetTimeStamp(record, kTimeStamp, ts));
    EXPECT_EQ(Show(ts), Show(TTdbTimeStamp{kMinPackedDate, 60000}));

    // A value of another type converts into the column.
    TTdbDataValue seven;
    const TTdbDataType* integer = Fixed(ctInteger, 6);
    integer->SetInteger(seven, 7);
    access.SetValue(record, kFloat, seven, integer);
    ASSERT_TRUE(access.GetDouble(record, kFloat, d));
    EXPECT_EQ(d, 7.0);
    TTdbDataValue longName;
    const TTdbDataType* wide20 = Wide(20, 6);
    wide20->SetWideString(longName, u"Kecskemét-Szolnok");
    access.SetValue(record, kWide, longName, wide20);
    std::u16string text;
    ASSERT_TRUE(access.GetWideString(record, kWide, text));
    EXPECT_EQ(text, u"Kecskemé");
}

TEST_F(RecordAccessTest, TextFormsReadAndWriteEveryKind) {
    std::u16string text;
    std::string ansi;
    std::int32_t i32;

    access.SetDate(record, kDate, kPackedDate);
    ASSERT_TRUE(access.GetAsStringW(record, kDate, text));
    EXPECT_EQ(text, u"02.03.2015");
    access.SetAsStringW(record, kDate, u"31.12.1999");
    ASSERT_TRUE(access.GetDate(record, kDate, i32));
    EXPECT_EQ(i32, 1999 * 512 + 12 * 32 + 31);

    access.SetAsStringA(record, kFloat, "2.5");
    ASSERT_TRUE(access.GetAsStringA(record, kFloat, ansi));
    EXPECT_EQ(ansi, "2.5");

    access.SetAsStringW(record, kEnum, u"Blue");
    ASSERT_TRUE(access.GetInt32(record, kEnum, i32));
    EXPECT_EQ(i32, 3);
    ASSERT_TRUE(access.GetAsStringW(record, kEnum, text));
    EXPECT_EQ(text, u"Blue");

    // ANSI text reaches an ANSI column byte for byte, a wide one through its code page.
    access.SetAsStringA(record, kAnsi,
                        "P\xE9"
                        "cs");
    ASSERT_TRUE(access.GetAsStringW(record, kAnsi, text));
    EXPECT_EQ(text, u"Pécs");
    access.SetAsStringA(record, kWide,
                        "P\xE9"
                        "cs");
    ASSERT_TRUE(access.GetAsStringA(record, kWide, ansi));
    EXPECT_EQ(ansi,
              "P\xE9"
              "cs");

    // An empty text is NULL except in a string column, which keeps the empty string.
    access.SetAsStringW(record, kInteger, u"");
    EXPECT_TRUE(access.IsNull(record, kInteger));
    access.SetAsStringW(record, kWide, u"");
    ASSERT_TRUE(access.GetAsStringW(record, kWide, text));
    EXPECT_EQ(text, u"");
}

TEST_F(RecordAccessTest, StringsLongerThanTheColumnAreCutAndShorterOnesLeaveNoStaleTail) {
    std::u16string text;
    access.SetWideString(record, kWide, u"Székesfehérvár");
    ASSERT_TRUE(access.GetWideString(record, kWide, text));
    EXPECT_EQ(text, u"Székesfe");

    std::string ansi;
    access.SetAnsiString(record, kAnsi, "Balatonfured");
    ASSERT_TRUE(access.GetAnsiString(record, kAnsi, ansi));
    EXPECT_EQ(ansi, "Balatonfur");

    // "Pécs" over "Székesfe": what followed the old value must not reach a file.
    access.SetWideString(record, kWide, u"Pécs");
    const TTdbColumnDef& col = *columns.GetColumnDef(kWide - 1);
    std::vector<std::byte> image(static_cast<std::size_t>(col.Size));
    ASSERT_TRUE(access.GetRecordField(record, kWide, image));
    // Indicator, 2-byte length, 4 characters, then 4 unused characters.
    for (std::size_t i = 1 + 2 + 4 * 2; i < image.size(); ++i) {
        EXPECT_EQ(image[i], std::byte{0}) << "stale byte at " << i;
    }

    // A Char takes one character, as its type does; the record stays as it was.
    TRecord before = record;
    EXPECT_THROW(access.SetAnsiString(record, kChar, "ab"), EConvertError);
    EXPECT_EQ(record, before);
}

TEST_F(RecordAccessTest, BadRequestsRaiseAndLeaveTheRecordAlone) {
    struct ErrorCase {
        const char* name;
        std::function<void(std::span<std::byte>)> action;
        std::int16_t code;
    };
    const std::size_t size = static_cast<std::size_t>(access.GetRecordSize());
    std::int32_t i32;
    std::int16_t i16;
    std::int64_t ticks;
    double d;
    std::string ansi;
    std::u16string text;
    TTdbGuid guid;
    TTdbDataValue value;
    TTdbDataValue guidValue;
    const TTdbDataType* guidType = Fixed(ctGuid, 6);
    guidType->SetGuid(guidValue, kGuid);
    std::vector<std::byte> small(3);

    const std::vector<ErrorCase> cases = {
        {"column 0", [&](auto r) { access.GetInt32(r, 0, i32); }, 49},
        {"column past the last", [&](auto r) { access.SetInt32(r, kRelation + 1, 1); }, 49},
        {"negative column", [&](auto r) { access.GetValue(r, -1, value); }, 49},
        {"short buffer read", [&](auto r) { access.GetInt32(r.first(size - 1), kSmallInt, i32); },
         49},
        {"short buffer write", [&](auto r) { access.SetInt16(r.first(size - 1), kSmallInt, 1); },
         49},
        {"short buffer init", [&](auto r) { access.InitRecord(r.first(size - 1)); }, 49},
        {"short destination", [&](auto r) { access.GetRecordField(r, kInteger, small); }, 49},
        {"no value type", [&](auto r) { access.SetValue(r, kInteger, value, nullptr); }, 49},
        {"GUID of an Integer", [&](auto r) { access.GetGuid(r, kInteger, guid); }, 44},
        {"ANSI string of an Integer", [&](auto r) { access.GetAnsiString(r, kInteger, ansi); }, 44},
        {"block of an Integer", [&](auto r) { access.GetBlockIdx(r, kInteger, i32); }, 44},
        {"integer of a Memo", [&](auto r) { access.GetInt32(r, kMemo, i32); }, 44},
        {"text of a Memo", [&](auto r) { access.GetAsStringW(r, kMemo, text); }, 44},
        {"ticks of a Date", [&](auto r) { access.GetTicks(r, kDate, ticks); }, 44},
        {"double of a Date", [&](auto r) { access.GetDouble(r, kDate, d); }, 44},
        {"GUID into a String", [&](auto r) { access.SetGuid(r, kWide, kGuid); }, 44},
        {"integer into a Date", [&](auto r) { access.SetInt32(r, kDate, 1); }, 44},
        {"GUID value into an Integer",
         [&](auto r) { access.SetValue(r, kInteger, guidValue, guidType); }, 44},
        {"value of a relation", [&](auto r) { access.GetValue(r, kRelation, value); }, 44},
        // The pattern reads as -1515870811, which no SmallInt holds.
        {"Integer too large for Int16", [&](auto r) { access.GetInt16(r, kInteger, i16); }, 81},
        {"Int32 too large for a SmallInt", [&](auto r) { access.SetInt32(r, kSmallInt, 100000); },
         81},
        {"negative block", [&](auto r) { access.SetBlockIdx(r, kMemo, -1); }, 81},
        {"NULL into a required Integer", [&](auto r) { access.SetInt32(r, kRequiredInt, 0, true); },
         47},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        TRecord work = record;
        EXPECT_EQ(EngineCode([&] { c.action(work); }), c.code);
        EXPECT_EQ(work, record);
    }
}

TEST_F(RecordAccessTest, FailuresNameWhatWasWrong) {
    std::int32_t i32;
    TTdbGuid guid;
    EXPECT_EQ(EngineMessage([&] { access.GetInt32(record, 0, i32); }),
              u"Parameter \"FieldNo 0\" has an invalid value");
    EXPECT_EQ(EngineMessage([&] { access.GetGuid(record, kInteger, guid); }),
              u"Type mismatch: Integer->Guid");
    EXPECT_EQ(EngineMessage([&] { access.SetGuid(record, kDate, kGuid); }),
              u"Type mismatch: Guid->Date");
    EXPECT_EQ(EngineMessage([&] { access.GetInt32(record, kMemo, i32); }),
              u"Type mismatch: LONGVARCHAR->Integer");
    // A column whose definition no longer fits its type is refused by name.
    columns.GetColumnDef(kInteger - 1)->Size = 2;
    EXPECT_EQ(EngineMessage([&] { access.GetInt32(record, kInteger, i32); }),
              u"Parameter \"Integer\" has an invalid value");
    // ... also by the whole-record operations, before they change anything.
    TRecord before = record;
    EXPECT_EQ(EngineCode([&] { access.InitRecord(record); }), 49);
    EXPECT_EQ(record, before);
    EXPECT_EQ(EngineCode([&] { access.RecordFieldsEqual(record, before); }), 49);
}

TEST_F(RecordAccessTest, PutValueReferencesTheRecordAndGetValueNeverWritesThroughAReference) {
    const TTdbDataType* integer = access.GetValueType(kInteger);
    access.SetInt32(record, kInteger, 11);
    TTdbDataValue value;
    ASSERT_TRUE(access.PutValue(record, kInteger, value));
    EXPECT_EQ(integer->GetInteger(value), 11);
    integer->SetInteger(value, 12);
    std::int32_t i32;
    ASSERT_TRUE(access.GetInt32(record, kInteger, i32));
    EXPECT_EQ(i32, 12);

    // Value still references Record; reading another record into it must copy.
    TRecord other = Patterned(access);
    access.SetInt32(other, kInteger, 99);
    ASSERT_TRUE(access.GetValue(other, kInteger, value));
    EXPECT_FALSE(value.IsReference());
    ASSERT_TRUE(access.GetInt32(record, kInteger, i32));
    EXPECT_EQ(i32, 12);
}

TEST_F(RecordAccessTest, HotGettersDoNotAllocate) {
    if (!testing::CanCountAllocations()) {
        GTEST_SKIP() << "allocations can only be counted under the address sanitizer";
    }
    access.SetInt32(record, kInteger, 1234);
    access.SetWideString(record, kWide, u"Debrecen");
    std::int32_t i32 = 0;
    std::u16string text;
    text.reserve(16);
    EXPECT_EQ(testing::AllocationsIn([&] {
                  for (int i = 0; i < 100; ++i) {
                      access.GetInt32(record, kInteger, i32);
                      access.GetWideString(record, kWide, text);
                  }
              }),
              0);
    EXPECT_EQ(i32, 1234);
    EXPECT_EQ(text, u"Debrecen");
}

// ---- Initialising and comparing whole records ----

TEST(RecordInitTest, RequiredDatesAndTimeStampsStartAtTheFirstDayAndAllElseIsZero) {
    for (std::int16_t level : {6, 4}) {
        SCOPED_TRACE(level);
        TTdbColumnDefs columns;
        columns.Add(u"RequiredDate", Fixed(ctDate, level, false), 0);
        columns.Add(u"OptionalDate", Fixed(ctDate, level), cdoNullable);
        columns.Add(u"RequiredStamp", Fixed(ctTimeStamp, level, false), 0);
        columns.Add(u"OptionalStamp", Fixed(ctTimeStamp, level), cdoNullable);
        columns.Add(u"Count", Fixed(ctInteger, level, false), 0);
        columns.Add(u"Name", Wide(5, level), cdoNullable);
        TTdbRecordAccess access(columns, level);
        TRecord record = Patterned(access);
        access.InitRecord(record);

        std::int32_t date;
        TTdbTimeStamp ts;
        ASSERT_TRUE(access.GetDate(record, 1, date));
        EXPECT_EQ(date, 545);
        EXPECT_TRUE(access.IsNull(record, 2));
        ASSERT_TRUE(access.GetTimeStamp(record, 3, ts));
        EXPECT_EQ(Show(ts), Show(TTdbTimeStamp{545, 0}));
        EXPECT_TRUE(access.IsNull(record, 4));
        // Everything but the two required columns is zero; the slack is untouched.
        for (std::size_t i = 0; i < record.size(); ++i) {
            bool required = i < 4 || (i >= 8 && i < 16);
            if (required) {
                continue;
            }
            std::byte expected =
                i < static_cast<std::size_t>(access.GetRecordSize()) ? std::byte{0} : kPattern;
            EXPECT_EQ(record[i], expected) << "byte " << i;
        }
    }
}

TEST(RecordFieldsEqualTest, ComparesStoredValuesNotUnusedBytes) {
    TTdbColumnDefs columns;
    columns.Add(u"Count", Fixed(ctInteger, 6), cdoNullable);
    columns.Add(u"Name", Wide(6, 6), cdoNullable);
    columns.Add(u"Notes", Fixed(ctMemo, 6), cdoNullable);
    TTdbRecordAccess access(columns, 6);
    TRecord a(static_cast<std::size_t>(access.GetRecordSize()));
    access.InitRecord(a);
    access.SetInt32(a, 1, 5);
    access.SetWideString(a, 2, u"abc");
    access.SetBlockIdx(a, 3, 8);
    TRecord b = a;
    EXPECT_TRUE(access.RecordFieldsEqual(a, b));

    // Bytes after a string's last character are no part of its value.
    const std::size_t nameTail = static_cast<std::size_t>(columns.GetColumnDef(1)->Position) + 9;
    b[nameTail] = std::byte{0x7F};
    EXPECT_TRUE(access.RecordFieldsEqual(a, b));

    // Nor are the value bytes under a NULL.
    access.SetInt32(b, 1, 6);
    access.SetNull(a, 1);
    access.SetNull(b, 1);
    EXPECT_TRUE(access.RecordFieldsEqual(a, b));

    const std::vector<std::pair<const char*, std::function<void(std::span<std::byte>)>>>
        differences = {
            {"value", [&](auto r) { access.SetInt32(r, 1, 7); }},
            {"case", [&](auto r) { access.SetWideString(r, 2, u"ABC"); }},
            {"length", [&](auto r) { access.SetWideString(r, 2, u"ab"); }},
            {"NULL string", [&](auto r) { access.SetNull(r, 2); }},
            {"block", [&](auto r) { access.SetBlockIdx(r, 3, 9); }},
        };
    for (const auto& [name, change] : differences) {
        SCOPED_TRACE(name);
        TRecord changed = a;
        change(changed);
        EXPECT_FALSE(access.RecordFieldsEqual(a, changed));
        EXPECT_FALSE(access.RecordFieldsEqual(changed, a));
    }
}

}  // namespace
}  // namespace tdb
