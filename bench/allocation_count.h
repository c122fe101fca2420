// Heap allocations of the benchmark process so far, counted by the operator new that the key
// comparison benchmark replaces: a hot path's allocations per step are the difference over a run.
#pragma once

#include <cstddef>

namespace tdb::bench {

std::size_t AllocationCount() noexcept;

}  // namespace tdb::bench
