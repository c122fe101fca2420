// The call interface's catalog operations: opening, finding, listing, creating, renaming and
// deleting tables of a session's database, and making and deleting databases.
#include <span>
#include <string>
#include <vector>

#include "api/call_interface.h"
#include "api/dispatch.h"
#include "api/table_records.h"
#include "api/text_buffers.h"
#include "engine/catalog.h"
#include "storage/data_file.h"
#include "storage/file_system.h"

namespace tdb::api {

namespace {

// The catalog's answer for a table open, as callers know it.
std::int16_t OpenResult(const TTdbLocalSession& session, int result) {
    if (result > 0) {
        return MakeRltnHdl(session.Handle(), result);
    }
    if (result == -kTdbErrTooManyTables) {
        return kTdbOutOfMemory;
    }
    if (result == -kTdbErrInvalidCredentials) {
        return kTdbWrongPassword;
    }
    return kTdbCannotOpenTable;
}

template <typename T>
std::span<const T> Specs(const T* specs, std::int16_t count, std::u16string_view what) {
    if (count < 0 || (count > 0 && specs == nullptr)) {
        RaiseEngineError(kTdbErrInvalidParameter, {std::u16string(what)});
    }
    return count == 0 ? std::span<const T>{} : std::span<const T>(specs, count);
}

}  // namespace

std::int16_t TdbSessOpenTable(std::int16_t sessHdl, const char16_t* tableName, const char16_t* key,
                              std::uint16_t rights, bool withRelTables, bool force) noexcept {
    return WithSession(
        sessHdl, kTdbCannotOpenTable, TTdbCatch::AnyException,
        [&](TTdbLocalSession& session) -> std::int16_t {
            const std::u16string name(InText(tableName));
            TTdbServices& services = session.Services();
            if ((rights & kTdbRightExclusive) != 0) {
                const TdwFileSystem* fileSystem = services.DetermineFileSystem(
                    std::u16string_view(name).substr(0, FileNameStart(name)));
                if (fileSystem != nullptr && !fileSystem->SupportsExclusiveFiles()) {
                    // The message text is the one callers have always been shown.
                    services.SetLastError(kTdbErrUnsupportedFeature, {name, u"Exlusive"});
                    return kTdbEngineError;
                }
            }
            return OpenResult(session, session.Catalog().TryOpenTable(name, InText(key), rights,
                                                                      withRelTables, false, force));
        });
}

std::int16_t TdbSessAddTable(std::int16_t sessHdl, const char16_t* tablePath) noexcept {
    return WithSession(sessHdl, kTdbCannotOpenTable, TTdbCatch::AnyException,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           return OpenResult(session, session.Catalog().AddTable(
                                                          InText(tablePath), {},
                                                          TTdbCatalog::kAllWriteRights, false));
                       });
}

std::int16_t TdbSessFindRltnHdl(std::int16_t sessHdl, const char16_t* name) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           const int rltnIdx = session.Catalog().FindRltnIdx(InText(name));
                           return rltnIdx > 0 ? MakeRltnHdl(session.Handle(), rltnIdx)
                                              : std::int16_t{0};
                       });
}

std::int16_t TdbSessExistsTable(std::int16_t sessHdl, const char16_t* tableName) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           return session.Catalog().ExistsTable(InText(tableName)) ? 1 : 0;
                       });
}

std::int32_t TdbSessGetTableNames(std::int16_t sessHdl, char16_t* tableNames,
                                  std::int32_t maxLen) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int32_t {
                           std::u16string list;
                           for (const std::u16string& name : session.Catalog().GetTableNames()) {
                               if (!list.empty()) {
                                   list += u';';
                               }
                               list += name;
                           }
                           CopyOut(tableNames, maxLen, list);
                           return static_cast<std::int32_t>(list.size());
                       });
}

std::int16_t TdbSessCloseUnneededTables(std::int16_t sessHdl) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           session.Catalog().CloseUnneededTables(false, false);
                           return kTdbOk;
                       });
}

std::int16_t TdbSessRemoveTable(std::int16_t sessHdl, const char16_t* tableName) noexcept {
    return WithSession(
        sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
        [&](TTdbLocalSession& session) -> std::int16_t {
            TTdbCatalog& catalog = session.Catalog();
            const int rltnIdx = catalog.FindRltnIdx(InText(tableName));
            if (rltnIdx == 0) {
                session.Services().SetLastError(kTdbErrTableNotFound,
                                                {std::u16string(InText(tableName))});
                return kTdbEngineError;
            }
            return catalog.TryCloseRelation(rltnIdx, false, true) < 0 ? kTdbEngineError : kTdbOk;
        });
}

std::int16_t TdbSessRenameTable(std::int16_t sessHdl, const char16_t* oldName,
                                const char16_t* newName, const char16_t* key) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           return session.Catalog().RenameTable(InText(oldName), InText(newName),
                                                                InText(key)) < 0
                                      ? kTdbEngineError
                                      : kTdbOk;
                       });
}

std::int16_t TdbSessDeleteTable(std::int16_t sessHdl, const char16_t* tableName,
                                const char16_t* key) noexcept {
    return WithSession(sessHdl, kTdbCannotDeleteTable, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           return session.Catalog().DeleteTable(InText(tableName), InText(key)) < 0
                                      ? kTdbCannotDeleteTable
                                      : kTdbOk;
                       });
}

std::int16_t TdbSessCreateDatabase(std::int16_t sessHdl, std::int16_t kind, const char16_t* name,
                                   std::int16_t managementLevel, std::int16_t encryptionMethod,
                                   const char16_t* key) noexcept {
    return WithSession(sessHdl, kTdbCannotCreateDatabase, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           if (kind != dbtDbDirectory && kind != dbtSingleFile) {
                               RaiseEngineError(kTdbErrInvalidParameter, {u"Kind"});
                           }
                           if (managementLevel != tmlUnmanaged && managementLevel != tmlManaged) {
                               RaiseEngineError(kTdbErrInvalidParameter, {u"ManagementLevel"});
                           }
                           return session.CreateDatabase(
                                      static_cast<TTdbDatabaseType>(kind), InText(name),
                                      static_cast<TTdbManagementLevel>(managementLevel),
                                      encryptionMethod, InText(key)) < 0
                                      ? kTdbCannotCreateDatabase
                                      : kTdbOk;
                       });
}

std::int16_t TdbSessDeleteDatabase(std::int16_t sessHdl, const char16_t* name,
                                   const char16_t* key) noexcept {
    return WithSession(sessHdl, kTdbCannotDeleteTable, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           return session.DeleteDatabase(InText(name), InText(key)) < 0
                                      ? kTdbCannotDeleteTable
                                      : kTdbOk;
                       });
}

std::int16_t TdbSessCreateTable(std::int16_t sessHdl, const TTdbTableInfo& info,
                                const char16_t* key, std::int16_t fieldCount,
                                const TTdbFieldSpec* fields, std::int16_t keyCount,
                                const TTdbKeySpec* keys, std::int16_t checkCount,
                                const TTdbCheckSpec* checks, std::int16_t ruleCount,
                                const TTdbIntegrityRuleSpec* rules) noexcept {
    return WithSession(
        sessHdl, kTdbCannotCreateTable, TTdbCatch::EngineErrors,
        [&](TTdbLocalSession& session) -> std::int16_t {
            TTdbCreateTableArgs args = MakeCreateTableArgs(
                session.Services(), info, InText(key), Specs(fields, fieldCount, u"FieldCount"),
                Specs(keys, keyCount, u"KeyCount"), Specs(checks, checkCount, u"CheckCount"),
                Specs(rules, ruleCount, u"RuleCount"));
            return session.Catalog().CreateTable(args) < 0 ? kTdbCannotCreateTable : kTdbOk;
        });
}

std::int16_t TdbSessBackupDatabase(std::int16_t sessHdl, std::int16_t kind,
                                   const char16_t* backupPath) noexcept {
    return WithSession(sessHdl, kTdbEngineError, TTdbCatch::EngineErrors,
                       [&](TTdbLocalSession& session) -> std::int16_t {
                           if (kind != dbtDbDirectory && kind != dbtSingleFile) {
                               RaiseEngineError(kTdbErrInvalidParameter, {u"Kind"});
                           }
                           return session.Catalog().BackupDatabase(
                                      static_cast<TTdbDatabaseType>(kind), InText(backupPath)) < 0
                                      ? kTdbEngineError
                                      : kTdbOk;
                       });
}

}  // namespace tdb::api
