// The process's list of sessions: session handles are slots in it, 1 to 100.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/session.h"

namespace tdb {

class TSessionList {
public:
    static constexpr int kMaxSessions = 100;

    // The one list of the process.
    static TSessionList& Instance();

    // A private list, for tests that need a fresh one; production code uses Instance().
    TSessionList();
    ~TSessionList();
    TSessionList(const TSessionList&) = delete;
    TSessionList& operator=(const TSessionList&) = delete;

    // Takes the session into the first free slot: its handle (slot + 1), or -1 when every slot
    // is taken (the session is then freed).
    std::int16_t AddSession(std::unique_ptr<TTdbSession> session);
    // Uninitializes and frees the session; its handle is free for the next one. Unknown handles
    // are ignored.
    void DeleteSession(std::int16_t handle);
    // The session of an existing handle, else null.
    TTdbSession* GetSession(std::int16_t handle) const;
    bool ExistsSessionHdl(std::int16_t handle) const;
    // The handle exists and its session has a database open.
    bool ValidSessionHdl(std::int16_t handle) const;
    // The number of slots.
    int Count() const noexcept { return kMaxSessions; }

private:
    mutable std::recursive_mutex FCriticalSection;
    std::array<std::unique_ptr<TTdbSession>, kMaxSessions> FSessions;
};

}  // namespace tdb
