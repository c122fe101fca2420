// Millisecond tick count and sleeping, for retry loops and delayed lock release.
#pragma once

#include <cstdint>

namespace tdb::platform {

// Milliseconds of a monotonic clock cut to 32 bits; it wraps after about 49.7 days, so compare
// two ticks only by unsigned subtraction.
uint32_t GetTickCount() noexcept;

// The wall clock in the process's local time zone, broken into its parts.
struct TLocalTime {
    int Year = 0;
    int Month = 0;  // 1..12
    int Day = 0;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;  // 0..59; a leap second reads as 59
    int Millisecond = 0;
};
TLocalTime GetLocalTime() noexcept;

// Milliseconds since the kernel started this process, before any library was loaded; to the
// kernel's clock tick (10 ms on most systems). -1 when the system does not tell.
int64_t ProcessAgeMs() noexcept;

// Sleeps at least the given milliseconds, signals notwithstanding; 0 only yields the processor.
void Sleep(uint32_t milliseconds) noexcept;

}  // namespace tdb::platform
