// The call interface's process and session operations: making and deleting sessions, their
// settings, opening and closing their database, and reading their last error.
#include <algorithm>
#include <limits>
#include <memory>
#include <string>

#include "api/call_interface.h"
#include "api/cursor_slots.h"
#include "api/dispatch.h"
#include "api/text_buffers.h"
#include "engine/catalog.h"
#include "engine/session_list.h"

namespace tdb::api {

namespace {

// What the session's open reports when the location holds no database, or its key is refused.
constexpr std::int16_t kOpenNotFound = -kTdbErrFileNotFound;
constexpr std::int16_t kOpenBadCredentials = -kTdbErrInvalidCredentials;

}  // namespace

std::int16_t TdbCreateSession(const char16_t* location) noexcept {
    try {
        // A location with "@" names a database server. Sessions that talk to one do not exist
        // yet: nothing is made, and the caller learns that no session could be created.
        if (InText(location).find(u'@') != std::u16string_view::npos) {
            return kTdbCannotCreateSession;
        }
        TSessionList& list = TSessionList::Instance();
        const std::int16_t handle = list.AddSession(std::make_unique<TTdbLocalSession>());
        if (handle < 0) {
            return kTdbCannotCreateSession;
        }
        std::int16_t result = kTdbCannotCreateSession;
        try {
            result = list.GetSession(handle)->Initialize(handle);
        } catch (...) {
            result = kTdbCannotCreateSession;
        }
        if (result < 0) {
            list.DeleteSession(handle);
            return result;
        }
        return handle;
    } catch (...) {
        return kTdbCannotCreateSession;
    }
}

std::int16_t TdbSessDelete(std::int16_t sessHdl) noexcept {
    const TTdbSessionRef ref = ClassifySession(sessHdl);
    if (ref.Kind == TTdbHandleKind::Invalid) {
        return kTdbInvalidSessionHandle;
    }
    try {
        // Cursors of the session go first; then the list closes the database and frees the
        // session.
        if (ref.Local != nullptr) {
            DeleteSessionCursors(*ref.Local);
        }
        TSessionList::Instance().DeleteSession(sessHdl);
        return kTdbOk;
    } catch (...) {
        // The session could not be closed and keeps its slot: the reason stays its last error.
        if (ref.Local != nullptr) {
            return Contain(ref.Local->Services(), kTdbEngineError, TTdbCatch::EngineErrors,
                           []() -> std::int16_t { throw; });
        }
        return kTdbEngineError;
    }
}

std::int16_t TdbSessGetDefaultNetParams(std::int16_t sessHdl, TTdbNetParams& params) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession&) -> std::int16_t {
                           const tdb::TTdbNetParams defaults = TTdbLocalSession::DefaultNetParams();
                           params = {};
                           SetFixedText(params.NetDirs, defaults.NetDirs);
                           SetFixedText(params.PrivateDir, defaults.PrivateDir);
                           params.StationNo = defaults.StationNo;
                           SetFixedText(params.StationName, defaults.StationName);
                           SetFixedText(params.ReadOnlyDirs, defaults.ReadOnlyDirs);
                           params.ServerTimeout = defaults.ServerTimeout;
                           return kTdbOk;
                       });
}

std::int16_t TdbSessSetNetParams(std::int16_t sessHdl, const TTdbNetParams& params) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           tdb::TTdbNetParams decoded;
                           decoded.NetDirs = FixedText(params.NetDirs);
                           decoded.PrivateDir = FixedText(params.PrivateDir);
                           decoded.StationNo = params.StationNo;
                           decoded.StationName = FixedText(params.StationName);
                           decoded.ReadOnlyDirs = FixedText(params.ReadOnlyDirs);
                           decoded.ServerTimeout = params.ServerTimeout;
                           session.SetNetParams(decoded);
                           return kTdbOk;
                       });
}

std::int16_t TdbSessSetPasswordCallback(std::int16_t sessHdl, TTdbPasswordFunc callback) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           if (callback == nullptr) {
                               session.Services().FPasswordCallback = nullptr;
                               return kTdbOk;
                           }
                           const std::int16_t handle = session.Handle();
                           session.Services().FPasswordCallback = [callback, handle](
                                                                      std::u16string_view tableName,
                                                                      std::u16string& key) {
                               const std::u16string name(tableName);
                               char16_t buffer[kTdbMaxKeyLen + 1] = {};
                               if (!callback(handle, name.c_str(), buffer, kTdbMaxKeyLen)) {
                                   return false;
                               }
                               // A callback that fills the whole buffer still ends the key at its
                               // end.
                               buffer[kTdbMaxKeyLen] = u'\0';
                               key = FixedText(buffer);
                               return true;
                           };
                           return kTdbOk;
                       });
}

std::int16_t TdbSessSetSystemSettings(std::int16_t sessHdl, std::int32_t indPageSize,
                                      std::int32_t blobBlockSize) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           TTdbServices& services = session.Services();
                           if (indPageSize <= 0) {
                               services.SetLastError(kTdbErrInvalidParameter, {u"IndPageSize"});
                               return kTdbEngineError;
                           }
                           if (blobBlockSize <= 0) {
                               services.SetLastError(kTdbErrInvalidParameter, {u"BlobBlockSize"});
                               return kTdbEngineError;
                           }
                           services.DefIndPageSize = indPageSize;
                           services.DefBlobBlockSize = blobBlockSize;
                           return kTdbOk;
                       });
}

std::int16_t TdbSessSetSettings(std::int16_t sessHdl, bool caseSensitive, bool /*caretSwitch*/,
                                bool autoCreateIndexes, std::int32_t lockingTimeout) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           TTdbServices& services = session.Services();
                           services.FCaseSensitive = caseSensitive;
                           services.FAutoCreateIndexes = autoCreateIndexes;
                           services.FLockingTimeout = lockingTimeout;
                           return kTdbOk;
                       });
}

std::int16_t TdbSessSetLogLevel(std::int16_t sessHdl, std::int16_t level) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           session.Services().SetLogLevel(level);
                           return kTdbOk;
                       });
}

std::int16_t TdbSessOpenDb(std::int16_t sessHdl, const char16_t* location,
                           const char16_t* /*userName*/, const char16_t* password,
                           std::int32_t cacheSize, std::uint16_t attributes) noexcept {
    return WithSession(sessHdl, kTdbCannotCreateSession, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           // One database per session: what is open is closed rather than left
                           // without an owner.
                           if (session.IsOpen()) {
                               session.CloseDb();
                           }
                           TTdbCatalog& catalog = session.Catalog();
                           catalog.SetLocation(std::u16string(InText(location)));
                           catalog.SetKey(std::u16string(InText(password)));
                           catalog.SetReadOnly((attributes & kTdbDbReadOnly) != 0);
                           catalog.SetExclusive((attributes & kTdbDbExclusive) != 0);
                           catalog.SetDeepFlush((attributes & kTdbDbDeepFlush) != 0);
                           catalog.SetSharedReadOnly((attributes & kTdbDbSharedReadOnly) != 0);
                           if (cacheSize > 0) {
                               catalog.SetCacheSize(cacheSize);
                           }
                           const std::int16_t result = session.OpenDb();
                           if (result >= 0) {
                               return kTdbOk;
                           }
                           if (result == kOpenNotFound || result == kOpenBadCredentials) {
                               return kTdbDatabaseNotFound;
                           }
                           return kTdbCannotCreateSession;
                       });
}

std::int16_t TdbSessGetDbInfo(std::int16_t sessHdl, TTdbDatabaseInfo& info) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           info.ManagementLevel = session.Catalog().DbManagementLevel();
                           info.EncryptionMethod = session.Catalog().DbEncryptionMethod();
                           return kTdbOk;
                       });
}

std::int16_t TdbSessIsSingleFile(std::int16_t sessHdl) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           return session.Catalog().IsSingleFile() ? 1 : 0;
                       });
}

std::int16_t TdbSessCloseDb(std::int16_t sessHdl) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           // Cursors of the session go first: they read its relations.
                           DeleteSessionCursors(session);
                           return session.CloseDb() < 0 ? kTdbEngineError : kTdbOk;
                       });
}

namespace {

std::int16_t RunTransactionStep(std::int16_t sessHdl,
                                std::int16_t (*step)(TTdbCatalog& catalog)) noexcept {
    return WithSession(sessHdl, kTdbTransactionFailed, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           return step(session.Catalog()) < 0 ? kTdbTransactionFailed : kTdbOk;
                       });
}

}  // namespace

std::int16_t TdbSessBeginTransaction(std::int16_t sessHdl) noexcept {
    return RunTransactionStep(sessHdl, [](TTdbCatalog& catalog) { return catalog.BeginTransaction(); });
}

std::int16_t TdbSessEndTransaction(std::int16_t sessHdl) noexcept {
    return RunTransactionStep(sessHdl,
                              [](TTdbCatalog& catalog) { return catalog.EndTransaction(true); });
}

std::int16_t TdbSessCancelTransaction(std::int16_t sessHdl) noexcept {
    return RunTransactionStep(sessHdl,
                              [](TTdbCatalog& catalog) { return catalog.EndTransaction(false); });
}

std::int16_t TdbSessGetTransactionState(std::int16_t sessHdl) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           return static_cast<std::int16_t>(session.Services().FIsolationLevel);
                       });
}

std::int16_t TdbSessGetLastError(std::int16_t sessHdl, std::int16_t& errCode, char16_t* errMsg,
                                 std::int16_t maxLen) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           const TTdbLastError& last = session.Services().LastError();
                           errCode = static_cast<std::int16_t>(-last.LastErrorCode());
                           CopyOut(errMsg, maxLen, last.LastErrorMsg());
                           return kTdbOk;
                       });
}

std::int16_t TdbSessGetLastErrorPos(std::int16_t sessHdl, char16_t* errMsg,
                                    std::int16_t maxLen) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           const TTdbLastError& last = session.Services().LastError();
                           CopyOut(errMsg, maxLen, last.LastErrorLine());
                           return static_cast<std::int16_t>(std::min<int>(
                               last.LastErrorPos(), std::numeric_limits<std::int16_t>::max()));
                       });
}

std::int16_t TdbSessRegisterModifications(std::int16_t sessHdl) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           TTdbCatalog& catalog = session.Catalog();
                           bool changed = false;
                           for (int rltnIdx = 1; rltnIdx <= TTdbCatalog::kMaxRelations; ++rltnIdx) {
                               if (catalog.IsActiveRltnIdx(rltnIdx) &&
                                   catalog.GetRelation(rltnIdx)->TakeInChanges() > 0) {
                                   changed = true;
                               }
                           }
                           return changed ? 1 : 0;
                       });
}

}  // namespace tdb::api
