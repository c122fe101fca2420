// Conversions between types: which pairs convert, the value rules, texts,
// code pages, and that a failed conversion leaves the target as it was.
#include <gtest/gtest.h>

#include <functional>

#include "base/engine_error.h"
#include "types/data_type.h"
#include "types/type_errors.h"

namespace tdb {
namespace {

const TTdbDataType* T(TTdbColumnType code, bool nullable = true) {
    return TTdbDataType::GetDataType(code, nullable, 6);
}

std::u16string EngineMessage(const std::function<void()>& action, std::int16_t* code = nullptr) {
    try {
        action();
    } catch (const ETdbEngine& e) {
        if (code != nullptr) {
            *code = e.Code();
        }
        return e.Message();
    }
    return {};
}

template <typename E>
std::u16string FailureText(const std::function<void()>& action) {
    try {
        action();
    } catch (const E& e) {
        return e.Message();
    }
    return {};
}

TEST(DataTypeConvertTest, WhichTypesConvert) {
    struct Case {
        const TTdbDataType* from;
        const TTdbDataType* to;
        bool implicitly;
        bool explicitly;
    };
    const TTdbDataType* s = TTdbDataType::GetStringType(ctString, true, 10, u"", 6);
    const TTdbDataType* sh = TTdbDataType::GetStringType(ctString, true, 10, u"Hungarian", 6);
    const TTdbDataType* w = TTdbDataType::GetStringType(ctWideString, true, 10, u"", 6);
    for (const Case& c : {
             Case{T(ctSmallInt), T(ctFloat), true, true},
             Case{T(ctFloat), T(ctByte), true, true},
             Case{T(ctNull), T(ctInteger, true), true, true},
             Case{T(ctNull), T(ctInteger, false), false, false},
             Case{s, w, true, true},
             Case{w, s, false, true},
             Case{s, sh, false, true},
             Case{s, T(ctGuid), false, true},
             Case{T(ctGuid), s, false, true},
             Case{T(ctDate), T(ctFloat), false, true},
             Case{T(ctTimeStamp), T(ctDate), true, true},
             Case{T(ctFloat), T(ctTimeStamp), true, true},
             Case{T(ctTime), T(ctSmallInt), false, true},
             Case{T(ctDate), T(ctSmallInt), false, false},
             Case{T(ctGuid), T(ctInteger), false, false},
         }) {
        EXPECT_EQ(TTdbDataType::CanConvert(c.from, c.to, false), c.implicitly)
            << c.from->GetColumnType() << "->" << c.to->GetColumnType();
        EXPECT_EQ(TTdbDataType::CanConvert(c.from, c.to, true), c.explicitly)
            << c.from->GetColumnType() << "->" << c.to->GetColumnType();
    }
    TTdbDataValue from, to;
    s->SetAnsiString(from, "x");
    std::int16_t code = 0;
    EXPECT_EQ(EngineMessage([&] { TTdbDataType::Convert(from, to, s, T(ctGuid), false); }, &code),
              u"Type mismatch: String->Guid");
    EXPECT_EQ(code, 44);
}

TEST(DataTypeConvertTest, NumbersAreRoundedAndCut) {
    struct Case {
        const TTdbDataType* from;
        double value;
        const TTdbDataType* to;
        std::int64_t expected;
    };
    for (const Case& c : {
             Case{T(ctInteger), 300, T(ctByte), 44},
             Case{T(ctInteger), 70000, T(ctSmallInt), 70000 - 65536},
             Case{T(ctBigInt), 4294967297.0, T(ctInteger), 1},
             Case{T(ctInteger), -7, T(ctBoolean), 1},
             Case{T(ctFloat), 2.5, T(ctInteger), 2},
             Case{T(ctFloat), 3.5, T(ctInteger), 4},
             Case{T(ctFloat), -2.5, T(ctInteger), -2},
             Case{T(ctFloat), 0.4, T(ctBoolean), 0},
             Case{T(ctFloat), 0.6, T(ctBoolean), 1},
         }) {
        TTdbDataValue from, to;
        if (c.from->GetColumnType() == ctFloat) {
            c.from->SetDouble(from, c.value);
        } else {
            c.from->SetInteger(from, static_cast<std::int64_t>(c.value));
        }
        TTdbDataType::Convert(from, to, c.from, c.to, false);
        EXPECT_EQ(c.to->GetInteger(to), c.expected) << c.value;
    }
    // SetInteger itself checks the range.
    TTdbDataValue v;
    std::int16_t code = 0;
    EXPECT_EQ(EngineMessage([&] { T(ctByte)->SetInteger(v, 300); }, &code),
              u"Value 300 of type Byte exceeds the allowed range from 0 to 255");
    EXPECT_EQ(code, 81);
}

TEST(DataTypeConvertTest, BigIntToFloatIsExactOrFails) {
    TTdbDataValue from, to;
    T(ctFloat)->SetDouble(to, 1.5);
    T(ctBigInt)->SetInteger(from, std::int64_t{1} << 60);
    TTdbDataType::Convert(from, to, T(ctBigInt), T(ctFloat), false);
    EXPECT_EQ(T(ctFloat)->GetDouble(to), 1152921504606846976.0);
    T(ctBigInt)->SetInteger(from, (std::int64_t{1} << 53) + 1);
    EXPECT_EQ(FailureText<EOverflowError>(
                  [&] { TTdbDataType::Convert(from, to, T(ctBigInt), T(ctFloat), false); }),
              u"Large integer value overflows double range");
    EXPECT_EQ(T(ctFloat)->GetDouble(to), 1152921504606846976.0);  // unchanged
}

TEST(DataTypeConvertTest, NullSourcesGiveNullOrTheDefault) {
    TTdbDataValue from, to;
    T(ctInteger)->SetNull(from);
    T(ctFloat, true)->SetDouble(to, 5);
    TTdbDataType::Convert(from, to, T(ctInteger), T(ctFloat, true), false);
    EXPECT_TRUE(T(ctFloat)->IsNull(to));
    TTdbDataType::Convert(from, to, T(ctInteger), T(ctDate, false), true);
    EXPECT_EQ(T(ctDate, false)->GetDate(to), kMinPackedDate);
}

TEST(DataTypeConvertTest, DatesTimesAndNumbers) {
    TTdbDataValue d, f, t, ts, i;
    T(ctDate)->SetDate(d, PackDate(1, 1, 2));
    TTdbDataType::Convert(d, f, T(ctDate), T(ctFloat), true);
    EXPECT_EQ(T(ctFloat)->GetDouble(f), 368.0);  // day numbers count from year 0
    T(ctFloat)->SetDouble(f, 367.6);
    TTdbDataType::Convert(f, d, T(ctFloat), T(ctDate), true);
    EXPECT_EQ(T(ctDate)->GetDate(d), PackDate(1, 1, 2));

    T(ctTime)->SetTime(t, 90 * kTicksPerMinute + 59 * kTicksPerSecond);
    TTdbDataType::Convert(t, i, T(ctTime), T(ctInteger), true);
    EXPECT_EQ(T(ctInteger)->GetInteger(i), 90);  // whole minutes
    T(ctFloat)->SetDouble(f, 1.5);
    TTdbDataType::Convert(f, t, T(ctFloat), T(ctTime), true);
    EXPECT_EQ(T(ctTime)->GetTime(t), 90 * kTicksPerSecond);

    T(ctTimeStamp)->SetTimeStamp(ts, {PackDate(2020, 5, 6), 43200000});
    TTdbDataType::Convert(ts, f, T(ctTimeStamp), T(ctFloat), true);
    double number = T(ctFloat)->GetDouble(f);
    EXPECT_DOUBLE_EQ(number - static_cast<double>(static_cast<std::int64_t>(number)), 0.5);
    TTdbDataType::Convert(ts, d, T(ctTimeStamp), T(ctDate), false);
    EXPECT_EQ(T(ctDate)->GetDate(d), PackDate(2020, 5, 6));
    TTdbDataType::Convert(ts, t, T(ctTimeStamp), T(ctTime), false);
    EXPECT_EQ(T(ctTime)->GetTime(t), 12 * kTicksPerHour);
    TTdbDataType::Convert(t, ts, T(ctTime), T(ctTimeStamp), false);
    EXPECT_EQ(T(ctTimeStamp)->GetTimeStamp(ts).Date, kMinPackedDate);
    EXPECT_EQ(T(ctTimeStamp)->GetTimeStamp(ts).Time, 43200000);
    // Numbers outside the calendar are refused, not turned into the empty date.
    T(ctFloat)->SetDouble(f, 1e9);
    std::int16_t code = 0;
    EngineMessage([&] { TTdbDataType::Convert(f, d, T(ctFloat), T(ctDate), true); }, &code);
    EXPECT_EQ(code, 81);
    EXPECT_EQ(T(ctDate)->GetDate(d), PackDate(2020, 5, 6));
}

// The calendar starts on 1 January of year 1, a time of day ends before 24:00,
// and the empty date carries no time. Whatever would leave those ranges is
// refused with 81 and the cell keeps what it held.
TEST(DataTypeConvertTest, ValuesOutsideTheCalendarAndTheDayAreRefused) {
    const TTdbDataType* date = T(ctDate);
    const TTdbDataType* stamp = T(ctTimeStamp);
    const TTdbDataType* minutes = TTdbDataType::GetDateTimeType(ctTime, true, 2, 6);
    const TTdbDataType* millis = T(ctTime);
    TTdbDataValue d, ts, tm, tms, source;
    date->SetDate(d, PackDate(2020, 5, 6));
    stamp->SetTimeStamp(ts, {PackDate(2020, 5, 6), 7});
    minutes->SetTime(tm, kTicksPerHour);
    millis->SetTime(tms, kTicksPerHour);
    struct Case {
        const char* what;
        std::function<void()> action;
    };
    const Case cases[] = {
        {"year 0 date", [&] { date->SetDate(d, PackDate(0, 12, 31)); }},
        {"year 0 stamp",
         [&] {
             stamp->SetTimeStamp(ts, {PackDate(0, 6, 1), 0});
         }},
        {"time on the empty date",
         [&] {
             stamp->SetTimeStamp(ts, {0, 5});
         }},
        {"24:00 in minutes", [&] { minutes->SetTime(tm, kTicksPerDay); }},
        {"24:00 in milliseconds", [&] { millis->SetTime(tms, kTicksPerDay); }},
        {"24:00 as text", [&] { millis->ConvertFromString(tms, u"24:00"); }},
        {"day 366 into a date",
         [&] {
             T(ctInteger)->SetInteger(source, 366);
             TTdbDataType::Convert(source, d, T(ctInteger), date, true);
         }},
        {"day 1.5 into a stamp",
         [&] {
             T(ctFloat)->SetDouble(source, 1.5);
             TTdbDataType::Convert(source, ts, T(ctFloat), stamp, true);
         }},
        {"1440 minutes into a time",
         [&] {
             T(ctInteger)->SetInteger(source, 1440);
             TTdbDataType::Convert(source, tm, T(ctInteger), minutes, true);
         }},
    };
    for (const Case& c : cases) {
        std::int16_t code = 0;
        EngineMessage(c.action, &code);
        EXPECT_EQ(code, 81) << c.what;
    }
    EXPECT_EQ(date->GetDate(d), PackDate(2020, 5, 6));
    EXPECT_EQ(stamp->GetTimeStamp(ts).Date, PackDate(2020, 5, 6));
    EXPECT_EQ(stamp->GetTimeStamp(ts).Time, 7);
    EXPECT_EQ(minutes->GetTime(tm), kTicksPerHour);
    EXPECT_EQ(millis->GetTime(tms), kTicksPerHour);
    // A year written as 0000 is no date.
    EXPECT_EQ(FailureText<EConvertError>([&] { date->ConvertFromString(d, u"1.1.0000"); }),
              u"\"1.1.0000\" is not a valid date");

    // The edges themselves stay valid.
    date->SetDate(d, kMinPackedDate);
    stamp->SetTimeStamp(ts, {0, 0});
    EXPECT_TRUE(stamp->IsNull(ts));
    millis->SetTime(tms, kMaxTimeTicks);
    EXPECT_EQ(millis->GetTime(tms), kTicksPerDay - kTicksPerMillisecond);
    T(ctInteger)->SetInteger(source, 367);
    TTdbDataType::Convert(source, d, T(ctInteger), date, true);
    EXPECT_EQ(date->GetDate(d), kMinPackedDate);
}

TEST(DataTypeConvertTest, StringsAreCutAndRecoded) {
    const TTdbDataType* s5 = TTdbDataType::GetStringType(ctString, false, 5, u"", 6);
    const TTdbDataType* s10 = TTdbDataType::GetStringType(ctString, false, 10, u"", 6);
    TTdbDataValue from, to;
    s10->SetAnsiString(from, "Balatonfured");
    TTdbDataType::Convert(from, to, s10, s5, false);
    EXPECT_EQ(s5->GetAnsiString(to), "Balat");

    // Hungarian narrow text is windows-1250: ő is 0xF5 there.
    const TTdbDataType* hs = TTdbDataType::GetStringType(ctString, true, 20, u"Hungarian", 6);
    const TTdbDataType* hw = TTdbDataType::GetStringType(ctWideString, true, 20, u"Hungarian", 6);
    hw->SetWideString(from, u"Győr, Őr");
    TTdbDataType::Convert(from, to, hw, hs, true);
    EXPECT_EQ(hs->GetAnsiString(to), "Gy\xF5r, \xD5r");
    TTdbDataValue back;
    TTdbDataType::Convert(to, back, hs, hw, false);
    EXPECT_EQ(hw->GetWideString(back), u"Győr, Őr");

    // Numbers and dates into text and back.
    TTdbDataValue n;
    T(ctFloat)->SetDouble(n, 2.5);
    TTdbDataType::Convert(n, to, T(ctFloat), hs, true);
    EXPECT_EQ(hs->GetAnsiString(to), "2.5");
    T(ctDate)->SetDate(n, PackDate(2015, 3, 2));
    TTdbDataType::Convert(n, to, T(ctDate), hw, true);
    EXPECT_EQ(hw->GetWideString(to), u"02.03.2015");
    hw->SetWideString(from, u"3/2/15");
    TTdbDataType::Convert(from, n, hw, T(ctDate), true);
    EXPECT_EQ(T(ctDate)->GetDate(n), PackDate(2015, 3, 2));
}

// In a double-byte code page the maximum length counts bytes; text is cut
// before a character that no longer fits, never between its two bytes.
TEST(DataTypeConvertTest, DoubleByteTextIsCutAtCharacterBoundaries) {
    struct Case {
        std::int32_t length;
        std::u16string text;
        std::u16string kept;
    };
    const Case cases[] = {
        {3, u"\u65E5\u672C\u8A9E", u"\u65E5"},
        {4, u"\u65E5\u672C\u8A9E", u"\u65E5\u672C"},
        {3, u"a\u65E5\u672C", u"a\u65E5"},
        {2, u"ab\u65E5", u"ab"},
        {1, u"\u65E5", u""},
        // Half-width katakana take one byte each.
        {3, u"\uFF76\uFF85\u65E5", u"\uFF76\uFF85"},
    };
    for (const Case& c : cases) {
        const TTdbDataType* s =
            TTdbDataType::GetStringType(ctString, true, c.length, u"Japanese", 6);
        TTdbDataValue v;
        s->SetWideString(v, c.text);
        EXPECT_EQ(s->GetWideString(v), c.kept) << c.length;
        // The same bytes given directly are cut alike.
        const std::string bytes = s->GetAnsiString(v);
        s->SetAnsiString(v, TTdbCollation::Get(u"Japanese").ToAnsi(c.text));
        EXPECT_EQ(s->GetAnsiString(v), bytes) << c.length;
    }
}

TEST(DataTypeConvertTest, TextFormsOfTypes) {
    TTdbDataValue v;
    const TTdbDataType* b = T(ctBoolean);
    b->ConvertFromString(v, u"tRuE");
    EXPECT_EQ(b->ConvertToString(v), u"True");
    std::int16_t code = 0;
    EngineMessage([&] { b->ConvertFromString(v, u"Ja"); }, &code);
    EXPECT_EQ(code, 81);
    EXPECT_EQ(b->GetInteger(v), 1);  // unchanged

    T(ctInteger)->ConvertFromString(v, std::nullopt);
    EXPECT_TRUE(T(ctInteger)->IsNull(v));
    EXPECT_EQ(T(ctInteger)->ConvertToString(v), u"");

    EXPECT_EQ(FailureText<EConvertError>([&] { T(ctChar)->ConvertFromString(v, u"ab"); }),
              u"String too long");
    EXPECT_EQ(EngineMessage([&] { T(ctGuid)->ConvertFromString(v, u"{nope}"); }),
              u"Type mismatch: String->Guid");
    EXPECT_EQ(EngineMessage([&] { T(ctRelation)->ConvertToString(v); }, &code),
              u"Unknown error: Cannot convert to string");
    EXPECT_EQ(code, 52);

    const TTdbDataType* time = TTdbDataType::GetDateTimeType(ctTime, true, 2, 6);
    time->ConvertFromString(v, u"12:30 AM");
    EXPECT_EQ(time->ConvertToString(v), u"00:30");

    const TTdbDataType* e = TTdbDataType::GetEnumType(u"Colour", u"red,green", u',', 0, true, 6);
    e->ConvertFromString(v, u"GREEN");
    EXPECT_EQ(e->GetInteger(v), 2);
    EXPECT_EQ(e->ConvertToString(v), u"green");
    EXPECT_EQ(FailureText<EConvertError>([&] { e->ConvertFromString(v, u"blue"); }),
              u"\"blue\" is not a valid enumeration value for Colour.");
    EXPECT_EQ(FailureText<EConvertError>([&] { e->ConvertFromString(v, u"7"); }),
              u"\"7\" is not a valid enumeration value for Colour.");
    EXPECT_EQ(FailureText<EOverflowError>([&] { e->SetInteger(v, 3); }), u"Enum overflow");
}

TEST(DataTypeConvertTest, EnumerationsBetweenThemselves) {
    const TTdbDataType* small = TTdbDataType::GetEnumType(u"S", u"b", u',', 0, true, 6);
    const TTdbDataType* large = TTdbDataType::GetEnumType(u"L", u"a,b", u',', 0, true, 6);
    EXPECT_TRUE(TTdbDataType::CanConvert(small, large, false));
    EXPECT_FALSE(TTdbDataType::CanConvert(large, small, false));
    TTdbDataValue from, to;
    small->SetInteger(from, 1);  // "b"
    TTdbDataType::Convert(from, to, small, large, false);
    EXPECT_EQ(large->GetInteger(to), 2);
    T(ctInteger)->SetInteger(from, 1);
    TTdbDataType::Convert(from, to, T(ctInteger), large, false);
    EXPECT_EQ(large->ConvertToString(to), u"a");
}

}  // namespace
}  // namespace tdb
