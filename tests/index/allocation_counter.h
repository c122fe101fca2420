// Counting the heap allocations an operation makes, through the address sanitizer's hooks on
// every allocation. Without the sanitizer nothing can be counted and tests skip.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
// The header that declares the hooks is not installed everywhere.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            std::size_t),
                                                         void (*freeHook)(const volatile void*));
#endif

namespace tdb::testing {

inline std::atomic<bool> gCountAllocations{false};
inline std::atomic<std::int64_t> gAllocations{0};

inline void CountAllocation(const volatile void*, std::size_t) {
    if (gCountAllocations.load(std::memory_order_relaxed)) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
}
inline void IgnoreRelease(const volatile void*) {}

// Whether allocations can be counted; installs the hooks once per process.
inline bool CanCountAllocations() {
#if defined(__SANITIZE_ADDRESS__)
    static const bool hooked =
        __sanitizer_install_malloc_and_free_hooks(CountAllocation, IgnoreRelease) != 0;
    return hooked;
#else
    return false;
#endif
}

// Allocations made by Op.
template <typename F>
std::int64_t AllocationsIn(F&& op) {
    gAllocations = 0;
    gCountAllocations = true;
    op();
    gCountAllocations = false;
    return gAllocations.load();
}

}  // namespace tdb::testing
