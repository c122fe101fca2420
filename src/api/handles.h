// Session and relation handles of the call interface and what they lead to. A session handle is
// a slot of the process's session list; a relation handle packs the session with the relation's
// slot in that session's catalog, so that one number names a relation process-wide.
#pragma once

#include <cstdint>

namespace tdb {
class TTdbLocalSession;
class TTdbRelation;
class TTdbSession;
}  // namespace tdb

namespace tdb::api {

enum class TTdbHandleKind : std::uint8_t { Invalid, Local, Remote };

struct TTdbSessionRef {
    TTdbHandleKind Kind = TTdbHandleKind::Invalid;
    TTdbSession* Session = nullptr;
    // Set for local sessions only.
    TTdbLocalSession* Local = nullptr;
};

struct TTdbRelationRef {
    TTdbHandleKind Kind = TTdbHandleKind::Invalid;
    std::int16_t SessHdl = 0;
    TTdbSession* Session = nullptr;
    // Set for relations of local sessions only.
    TTdbLocalSession* Local = nullptr;
    TTdbRelation* Relation = nullptr;
    int RltnIdx = 0;
};

inline constexpr int kRelationSlotsPerSession = 256;

// Handles of 0 and below are never valid: relation index 0 of session 1 would give 0.
constexpr std::int16_t MakeRltnHdl(std::int16_t sessHdl, int rltnIdx) noexcept {
    return static_cast<std::int16_t>((sessHdl - 1) * kRelationSlotsPerSession + rltnIdx);
}
constexpr std::int16_t SessHdlOfRltnHdl(std::int16_t rltnHdl) noexcept {
    return static_cast<std::int16_t>(rltnHdl / kRelationSlotsPerSession + 1);
}
constexpr int RltnIdxOfRltnHdl(std::int16_t rltnHdl) noexcept {
    return rltnHdl % kRelationSlotsPerSession;
}

// Local when the session list holds a local session under the handle, remote when it holds any
// other session, else invalid.
TTdbSessionRef ClassifySession(std::int16_t sessHdl) noexcept;
// Remote when the handle's session is remote; local when it is local and the relation slot holds
// an active relation; else invalid.
TTdbRelationRef ClassifyRelation(std::int16_t rltnHdl) noexcept;

}  // namespace tdb::api
