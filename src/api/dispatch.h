// How every operation starts: classify the handle, answer invalid handles at once, send remote
// ones to the server, and run local ones contained (containment.h).
#pragma once

#include <cstdint>
#include <type_traits>

#include "api/containment.h"
#include "api/handles.h"
#include "api/result_codes.h"
#include "engine/session.h"

namespace tdb::api {

// Sessions of a database server are made by no operation yet (TdbCreateSession refuses them),
// so a remote handle can only be a session put into the list by other means; it is refused
// rather than worked on as if its files were here.
inline constexpr std::int16_t kRemoteNotAvailable = kTdbNotSupportedRemote;

// Body(TTdbLocalSession&) → result.
template <typename Body>
auto WithSession(std::int16_t sessHdl, std::int16_t failureCode, TTdbCatch mode,
                 Body&& body) noexcept -> std::invoke_result_t<Body, TTdbLocalSession&> {
    using TResult = std::invoke_result_t<Body, TTdbLocalSession&>;
    const TTdbSessionRef ref = ClassifySession(sessHdl);
    if (ref.Kind == TTdbHandleKind::Invalid) {
        return static_cast<TResult>(kTdbInvalidSessionHandle);
    }
    if (ref.Kind == TTdbHandleKind::Remote) {
        return static_cast<TResult>(kRemoteNotAvailable);
    }
    TTdbLocalSession& session = *ref.Local;
    return Contain(session.Services(), failureCode, mode, [&] { return body(session); });
}

// Body(const TTdbRelationRef&) → result; the reference names a local session and its relation.
template <typename Body>
auto WithRelation(std::int16_t rltnHdl, std::int16_t failureCode, TTdbCatch mode,
                  Body&& body) noexcept -> std::invoke_result_t<Body, const TTdbRelationRef&> {
    using TResult = std::invoke_result_t<Body, const TTdbRelationRef&>;
    const TTdbRelationRef ref = ClassifyRelation(rltnHdl);
    if (ref.Kind == TTdbHandleKind::Invalid) {
        return static_cast<TResult>(kTdbInvalidRelationHandle);
    }
    if (ref.Kind == TTdbHandleKind::Remote) {
        return static_cast<TResult>(kRemoteNotAvailable);
    }
    return Contain(ref.Local->Services(), failureCode, mode, [&] { return body(ref); });
}

}  // namespace tdb::api
