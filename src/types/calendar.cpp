// Calendar arithmetic of the engine's date and time values: packed dates,
// day numbers, times of day in ticks, time stamps and GUIDs with their images.
#include "types/calendar.h"

#include <cmath>
#include <string>

#include "base/byte_image.h"
#include "platform/exception.h"
#include "types/type_errors.h"

namespace tdb {

namespace {

constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// Days of all years before Year; year 0 counts as a leap year, which is where
// the "+ 1" of the leap-year count comes from.
std::int64_t DaysBeforeYear(std::int64_t year) noexcept {
    if (year <= 0) {
        return 0;
    }
    const std::int64_t y = year - 1;
    return year * 365 + y / 4 + y / 400 - y / 100 + 1;
}

int Sign(std::int64_t a, std::int64_t b) noexcept {
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

bool IsLeapYear(int year) noexcept {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) noexcept {
    if (month < 1 || month > 12) {
        return 0;
    }
    return kMonthDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

bool IsValidDate(int year, int month, int day) noexcept {
    // Year 0 takes part in day numbers but is no date of its own.
    return year >= 1 && year <= kMaxYear && day >= 1 && day <= DaysInMonth(year, month);
}

bool IsValidPackedDate(std::int32_t packed) noexcept {
    int year = 0;
    int month = 0;
    int day = 0;
    UnpackDate(packed, year, month, day);
    return packed > 0 && IsValidDate(year, month, day);
}

std::int32_t PackDate(int year, int month, int day) noexcept {
    return year * 512 + month * 32 + day;
}

void UnpackDate(std::int32_t packed, int& year, int& month, int& day) noexcept {
    // An arithmetic shift keeps negative (corrupt) values from turning into
    // huge years.
    year = packed >> 9;
    month = (packed >> 5) & 0x0F;
    day = packed & 0x1F;
}

std::int32_t DateToDayNumber(std::int32_t packed) noexcept {
    int year = 0;
    int month = 0;
    int day = 0;
    UnpackDate(packed, year, month, day);
    std::int64_t days = static_cast<std::int64_t>(year) * 365;
    if (year >= 1) {
        days = DaysBeforeYear(year);
    }
    // A corrupt month above 12 must not read past the table.
    for (int m = 1; m < month && m <= 12; ++m) {
        days += DaysInMonth(year, m);
    }
    return static_cast<std::int32_t>(days + day);
}

std::int32_t MinDayNumber() noexcept {
    static const std::int32_t min = DateToDayNumber(kMinPackedDate);
    return min;
}

std::int32_t MaxDayNumber() noexcept {
    static const std::int32_t max = DateToDayNumber(kMaxPackedDate);
    return max;
}

std::int32_t DayNumberToDate(std::int32_t dayNumber) noexcept {
    if (dayNumber < 1 || dayNumber > MaxDayNumber()) {
        return 0;
    }
    // 146097 days make 400 years; the estimate is off by at most one year.
    std::int64_t year = static_cast<std::int64_t>(dayNumber) * 400 / 146097;
    while (year > 0 && DaysBeforeYear(year) >= dayNumber) {
        --year;
    }
    while (DaysBeforeYear(year + 1) < dayNumber) {
        ++year;
    }
    int rest = static_cast<int>(dayNumber - DaysBeforeYear(year));
    const int y = static_cast<int>(year);
    int month = 1;
    while (rest > DaysInMonth(y, month)) {
        rest -= DaysInMonth(y, month);
        ++month;
    }
    return PackDate(y, month, rest);
}

int CompareTimeStamps(const TTdbTimeStamp& a, const TTdbTimeStamp& b) {
    if (a.Time < 0 || a.Time >= kMillisecondsPerDay || b.Time < 0 ||
        b.Time >= kMillisecondsPerDay) {
        throw Exception(std::u16string(u"Invalid time stamp in CompareTimeStamps"));
    }
    if (a.Date != b.Date) {
        return Sign(a.Date, b.Date);
    }
    return Sign(a.Time, b.Time);
}

double TimeStampToNumber(const TTdbTimeStamp& ts) noexcept {
    return static_cast<double>(DateToDayNumber(ts.Date)) +
           static_cast<double>(ts.Time) / kMillisecondsPerDay;
}

TTdbTimeStamp NumberToTimeStamp(double value) {
    if (!std::isfinite(value) || value < 0 || value >= static_cast<double>(MaxDayNumber()) + 1) {
        throw EOverflowError(std::u16string(u"Number is outside the range of time stamps"));
    }
    const double whole = std::floor(value);
    std::int32_t dayNumber = static_cast<std::int32_t>(whole);
    auto ms = static_cast<std::int32_t>(std::llround((value - whole) * kMillisecondsPerDay));
    // Rounding the fraction up to a whole day must move the date, not leave a
    // millisecond count that no time stamp may have.
    if (ms >= kMillisecondsPerDay) {
        ms -= kMillisecondsPerDay;
        ++dayNumber;
        if (dayNumber > MaxDayNumber()) {
            throw EOverflowError(std::u16string(u"Number is outside the range of time stamps"));
        }
    }
    // Day 0 is the empty date; a time on it would be a time stamp that is
    // neither NULL nor a moment.
    if (dayNumber == 0 && ms != 0) {
        throw EOverflowError(std::u16string(u"Number is outside the range of time stamps"));
    }
    return TTdbTimeStamp{DayNumberToDate(dayNumber), ms};
}

int CompareGuids(const TTdbGuid& a, const TTdbGuid& b) noexcept {
    if (a.D1 != b.D1) {
        return Sign(a.D1, b.D1);
    }
    if (a.D2 != b.D2) {
        return Sign(a.D2, b.D2);
    }
    if (a.D3 != b.D3) {
        return Sign(a.D3, b.D3);
    }
    const auto clockSeq = [](const TTdbGuid& g) { return LoadLE<std::uint16_t>(&g.D4[0]); };
    if (clockSeq(a) != clockSeq(b)) {
        return Sign(clockSeq(a), clockSeq(b));
    }
    for (int i = 7; i >= 2; --i) {
        if (a.D4[i] != b.D4[i]) {
            return Sign(a.D4[i], b.D4[i]);
        }
    }
    return 0;
}

void LoadGuid(const void* image, TTdbGuid& guid) noexcept {
    const auto* bytes = static_cast<const std::uint8_t*>(image);
    guid.D1 = LoadLE<std::uint32_t>(bytes);
    guid.D2 = LoadLE<std::uint16_t>(bytes + 4);
    guid.D3 = LoadLE<std::uint16_t>(bytes + 6);
    for (int i = 0; i < 8; ++i) {
        guid.D4[i] = bytes[8 + i];
    }
}

void StoreGuid(void* image, const TTdbGuid& guid) noexcept {
    auto* bytes = static_cast<std::uint8_t*>(image);
    StoreLE<std::uint32_t>(bytes, guid.D1);
    StoreLE<std::uint16_t>(bytes + 4, guid.D2);
    StoreLE<std::uint16_t>(bytes + 6, guid.D3);
    for (int i = 0; i < 8; ++i) {
        bytes[8 + i] = guid.D4[i];
    }
}

}  // namespace tdb
