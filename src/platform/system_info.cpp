// Machine facts from uname, /proc and sysinfo, and the time-stamp counter.
#include "platform/system_info.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace tdb::platform {

namespace {

// The number after "Key:" on the first line of a /proc file that starts with Key.
bool ProcNumber(const char* path, const std::string& key, std::uint64_t& value) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) != 0)
            continue;
        const auto colon = line.find(':', key.size());
        if (colon == std::string::npos)
            continue;
        const std::string rest = line.substr(colon + 1);
        char* end = nullptr;
        const unsigned long long number = std::strtoull(rest.c_str(), &end, 10);
        if (end == rest.c_str())
            return false;
        value = number;
        return true;
    }
    return false;
}

}  // namespace

TOsVersion GetOsVersion() {
    TOsVersion version;
    utsname names{};
    if (uname(&names) != 0)
        return version;
    version.Platform = names.sysname;
    // "6.1.0-13-amd64": the first three numbers.
    std::istringstream release(names.release);
    char dot = 0;
    release >> version.Major >> dot >> version.Minor >> dot >> version.Build;
    return version;
}

TProcessorKind GetProcessorKind() {
    TProcessorKind kind;
    std::uint64_t family = 0;
    std::uint64_t model = 0;
    std::uint64_t stepping = 0;
    ProcNumber("/proc/cpuinfo", "cpu family", family);
    ProcNumber("/proc/cpuinfo", "model\t", model);
    ProcNumber("/proc/cpuinfo", "stepping", stepping);
    kind.Type = static_cast<unsigned>(family);
    kind.Revision = static_cast<unsigned>(((model & 0xFF) << 8) | (stepping & 0xFF));
    return kind;
}

TMemoryStatus GetMemoryStatus() {
    TMemoryStatus status;
    struct sysinfo info {};
    if (sysinfo(&info) != 0)
        return status;
    status.TotalPhysical = static_cast<std::uint64_t>(info.totalram) * info.mem_unit;
    std::uint64_t totalKb = 0;
    std::uint64_t availableKb = 0;
    if (ProcNumber("/proc/meminfo", "MemTotal", totalKb) &&
        ProcNumber("/proc/meminfo", "MemAvailable", availableKb) && totalKb > 0 &&
        availableKb <= totalKb) {
        status.Load = static_cast<unsigned>((totalKb - availableKb) * 100 / totalKb);
    } else if (info.totalram > 0) {
        status.Load = static_cast<unsigned>((info.totalram - info.freeram) * 100 / info.totalram);
    }
    return status;
}

std::uint64_t ReadTimeStampCounter() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
#endif
}

void WithRaisedPriority(void (*body)(void*), void* context) {
    const int oldNice = getpriority(PRIO_PROCESS, 0);
    int oldPolicy = 0;
    sched_param oldParam{};
    const bool haveOld = pthread_getschedparam(pthread_self(), &oldPolicy, &oldParam) == 0;
    // Real-time scheduling needs a privilege most users lack; the lowest nice value is the
    // next best. Either may be refused.
    sched_param raised{};
    raised.sched_priority = sched_get_priority_max(SCHED_FIFO);
    const bool realTime = pthread_setschedparam(pthread_self(), SCHED_FIFO, &raised) == 0;
    const bool niced = !realTime && setpriority(PRIO_PROCESS, 0, -20) == 0;
    body(context);
    if (realTime && haveOld)
        pthread_setschedparam(pthread_self(), oldPolicy, &oldParam);
    if (niced)
        setpriority(PRIO_PROCESS, 0, oldNice);
}

}  // namespace tdb::platform
