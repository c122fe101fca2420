// The process-wide table of cursors behind the table handles 1..255: one fixed table of slots,
// shared by every session of the process, each slot empty or holding one cursor.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/cursor.h"

namespace tdb::api {

class TCursorSlots {
public:
    static constexpr std::int16_t kSlots = 255;

    static TCursorSlots& Instance();

    // Makes the cursor in the first empty slot under the table's lock, the slot's handle given to
    // Make; 0 when every slot is taken. Make may raise; the slot stays empty then.
    template <typename Make>
    std::int16_t Register(Make&& make) {
        std::lock_guard guard(FMutex);
        for (std::int16_t hdl = 1; hdl <= kSlots; ++hdl) {
            auto& slot = FSlots[static_cast<std::size_t>(hdl - 1)];
            if (slot)
                continue;
            slot = make(hdl);
            FCursors[static_cast<std::size_t>(hdl - 1)].store(slot.get());
            return hdl;
        }
        return 0;
    }
    // The cursor of a handle, null for an empty slot or a number outside 1..255. Every call of
    // the interface asks, so it takes no lock.
    TTdbCursor* Get(std::int16_t tableHdl) const noexcept {
        if (tableHdl < 1 || tableHdl > kSlots)
            return nullptr;
        return FCursors[static_cast<std::size_t>(tableHdl - 1)].load(std::memory_order_acquire);
    }
    // Empties the slot; the cursor is the caller's.
    std::unique_ptr<TTdbCursor> Release(std::int16_t tableHdl);
    // Empties every slot whose cursor belongs to the session; the cursors are the caller's.
    std::vector<std::unique_ptr<TTdbCursor>> ReleaseSession(const TTdbLocalSession& session);

private:
    std::recursive_mutex FMutex;
    // The owners, under the mutex; the pointers beside them are what Get reads.
    std::vector<std::unique_ptr<TTdbCursor>> FSlots =
        std::vector<std::unique_ptr<TTdbCursor>>(kSlots);
    std::array<std::atomic<TTdbCursor*>, kSlots> FCursors{};
};

// Closes and frees every cursor of the session; their handles are free again.
void DeleteSessionCursors(const TTdbLocalSession& session) noexcept;

}  // namespace tdb::api
