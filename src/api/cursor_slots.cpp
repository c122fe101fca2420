#include "api/cursor_slots.h"

namespace tdb::api {

TCursorSlots& TCursorSlots::Instance() {
    static TCursorSlots slots;
    return slots;
}

std::unique_ptr<TTdbCursor> TCursorSlots::Release(std::int16_t tableHdl) {
    if (tableHdl < 1 || tableHdl > kSlots)
        return nullptr;
    std::lock_guard guard(FMutex);
    FCursors[static_cast<std::size_t>(tableHdl - 1)].store(nullptr);
    return std::move(FSlots[static_cast<std::size_t>(tableHdl - 1)]);
}

std::vector<std::unique_ptr<TTdbCursor>> TCursorSlots::ReleaseSession(
    const TTdbLocalSession& session) {
    std::vector<std::unique_ptr<TTdbCursor>> released;
    std::lock_guard guard(FMutex);
    for (std::size_t i = 0; i < FSlots.size(); ++i) {
        if (FSlots[i] && &FSlots[i]->Session() == &session) {
            FCursors[i].store(nullptr);
            released.push_back(std::move(FSlots[i]));
        }
    }
    return released;
}

void DeleteSessionCursors(const TTdbLocalSession& session) noexcept {
    try {
        for (auto& cursor : TCursorSlots::Instance().ReleaseSession(session)) {
            cursor->Close();
        }
    } catch (...) {
        // A cursor that cannot close cleanly is freed all the same: its slot must not outlive
        // its session.
    }
}

}  // namespace tdb::api
