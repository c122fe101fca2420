// Checks packed dates, day numbers, time stamps and GUID order and images.
#include "types/calendar.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>

#include "platform/exception.h"
#include "types/type_errors.h"

namespace tdb {
namespace {

// An independent civil-day count (days since 1 January 1970, proleptic
// Gregorian) to check the day numbers against.
std::int64_t CivilDays(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

TEST(CalendarTest, LeapYearsAndMonthLengths) {
    EXPECT_TRUE(IsLeapYear(2024));
    EXPECT_TRUE(IsLeapYear(2000));
    EXPECT_TRUE(IsLeapYear(0));
    EXPECT_FALSE(IsLeapYear(1900));
    EXPECT_FALSE(IsLeapYear(2100));
    EXPECT_FALSE(IsLeapYear(2015));

    EXPECT_EQ(DaysInMonth(2024, 2), 29);
    EXPECT_EQ(DaysInMonth(1900, 2), 28);
    EXPECT_EQ(DaysInMonth(2015, 4), 30);
    EXPECT_EQ(DaysInMonth(2015, 12), 31);
    EXPECT_EQ(DaysInMonth(2015, 0), 0);
    EXPECT_EQ(DaysInMonth(2015, 13), 0);

    EXPECT_TRUE(IsValidDate(2000, 2, 29));
    EXPECT_FALSE(IsValidDate(1900, 2, 29));
    EXPECT_FALSE(IsValidDate(2020, 4, 31));
    EXPECT_FALSE(IsValidDate(2020, 1, 0));
    EXPECT_FALSE(IsValidDate(10000, 1, 1));
    EXPECT_FALSE(IsValidDate(-1, 1, 1));
    EXPECT_FALSE(IsValidDate(0, 1, 1));  // year 0 only counts days
    EXPECT_TRUE(IsValidDate(1, 1, 1));
}

TEST(CalendarTest, PacksYearMonthAndDayIntoBitFields) {
    EXPECT_EQ(PackDate(1, 1, 1), kMinPackedDate);
    EXPECT_EQ(PackDate(9999, 12, 31), kMaxPackedDate);
    EXPECT_EQ(PackDate(2015, 3, 2), 2015 * 512 + 3 * 32 + 2);
    int year = 0;
    int month = 0;
    int day = 0;
    UnpackDate(PackDate(2015, 3, 2), year, month, day);
    EXPECT_EQ(year, 2015);
    EXPECT_EQ(month, 3);
    EXPECT_EQ(day, 2);

    EXPECT_TRUE(IsValidPackedDate(PackDate(2024, 2, 29)));
    EXPECT_FALSE(IsValidPackedDate(PackDate(2023, 2, 29)));
    EXPECT_FALSE(IsValidPackedDate(0));
    EXPECT_FALSE(IsValidPackedDate(-545));
}

TEST(CalendarTest, DayNumbersCountFromTheFirstDayOfYearZero) {
    EXPECT_EQ(DateToDayNumber(0), 0);
    EXPECT_EQ(DateToDayNumber(PackDate(0, 1, 1)), 1);
    // Year 0 is a leap year of 366 days.
    EXPECT_EQ(DateToDayNumber(PackDate(0, 12, 31)), 366);
    EXPECT_EQ(DateToDayNumber(kMinPackedDate), 367);
    EXPECT_EQ(MaxDayNumber(), DateToDayNumber(kMaxPackedDate));
}

TEST(CalendarTest, DayNumbersAgreeWithTheCivilCalendar) {
    const std::int64_t offset = DateToDayNumber(PackDate(1970, 1, 1));
    std::mt19937 random(20150302);
    std::uniform_int_distribution<int> years(0, 9999);
    std::uniform_int_distribution<int> months(1, 12);
    for (int i = 0; i < 20000; ++i) {
        const int y = years(random);
        const int m = months(random);
        std::uniform_int_distribution<int> days(1, DaysInMonth(y, m));
        const int d = days(random);
        ASSERT_EQ(DateToDayNumber(PackDate(y, m, d)) - offset,
                  CivilDays(y, static_cast<unsigned>(m), static_cast<unsigned>(d)))
            << y << "-" << m << "-" << d;
    }
}

// Every day of whole years, including leap, century and the range's end
// years, follows the one before it and turns back into itself.
TEST(CalendarTest, DayNumberToDateInvertsEveryDayOfWholeYears) {
    for (const int year : {0, 1, 4, 100, 1600, 1900, 2000, 2015, 2024, 2100, 9996, 9999}) {
        std::int32_t expected = DateToDayNumber(PackDate(year, 1, 1));
        int daysSeen = 0;
        for (int month = 1; month <= 12; ++month) {
            for (int day = 1; day <= DaysInMonth(year, month); ++day) {
                const std::int32_t packed = PackDate(year, month, day);
                const std::int32_t number = DateToDayNumber(packed);
                ASSERT_EQ(number, expected) << year << "-" << month << "-" << day;
                ASSERT_EQ(DayNumberToDate(number), packed) << year << "-" << month << "-" << day;
                ++expected;
                ++daysSeen;
            }
        }
        EXPECT_EQ(daysSeen, IsLeapYear(year) ? 366 : 365) << year;
    }
}

TEST(CalendarTest, DayNumberToDateInvertsTheWholeRange) {
    std::int32_t previous = 0;
    for (std::int32_t n = DateToDayNumber(kMinPackedDate); n <= MaxDayNumber(); ++n) {
        const std::int32_t packed = DayNumberToDate(n);
        ASSERT_TRUE(IsValidPackedDate(packed)) << n;
        ASSERT_GT(packed, previous) << n;
        ASSERT_EQ(DateToDayNumber(packed), n);
        previous = packed;
    }
    EXPECT_EQ(previous, kMaxPackedDate);
    EXPECT_EQ(DayNumberToDate(DateToDayNumber(kMinPackedDate)), kMinPackedDate);
}

TEST(CalendarTest, DayNumbersOutsideTheCalendarGiveTheEmptyDate) {
    EXPECT_EQ(DayNumberToDate(0), 0);
    EXPECT_EQ(DayNumberToDate(-1), 0);
    EXPECT_EQ(DayNumberToDate(std::numeric_limits<std::int32_t>::min()), 0);
    EXPECT_EQ(DayNumberToDate(MaxDayNumber() + 1), 0);
    EXPECT_EQ(DayNumberToDate(std::numeric_limits<std::int32_t>::max()), 0);
    EXPECT_EQ(DayNumberToDate(1), PackDate(0, 1, 1));
}

TEST(CalendarTest, CorruptPackedDatesDoNotReadPastTheMonthTable) {
    // Month 15 and day 31 fit the bit fields; the count stays finite.
    const std::int32_t corrupt = PackDate(2015, 15, 31);
    EXPECT_EQ(DateToDayNumber(corrupt), DateToDayNumber(PackDate(2015, 12, 31)) + 31);
}

TEST(CalendarTest, TimeStampsCompareByDateThenMilliseconds) {
    const TTdbTimeStamp early{PackDate(2015, 3, 2), kMillisecondsPerDay - 1};
    const TTdbTimeStamp late{PackDate(2015, 3, 3), 0};
    const TTdbTimeStamp later{PackDate(2015, 3, 3), 1};
    EXPECT_EQ(CompareTimeStamps(early, late), -1);
    EXPECT_EQ(CompareTimeStamps(late, early), 1);
    EXPECT_EQ(CompareTimeStamps(late, later), -1);
    EXPECT_EQ(CompareTimeStamps(later, later), 0);
    EXPECT_EQ(CompareTimeStamps(TTdbTimeStamp{}, late), -1);
}

TEST(CalendarTest, CompareTimeStampsRejectsMillisecondsOutsideTheDay) {
    const TTdbTimeStamp good{PackDate(2015, 3, 2), 0};
    for (const std::int32_t ms :
         {-1, kMillisecondsPerDay, std::numeric_limits<std::int32_t>::max()}) {
        const TTdbTimeStamp bad{PackDate(2015, 3, 2), ms};
        try {
            CompareTimeStamps(bad, good);
            ADD_FAILURE() << ms << " was accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), u"Invalid time stamp in CompareTimeStamps");
        }
        EXPECT_THROW(CompareTimeStamps(good, bad), Exception) << ms;
    }
}

TEST(CalendarTest, TimeStampsBecomeDayNumbersWithAFraction) {
    const TTdbTimeStamp noon{PackDate(2015, 3, 2), kMillisecondsPerDay / 2};
    const double number = TimeStampToNumber(noon);
    EXPECT_DOUBLE_EQ(number, DateToDayNumber(noon.Date) + 0.5);

    const TTdbTimeStamp back = NumberToTimeStamp(number);
    EXPECT_EQ(back.Date, noon.Date);
    EXPECT_EQ(back.Time, noon.Time);

    std::mt19937 random(545);
    std::uniform_int_distribution<std::int32_t> days(DateToDayNumber(kMinPackedDate),
                                                     MaxDayNumber());
    std::uniform_int_distribution<std::int32_t> ms(0, kMillisecondsPerDay - 1);
    for (int i = 0; i < 10000; ++i) {
        const TTdbTimeStamp ts{DayNumberToDate(days(random)), ms(random)};
        const TTdbTimeStamp again = NumberToTimeStamp(TimeStampToNumber(ts));
        ASSERT_EQ(again.Date, ts.Date);
        ASSERT_EQ(again.Time, ts.Time);
    }
}

TEST(CalendarTest, AFractionThatRoundsToAFullDayMovesTheDate) {
    const std::int32_t day = DateToDayNumber(PackDate(2015, 3, 2));
    const TTdbTimeStamp ts = NumberToTimeStamp(day + 0.9999999999);
    EXPECT_EQ(ts.Date, PackDate(2015, 3, 3));
    EXPECT_EQ(ts.Time, 0);

    const TTdbTimeStamp last = NumberToTimeStamp(MaxDayNumber() + 0.99999);
    EXPECT_EQ(last.Date, kMaxPackedDate);
    EXPECT_EQ(last.Time, 86399136);
    EXPECT_THROW(NumberToTimeStamp(MaxDayNumber() + 0.9999999999), EOverflowError);
}

TEST(CalendarTest, NumbersOutsideTheTimeStampRangeOverflow) {
    for (const double value :
         {-0.5, -1.0, 0.5, 0.0001, static_cast<double>(MaxDayNumber()) + 1.0, 1e300,
          std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_THROW(NumberToTimeStamp(value), EOverflowError) << value;
    }
    const TTdbTimeStamp zero = NumberToTimeStamp(0.0);
    EXPECT_EQ(zero.Date, 0);
    EXPECT_EQ(zero.Time, 0);
    const TTdbTimeStamp firstDay = NumberToTimeStamp(1.25);
    EXPECT_EQ(firstDay.Date, PackDate(0, 1, 1));
    EXPECT_EQ(firstDay.Time, kMillisecondsPerDay / 4);
}

TTdbGuid MakeGuid(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3,
                  std::initializer_list<std::uint8_t> d4) {
    TTdbGuid guid{d1, d2, d3, {}};
    int i = 0;
    for (const std::uint8_t b : d4) {
        guid.D4[i++] = b;
    }
    return guid;
}

TEST(CalendarTest, GuidImagesAreLittleEndianWithBytesInOrder) {
    const TTdbGuid guid =
        MakeGuid(0x01234567, 0x89AB, 0xCDEF, {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE});
    std::uint8_t image[kGuidImageSize] = {};
    StoreGuid(image, guid);
    const std::uint8_t expected[kGuidImageSize] = {0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD,
                                                   0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};
    for (std::size_t i = 0; i < kGuidImageSize; ++i) {
        EXPECT_EQ(image[i], expected[i]) << i;
    }
    TTdbGuid loaded;
    LoadGuid(image, loaded);
    EXPECT_EQ(CompareGuids(loaded, guid), 0);
    EXPECT_EQ(loaded.D1, guid.D1);
    EXPECT_EQ(loaded.D2, guid.D2);
    EXPECT_EQ(loaded.D3, guid.D3);
}

TEST(CalendarTest, GuidsCompareInTheirOwnPartOrder) {
    struct Case {
        const char* what;
        TTdbGuid smaller;
        TTdbGuid greater;
    };
    const Case cases[] = {
        // Each later part loses against an earlier one that differs.
        {"first part decides before the rest", MakeGuid(1, 0xFFFF, 0xFFFF, {0xFF, 0xFF, 0xFF}),
         MakeGuid(2, 0, 0, {})},
        {"first part is unsigned", MakeGuid(0x7FFFFFFF, 0, 0, {}), MakeGuid(0x80000000, 0, 0, {})},
        {"second part", MakeGuid(1, 0x7FFF, 0xFFFF, {0xFF}), MakeGuid(1, 0x8000, 0, {})},
        {"third part", MakeGuid(1, 1, 0x7FFF, {0xFF}), MakeGuid(1, 1, 0x8000, {0})},
        // Bytes 8-9 form a little-endian number: byte 9 weighs more.
        {"bytes 8-9 little-endian", MakeGuid(1, 1, 1, {0xFF, 0x00, 0xFF}),
         MakeGuid(1, 1, 1, {0x00, 0x01, 0x00})},
        {"bytes 8-9 before the node",
         MakeGuid(1, 1, 1, {0x01, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
         MakeGuid(1, 1, 1, {0x02, 0, 0, 0, 0, 0, 0, 0})},
        // The node bytes count from the last one.
        {"byte 15 before byte 10", MakeGuid(1, 1, 1, {0, 0, 0xFF, 0, 0, 0, 0, 0x01}),
         MakeGuid(1, 1, 1, {0, 0, 0x00, 0, 0, 0, 0, 0x02})},
        {"byte 11 before byte 10", MakeGuid(1, 1, 1, {0, 0, 0xFF, 0x01, 0, 0, 0, 0}),
         MakeGuid(1, 1, 1, {0, 0, 0x00, 0x02, 0, 0, 0, 0})},
        {"byte 10 last", MakeGuid(1, 1, 1, {0, 0, 0x01}), MakeGuid(1, 1, 1, {0, 0, 0x02})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CompareGuids(c.smaller, c.greater), -1) << c.what;
        EXPECT_EQ(CompareGuids(c.greater, c.smaller), 1) << c.what;
        EXPECT_EQ(CompareGuids(c.greater, c.greater), 0) << c.what;
    }
}

}  // namespace
}  // namespace tdb
