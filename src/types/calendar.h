// Calendar arithmetic of the engine's date and time values: packed dates,
// day numbers, times of day in ticks, time stamps and GUIDs with their images.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tdb {

// A packed date is year * 512 + month * 32 + day; 0 is the empty date.
inline constexpr std::int32_t kMinPackedDate = 545;      // 1 January of year 1
inline constexpr std::int32_t kMaxPackedDate = 5119903;  // 31 December 9999
inline constexpr int kMaxYear = 9999;

inline constexpr std::int64_t kTicksPerMillisecond = 10000;
inline constexpr std::int64_t kTicksPerSecond = 10000000;
inline constexpr std::int64_t kTicksPerMinute = 600000000;
inline constexpr std::int64_t kTicksPerHour = 36000000000;
inline constexpr std::int64_t kTicksPerDay = 864000000000;
// One tick before 24:00; "24:00" itself parses to kTicksPerDay.
inline constexpr std::int64_t kMaxTimeTicks = 863999999999;
inline constexpr std::int32_t kMillisecondsPerDay = 86400000;

// The packed date and the milliseconds since midnight (0..86399999).
struct TTdbTimeStamp {
    std::int32_t Date = 0;
    std::int32_t Time = 0;
};

// The platform GUID layout: a 32-bit, two 16-bit parts and 8 single bytes.
struct TTdbGuid {
    std::uint32_t D1 = 0;
    std::uint16_t D2 = 0;
    std::uint16_t D3 = 0;
    std::uint8_t D4[8] = {};
};

inline constexpr std::size_t kGuidImageSize = 16;

bool IsLeapYear(int year) noexcept;
// 0 outside months 1..12.
int DaysInMonth(int year, int month) noexcept;
// Year 1..9999, month 1..12, day within the month.
bool IsValidDate(int year, int month, int day) noexcept;
bool IsValidPackedDate(std::int32_t packed) noexcept;

// No validation: callers pack what they have already checked.
std::int32_t PackDate(int year, int month, int day) noexcept;
void UnpackDate(std::int32_t packed, int& year, int& month, int& day) noexcept;

// Day 1 is 1 January of year 0 (a leap year); the empty date gives 0.
std::int32_t DateToDayNumber(std::int32_t packed) noexcept;
// The inverse of DateToDayNumber; day numbers below 1 or beyond 31 December
// 9999 give the empty date 0.
std::int32_t DayNumberToDate(std::int32_t dayNumber) noexcept;
// The day numbers of kMinPackedDate and kMaxPackedDate.
std::int32_t MinDayNumber() noexcept;
std::int32_t MaxDayNumber() noexcept;

// Date first, then milliseconds; -1, 0 or 1. Raises tdb::Exception
// "Invalid time stamp in CompareTimeStamps" when a millisecond part lies
// outside 0..86399999.
int CompareTimeStamps(const TTdbTimeStamp& a, const TTdbTimeStamp& b);

// Day number + milliseconds / 86400000.
double TimeStampToNumber(const TTdbTimeStamp& ts) noexcept;
// The whole part as day number, the fraction as milliseconds (rounded, a full
// day carried into the date); 0 gives the empty time stamp. Raises
// EOverflowError for values that are not finite, negative, beyond
// 31 December 9999, or a time without a date (between 0 and 1).
TTdbTimeStamp NumberToTimeStamp(double value);

// D1, D2, D3 unsigned, then bytes 8-9 as one little-endian 16-bit number,
// then bytes 15 down to 10; -1, 0 or 1.
int CompareGuids(const TTdbGuid& a, const TTdbGuid& b) noexcept;
// The 16-byte little-endian image of a GUID.
void LoadGuid(const void* image, TTdbGuid& guid) noexcept;
void StoreGuid(void* image, const TTdbGuid& guid) noexcept;

}  // namespace tdb
