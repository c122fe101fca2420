// Facts about the machine the about window shows: the operating system and its version, the
// processor's family and revision, its clock measured with the time-stamp counter, the physical
// memory and how much of it is in use.
#pragma once

#include <cstdint>
#include <string>

namespace tdb::platform {

struct TOsVersion {
    std::string Platform;  // the kernel's name ("Linux")
    unsigned Major = 0;
    unsigned Minor = 0;
    unsigned Build = 0;
};
TOsVersion GetOsVersion();

struct TProcessorKind {
    unsigned Type = 0;      // the family number
    unsigned Revision = 0;  // model in the high byte, stepping in the low byte
};
TProcessorKind GetProcessorKind();

struct TMemoryStatus {
    std::uint64_t TotalPhysical = 0;  // bytes
    unsigned Load = 0;                // percent of the physical memory in use
};
TMemoryStatus GetMemoryStatus();

// The processor's time-stamp counter; a nanosecond clock where the processor has none.
std::uint64_t ReadTimeStampCounter() noexcept;

// Runs Body with this thread's scheduling raised as far as the process may raise it, and puts
// it back afterwards; a refused raise is no error.
void WithRaisedPriority(void (*body)(void*), void* context);

}  // namespace tdb::platform
