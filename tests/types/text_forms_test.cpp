// Checks the text forms of integers, floats, dates, times, time stamps and
// GUIDs in both directions, valid and invalid.
#include "types/text_forms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <random>
#include <string>

#include "base/engine_error.h"
#include "platform/text.h"
#include "types/calendar.h"
#include "types/type_errors.h"

namespace tdb {
namespace {

std::string Show(std::u16string_view text) {
    return ToUtf8(text);
}

// The message of the EConvertError that Parse raises; fails the test when
// nothing or something else is raised.
template <typename Parse>
std::u16string ConvertErrorOf(Parse parse) {
    try {
        parse();
    } catch (const EConvertError& e) {
        return e.Message();
    } catch (...) {
        ADD_FAILURE() << "an exception other than EConvertError escaped";
        return {};
    }
    ADD_FAILURE() << "nothing was raised";
    return {};
}

constexpr std::int64_t Ticks(int h, int m, int s, int ms) {
    return h * kTicksPerHour + m * kTicksPerMinute + s * kTicksPerSecond +
           ms * kTicksPerMillisecond;
}

// --- Integers and booleans

TEST(TextFormsTest, IntegersReadDecimalTextWithASignAndBlanks) {
    struct Case {
        std::u16string_view text;
        std::int64_t value;
    };
    const Case cases[] = {
        {u"0", 0},
        {u"42", 42},
        {u"+42", 42},
        {u"-0", 0},
        {u" 42 ", 42},
        {u"\t-7", -7},
        {u"007", 7},
        {u"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {u"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IntegerFromText(c.text), c.value) << Show(c.text);
        EXPECT_EQ(TryIntegerFromText(c.text), c.value) << Show(c.text);
    }
}

TEST(TextFormsTest, IntegersRejectAnythingButOneDecimalNumber) {
    for (const std::u16string_view text :
         {u"", u" ", u"+", u"-", u"4 2", u"42x", u"0x10", u"1.0", u"1e3", u"+-1", u"--1", u"-+1",
          u"++1", u"\uFF14\uFF12", u"\u0661"}) {
        EXPECT_FALSE(TryIntegerFromText(text).has_value()) << Show(text);
        EXPECT_EQ(ConvertErrorOf([&] { IntegerFromText(text); }),
                  u"\"" + std::u16string(text) + u"\" is not a valid integer")
            << Show(text);
    }
    for (const std::u16string_view text :
         {u"9223372036854775808", u"-9223372036854775809", u"99999999999999999999999"}) {
        EXPECT_FALSE(TryIntegerFromText(text).has_value()) << Show(text);
        EXPECT_EQ(ConvertErrorOf([&] { IntegerFromText(text); }),
                  u"\"" + std::u16string(text) + u"\" is outside the range of 64-bit integers")
            << Show(text);
    }
}

TEST(TextFormsTest, IntegersWriteDecimalTextThatReadsBack) {
    EXPECT_EQ(IntegerToText(0), u"0");
    EXPECT_EQ(IntegerToText(-17), u"-17");
    EXPECT_EQ(IntegerToText(std::numeric_limits<std::int64_t>::min()), u"-9223372036854775808");
    std::mt19937_64 random(42);
    for (int i = 0; i < 1000; ++i) {
        const auto value = static_cast<std::int64_t>(random());
        ASSERT_EQ(IntegerFromText(IntegerToText(value)), value);
    }
}

TEST(TextFormsTest, BooleansAreTrueOrFalseInAnyCase) {
    EXPECT_EQ(BooleanToText(true), u"True");
    EXPECT_EQ(BooleanToText(false), u"False");
    EXPECT_EQ(TryBooleanFromText(u"true"), true);
    EXPECT_EQ(TryBooleanFromText(u"FALSE"), false);
    for (const std::u16string_view text : {u"", u"yes", u"1", u" True", u"Tru", u"Falsey"}) {
        EXPECT_FALSE(TryBooleanFromText(text).has_value()) << Show(text);
    }
}

// --- Floats

TEST(TextFormsTest, FloatsWriteTheShortestFormOfAtMostFifteenDigits) {
    struct Case {
        double value;
        std::u16string_view text;
    };
    const Case cases[] = {
        {0.1, u"0.1"},
        {0.1 + 0.2, u"0.3"},
        {1.0 / 3, u"0.333333333333333"},
        {2.0 / 3, u"0.666666666666667"},
        {100, u"100"},
        {-1234.5, u"-1234.5"},
        {0.0, u"0"},
        {-0.0, u"0"},
        {1e14, u"100000000000000"},
        {1e15, u"1E15"},
        {1e20, u"1E20"},
        {123456789012345678.0, u"1.23456789012346E17"},
        {0.0001, u"0.0001"},
        {0.00001, u"1E-5"},
        {-1.5e-7, u"-1.5E-7"},
        {2.5e-300, u"2.5E-300"},
        {std::numeric_limits<double>::denorm_min(), u"4.94065645841247E-324"},
        // Fifteen digits would round past the largest double.
        {std::numeric_limits<double>::max(), u"1.7976931348623E308"},
        {std::numeric_limits<double>::infinity(), u"INF"},
        {-std::numeric_limits<double>::infinity(), u"-INF"},
        {std::numeric_limits<double>::quiet_NaN(), u"NAN"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FloatToText(c.value), c.text) << c.value;
    }
}

TEST(TextFormsTest, FloatsReadDecimalTextWithSignExponentAndBlanks) {
    struct Case {
        std::u16string_view text;
        double value;
    };
    const Case cases[] = {
        {u"1.5", 1.5},
        {u" 1.5 ", 1.5},
        {u"+2", 2},
        {u"-3e2", -300},
        {u"1E-5", 1e-5},
        {u".5", 0.5},
        {u"5.", 5},
        {u"1E20", 1e20},
        {u"INF", INFINITY},
        {u"-inf", -INFINITY},
        {u"1.7976931348623E308", 1.7976931348623e308},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FloatFromText(c.text), c.value) << Show(c.text);
    }
    EXPECT_TRUE(std::isnan(FloatFromText(u"NaN")));
}

TEST(TextFormsTest, FloatsRejectTextThatIsNotOneNumber) {
    for (const std::u16string_view text :
         {u"", u"  ", u"abc", u"1,5", u"1.5x", u"+-1", u"--1", u"++1", u"+", u"-", u"1 5", u"1e",
          u"e5", u"0x10", u"1e400", u"-1e400", u"1e-400", u"\uFF11"}) {
        EXPECT_FALSE(TryFloatFromText(text).has_value()) << Show(text);
        EXPECT_EQ(ConvertErrorOf([&] { FloatFromText(text); }),
                  u"Invalid double: \"" + std::u16string(text) + u"\"")
            << Show(text);
    }
}

// Any double written and read back equals the double rounded to fifteen
// significant digits, and writing that again gives the same text.
TEST(TextFormsTest, FloatsRoundTripAtFifteenDigits) {
    std::mt19937_64 random(20150302);
    std::uniform_int_distribution<int> exponents(-300, 300);
    std::uniform_real_distribution<double> mantissas(-10, 10);
    for (int i = 0; i < 20000; ++i) {
        double value = 0;
        if (i % 2 == 0) {
            value = std::ldexp(mantissas(random), exponents(random));
        } else {
            // Any bit pattern, but no NaN or infinity.
            do {
                value = std::bit_cast<double>(random());
            } while (!std::isfinite(value));
        }
        char reference[40];
        std::snprintf(reference, sizeof(reference), "%.15g", value);
        const double rounded = std::strtod(reference, nullptr);
        if (std::isinf(rounded)) {
            continue;  // only near the largest double; covered above
        }
        const std::u16string text = FloatToText(value);
        const double back = FloatFromText(text);
        ASSERT_EQ(back, rounded) << Show(text);
        ASSERT_EQ(FloatToText(back), text);
    }

    // Values with at most fifteen significant digits come back exactly.
    std::uniform_int_distribution<std::int64_t> digits(-999999999999999, 999999999999999);
    std::uniform_int_distribution<int> scales(-20, 20);
    for (int i = 0; i < 20000; ++i) {
        char decimal[48];
        std::snprintf(decimal, sizeof(decimal), "%lldE%d", static_cast<long long>(digits(random)),
                      scales(random));
        const double value = std::strtod(decimal, nullptr);
        ASSERT_EQ(FloatFromText(FloatToText(value)), value) << decimal;
    }
}

// --- Dates

TEST(TextFormsTest, DatesAreWrittenDayMonthYearWithPadding) {
    EXPECT_EQ(DateToText(PackDate(2015, 3, 2)), u"02.03.2015");
    EXPECT_EQ(DateToText(PackDate(15, 3, 2)), u"02.03.0015");
    EXPECT_EQ(DateToText(kMinPackedDate), u"01.01.0001");
    EXPECT_EQ(DateToText(kMaxPackedDate), u"31.12.9999");
    EXPECT_EQ(DateToText(0), u"");
}

TEST(TextFormsTest, DatesReadInTheirThreeForms) {
    struct Case {
        std::u16string_view text;
        int year, month, day;
    };
    const Case cases[] = {
        {u"2.3.15", 2015, 3, 2},     {u"3/2/15", 2015, 3, 2},         {u"15-3-2", 2015, 3, 2},
        {u"02.03.2015", 2015, 3, 2}, {u"2.3.0015", 15, 3, 2},  // four digits are taken as written
        {u"2.3.015", 15, 3, 2},      {u"2.3.29", 2029, 3, 2},         {u"2.3.30", 1930, 3, 2},
        {u"2.3.99", 1999, 3, 2},     {u"2.3.5", 2005, 3, 2},          {u"2.3.00", 2000, 3, 2},
        {u"2015-03-02", 2015, 3, 2}, {u"12/31/9999", 9999, 12, 31},   {u"1.1.0001", 1, 1, 1},
        {u"1.1.1", 2001, 1, 1},      {u"29.2.2024", 2024, 2, 29},     {u"29.2.2000", 2000, 2, 29},
        {u"30.4.2020", 2020, 4, 30}, {u"0002.0003.2015", 2015, 3, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DateFromText(c.text), PackDate(c.year, c.month, c.day)) << Show(c.text);
    }
}

TEST(TextFormsTest, DatesRejectInvalidDaysAndJunk) {
    for (const std::u16string_view text : {
             u"31.4.2020",   u"2.3.2015x",
             u"29.2.2023",   u"29.2.1900",
             u"29.2.2100",   u"0.3.2015",
             u"2.0.2015",    u"2.13.2015",
             u"32.1.2015",   u"",
             u".",           u"..",
             u"//",          u"--",
             u"2.3",         u"2015",
             u"2.3.2015.",   u"1.2.3.4",
             u".2.3",        u"2..2015",
             u"2.3.20150",   u"00002.3.2015",
             u" 2.3.2015",   u"2.3.2015 ",
             u"2.3/2015",    u"2-3-2015",
             u"2 3 2015",    u"+2.3.2015",
             u"-2.3.2015",   u"\uFF12.3.2015",
             u"2.3.2015_12", u"99999999999999999999.1.1",
             u"1.1.0000",    u"31.12.0000",
         }) {
        EXPECT_FALSE(TryDateFromText(text).has_value()) << Show(text);
        EXPECT_EQ(ConvertErrorOf([&] { DateFromText(text); }),
                  u"\"" + std::u16string(text) + u"\" is not a valid date")
            << Show(text);
    }
}

TEST(TextFormsTest, DatesReadBackWhatTheyWrite) {
    for (std::int32_t n = DateToDayNumber(kMinPackedDate); n <= MaxDayNumber(); n += 97) {
        const std::int32_t packed = DayNumberToDate(n);
        ASSERT_EQ(DateFromText(DateToText(packed)), packed) << Show(DateToText(packed));
    }
}

// --- Times

TEST(TextFormsTest, TimesAreWrittenAtTheirPrecision) {
    const std::int64_t t = Ticks(13, 2, 3, 5) + 9999;  // below a millisecond is cut
    EXPECT_EQ(TimeToText(t, 1), u"13");
    EXPECT_EQ(TimeToText(t, 2), u"13:02");
    EXPECT_EQ(TimeToText(t, 3), u"13:02:03");
    EXPECT_EQ(TimeToText(t, 4), u"13:02:03.005");
    EXPECT_EQ(TimeToText(Ticks(0, 59, 59, 999), 2), u"00:59");
    EXPECT_EQ(TimeToText(kMaxTimeTicks, 4), u"23:59:59.999");
    EXPECT_EQ(TimeToText(kTicksPerDay, 4), u"24:00:00.000");
    EXPECT_EQ(TimeToText(t, 0), u"13");
    EXPECT_EQ(TimeToText(t, 9), u"13:02:03.005");
    EXPECT_EQ(TimeToText(-Ticks(1, 0, 0, 0), 2), u"-01:00");
    EXPECT_EQ(TimeToText(std::numeric_limits<std::int64_t>::min(), 1), u"-256204778");
}

TEST(TextFormsTest, TimesReadHoursMinutesSecondsAndFraction) {
    struct Case {
        std::u16string_view text;
        std::int64_t ticks;
    };
    const Case cases[] = {
        {u"0", 0},
        {u"7", Ticks(7, 0, 0, 0)},
        {u"12:30", Ticks(12, 30, 0, 0)},
        {u"07:05:09", Ticks(7, 5, 9, 0)},
        // The fraction's digits count milliseconds, whatever their number.
        {u"1:2:3.5", Ticks(1, 2, 3, 5)},
        {u"1:2:3.500", Ticks(1, 2, 3, 500)},
        {u"1:2:3.0005", Ticks(1, 2, 3, 5)},
        {u"23:59:59.999", kMaxTimeTicks - 9999},
        {u"24", kTicksPerDay},
        {u"24:00", kTicksPerDay},
        {u"24:00:00", kTicksPerDay},
        {u"24:00:00.000", kTicksPerDay},
        {u"12:30 PM", Ticks(12, 30, 0, 0)},
        {u"12:30 AM", Ticks(0, 30, 0, 0)},
        {u"1 pm", Ticks(13, 0, 0, 0)},
        {u"11:59:59.999 Pm", Ticks(23, 59, 59, 999)},
        {u"1:2:3.5 AM", Ticks(1, 2, 3, 5)},
        {u"00012:00", Ticks(12, 0, 0, 0)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TimeFromText(c.text), c.ticks) << Show(c.text);
    }
}

TEST(TextFormsTest, TimesRejectValuesOutOfRangeAndJunk) {
    for (const std::u16string_view text : {
             u"24:00:01",  u"24:01",      u"24:00:00.001", u"25",         u"12:60",
             u"12:00:60",  u"1:2:3.1000", u"0 AM",         u"13 PM",      u"24 PM",
             u"12:30PM",   u"12:30  PM",  u"12:30 XM",     u"12:30 PM x", u" 12:30",
             u"12:30 ",    u"",           u"AM",           u" PM",        u"1.5",
             u"1:",        u":30",        u"1::2",         u"1:2:3.",     u"1:2:3.4.5",
             u"1:2:3:4",   u"100000",     u"-1:00",        u"1:2.5",      u"99999999999:00",
             u"\uFF11:00",
         }) {
        EXPECT_FALSE(TryTimeFromText(text).has_value()) << Show(text);
        EXPECT_EQ(ConvertErrorOf([&] { TimeFromText(text); }),
                  u"\"" + std::u16string(text) + u"\" is not a valid time")
            << Show(text);
    }
}

TEST(TextFormsTest, TimesReadBackWhatTheyWrite) {
    std::mt19937_64 random(1200);
    std::uniform_int_distribution<std::int64_t> ticks(0, kMaxTimeTicks);
    for (int i = 0; i < 10000; ++i) {
        const std::int64_t t = ticks(random);
        ASSERT_EQ(TimeFromText(TimeToText(t, 4)), t - t % kTicksPerMillisecond);
        ASSERT_EQ(TimeFromText(TimeToText(t, 2)), t - t % kTicksPerMinute);
    }
}

// --- Time stamps

TEST(TextFormsTest, TimeStampsAreWrittenAsDateUnderscoreTime) {
    EXPECT_EQ(TimeStampToText({PackDate(2015, 3, 2), 45000005}), u"02.03.2015_12:30:00.005");
    EXPECT_EQ(TimeStampToText({PackDate(2015, 3, 2), 0}), u"02.03.2015_00:00:00.000");
    EXPECT_EQ(TimeStampToText({}), u"");
}

TEST(TextFormsTest, TimeStampsSplitAtTheFirstUnderscoreOrSpace) {
    struct Case {
        std::u16string_view text;
        std::int32_t date;
        std::int32_t ms;
    };
    const std::int32_t march2 = PackDate(2015, 3, 2);
    const Case cases[] = {
        {u"2.3.2015_12:30", march2, 45000000},
        {u"2.3.2015 12:30", march2, 45000000},
        {u"2015-03-02_13:30:00.250", march2, 48600250},
        // The space of the suffix belongs to the time.
        {u"2.3.2015 1:30 PM", march2, 48600000},
        {u"2.3.2015_1:30 PM", march2, 48600000},
        {u"2.3.2015", march2, 0},
        {u"12:30", kMinPackedDate, 45000000},
        {u"02.03.2015_23:59:59.999", march2, kMillisecondsPerDay - 1},
        // 24:00 is the first moment of the next day.
        {u"2.3.2015_24:00", PackDate(2015, 3, 3), 0},
        {u"28.2.2100 24:00", PackDate(2100, 3, 1), 0},
        {u"24:00", PackDate(1, 1, 2), 0},
    };
    for (const Case& c : cases) {
        const TTdbTimeStamp ts = TimeStampFromText(c.text);
        EXPECT_EQ(ts.Date, c.date) << Show(c.text);
        EXPECT_EQ(ts.Time, c.ms) << Show(c.text);
    }
}

TEST(TextFormsTest, TimeStampsRejectMisplacedSeparatorsAndBadParts) {
    for (const std::u16string_view text : {
             u"_12:30",
             u" 12:30",
             u"_",
             u" ",
             u"",
             u"2.3.2015_",
             u"2.3.2015 ",
             u"2.3.2015__12:30",
             u"2.3.2015_12:30_",
             u"2.3.2015 12:30 x",
             u"2.3.2015_25:00",
             u"31.4.2020_12:00",
             u"31.12.9999_24:00",
             u"x",
             u"12:30 PM",
             u"12.30",
             u"2.3.2015T12:30",
         }) {
        EXPECT_FALSE(TryTimeStampFromText(text).has_value()) << Show(text);
        EXPECT_EQ(ConvertErrorOf([&] { TimeStampFromText(text); }),
                  u"\"" + std::u16string(text) + u"\" is not a valid time stamp")
            << Show(text);
    }
}

TEST(TextFormsTest, TimeStampsReadBackWhatTheyWrite) {
    std::mt19937 random(86400);
    std::uniform_int_distribution<std::int32_t> days(DateToDayNumber(kMinPackedDate),
                                                     MaxDayNumber());
    std::uniform_int_distribution<std::int32_t> ms(0, kMillisecondsPerDay - 1);
    for (int i = 0; i < 10000; ++i) {
        const TTdbTimeStamp ts{DayNumberToDate(days(random)), ms(random)};
        const TTdbTimeStamp back = TimeStampFromText(TimeStampToText(ts));
        ASSERT_EQ(back.Date, ts.Date);
        ASSERT_EQ(back.Time, ts.Time);
    }
}

// --- GUIDs

TEST(TextFormsTest, GuidsAreBracedUpperCaseHex) {
    TTdbGuid guid{0x01234567, 0x89AB, 0xCDEF, {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE}};
    EXPECT_EQ(GuidToText(guid), u"{01234567-89AB-CDEF-1032-547698BADCFE}");
    EXPECT_EQ(GuidToText(TTdbGuid{}), u"{00000000-0000-0000-0000-000000000000}");

    const TTdbGuid lower = GuidFromText(u"{01234567-89ab-cdef-1032-547698badcfe}");
    EXPECT_EQ(CompareGuids(lower, guid), 0);
    EXPECT_EQ(lower.D4[0], 0x10);
    EXPECT_EQ(lower.D4[7], 0xFE);
}

TEST(TextFormsTest, GuidsReadBackWhatTheyWrite) {
    std::mt19937_64 random(21);
    for (int i = 0; i < 1000; ++i) {
        std::uint8_t image[kGuidImageSize];
        for (std::uint8_t& b : image) {
            b = static_cast<std::uint8_t>(random());
        }
        TTdbGuid guid;
        LoadGuid(image, guid);
        const TTdbGuid back = GuidFromText(GuidToText(guid));
        ASSERT_EQ(CompareGuids(back, guid), 0) << Show(GuidToText(guid));
        std::uint8_t again[kGuidImageSize];
        StoreGuid(again, back);
        ASSERT_TRUE(std::equal(std::begin(image), std::end(image), std::begin(again)));
    }
}

TEST(TextFormsTest, GuidsRejectEveryOtherForm) {
    for (const std::u16string_view text : {
             u"",
             u"01234567-89AB-CDEF-1032-547698BADCFE",
             u"{01234567-89AB-CDEF-1032-547698BADCFE",
             u"{01234567-89AB-CDEF-1032-547698BADCFE}x",
             u"{01234567-89AB-CDEF-1032-547698BADCF}",
             u"(01234567-89AB-CDEF-1032-547698BADCFE)",
             u"{0123456789AB-CDEF-1032-547698BADCFE-}",
             u"{01234567-89AB-CDEF-1032-547698BADCFG}",
             u"{01234567_89AB-CDEF-1032-547698BADCFE}",
             u"{ 1234567-89AB-CDEF-1032-547698BADCFE}",
             u"{+1234567-89AB-CDEF-1032-547698BADCFE}",
             u"{01234567-89AB-CDEF-1032-547698BADCF\uFF10}",
             u"{0123456789ABCDEF1032547698BADCFE}",
         }) {
        EXPECT_FALSE(TryGuidFromText(text).has_value()) << Show(text);
        try {
            GuidFromText(text);
            ADD_FAILURE() << Show(text) << " was accepted";
        } catch (const ETdbEngine& e) {
            EXPECT_EQ(e.Code(), 44);
            EXPECT_EQ(e.Message(), u"Type mismatch: String->Guid");
        }
    }
}

}  // namespace
}  // namespace tdb
