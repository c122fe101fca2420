// What comparing against prefix bounds of locale collations costs this thread, and a
// switch that makes it compute every bound afresh: the reference the cache of bounds
// is checked against.
#pragma once

#include <cstdint>

namespace tdb::collation_detail {

// Sort keys the calling thread has computed for comparisons under locale collations.
std::uint64_t SortKeysComputed() noexcept;

// While one lives, the calling thread's comparisons against prefix bounds neither use
// nor fill the cache of bounds.
class TBoundCacheBypass {
public:
    TBoundCacheBypass() noexcept;
    ~TBoundCacheBypass();
    TBoundCacheBypass(const TBoundCacheBypass&) = delete;
    TBoundCacheBypass& operator=(const TBoundCacheBypass&) = delete;
};

}  // namespace tdb::collation_detail
