// The session list: slots under one lock, so that handles are handed out and freed safely from
// any thread.
#include "engine/session_list.h"

#include "storage/page_manager.h"

namespace tdb {

TSessionList& TSessionList::Instance() {
    // Sessions left at process end give their file systems back to the page manager when the
    // list goes; made first, the page manager goes last.
    TTdbPageManager::Instance();
    static TSessionList list;
    return list;
}

TSessionList::TSessionList() = default;

TSessionList::~TSessionList() {
    // At process end nobody is left to report to: a session that fails to close is dropped.
    for (int slot = 0; slot < kMaxSessions; ++slot) {
        try {
            DeleteSession(static_cast<std::int16_t>(slot + 1));
        } catch (...) {
            FSessions[slot].reset();
        }
    }
}

std::int16_t TSessionList::AddSession(std::unique_ptr<TTdbSession> session) {
    std::lock_guard lock(FCriticalSection);
    for (int slot = 0; slot < kMaxSessions; ++slot) {
        if (!FSessions[slot]) {
            FSessions[slot] = std::move(session);
            return static_cast<std::int16_t>(slot + 1);
        }
    }
    return -1;
}

void TSessionList::DeleteSession(std::int16_t handle) {
    std::lock_guard lock(FCriticalSection);
    if (!ExistsSessionHdl(handle)) {
        return;
    }
    // Should closing raise, the slot stays taken: no new session may get the handle of one
    // that may still hold files.
    FSessions[handle - 1]->Uninitialize();
    FSessions[handle - 1].reset();
}

TTdbSession* TSessionList::GetSession(std::int16_t handle) const {
    std::lock_guard lock(FCriticalSection);
    return ExistsSessionHdl(handle) ? FSessions[handle - 1].get() : nullptr;
}

bool TSessionList::ExistsSessionHdl(std::int16_t handle) const {
    std::lock_guard lock(FCriticalSection);
    return handle >= 1 && handle <= kMaxSessions && FSessions[handle - 1] != nullptr;
}

bool TSessionList::ValidSessionHdl(std::int16_t handle) const {
    std::lock_guard lock(FCriticalSection);
    return ExistsSessionHdl(handle) && FSessions[handle - 1]->IsOpen();
}

}  // namespace tdb
