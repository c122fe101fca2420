// Tick count from CLOCK_MONOTONIC and sleeping with clock_nanosleep.
#include "platform/clock.h"

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

namespace tdb::platform {

uint32_t GetTickCount() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

int64_t ProcessAgeMs() noexcept {
    try {
        // The start time is field 22 of the process's status line, in clock ticks since boot;
        // the command name (field 2) is in parentheses and may hold spaces.
        std::ifstream stat("/proc/self/stat");
        std::string line;
        if (!std::getline(stat, line))
            return -1;
        const std::size_t nameEnd = line.rfind(')');
        if (nameEnd == std::string::npos)
            return -1;
        std::istringstream fields(line.substr(nameEnd + 1));
        std::string field;
        for (int i = 3; i < 22; ++i)
            fields >> field;
        unsigned long long startTicks = 0;
        const long ticksPerSecond = sysconf(_SC_CLK_TCK);
        timespec now{};
        if (!(fields >> startTicks) || ticksPerSecond <= 0 ||
            clock_gettime(CLOCK_BOOTTIME, &now) != 0)
            return -1;
        const int64_t nowMs = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
        return nowMs - static_cast<int64_t>(startTicks * 1000 /
                                            static_cast<unsigned long long>(ticksPerSecond));
    } catch (...) {
        return -1;
    }
}

TLocalTime GetLocalTime() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    localtime_r(&now.tv_sec, &parts);
    TLocalTime local;
    local.Year = parts.tm_year + 1900;
    local.Month = parts.tm_mon + 1;
    local.Day = parts.tm_mday;
    local.Hour = parts.tm_hour;
    local.Minute = parts.tm_min;
    local.Second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
    local.Millisecond = static_cast<int>(now.tv_nsec / 1000000L);
    return local;
}

void Sleep(uint32_t milliseconds) noexcept {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    // An absolute deadline keeps the total duration right however often a signal interrupts.
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace tdb::platform
