// Millisecond tick count and sleeping, for retry loops and delayed lock release.
#pragma once

#include <cstdint>

namespace tdb::platform {

// Milliseconds of a monotonic clock cut to 32 bits; it wraps after about 49.7 days, so compare
// two ticks only by unsigned subtraction.
uint32_t GetTickCount() noexcept;

// Sleeps at least the given milliseconds, signals notwithstanding; 0 only yields the processor.
void Sleep(uint32_t milliseconds) noexcept;

}  // namespace tdb::platform
