#include "api/cursor_slots.h"

namespace tdb::api {

TCursorSlots& TCursorSlots::Instance() {
    static TCursorSlots slots;
    return slots;
}

TTdbCursor* TCursorSlots::Get(std::int16_t tableHdl) {
    if (tableHdl < 1 || tableHdl > kSlots)
        return nullptr;
    std::lock_guard guard(FMutex);
    return FSlots[static_cast<std::size_t>(tableHdl - 1)].get();
}

std::unique_ptr<TTdbCursor> TCursorSlots::Release(std::int16_t tableHdl) {
    if (tableHdl < 1 || tableHdl > kSlots)
        return nullptr;
    std::lock_guard guard(FMutex);
    return std::move(FSlots[static_cast<std::size_t>(tableHdl - 1)]);
}

std::vector<std::unique_ptr<TTdbCursor>> TCursorSlots::ReleaseSession(
    const TTdbLocalSession& session) {
    std::vector<std::unique_ptr<TTdbCursor>> released;
    std::lock_guard guard(FMutex);
    for (auto& slot : FSlots)
        if (slot && &slot->Session() == &session)
            released.push_back(std::move(slot));
    return released;
}

}  // namespace tdb::api
