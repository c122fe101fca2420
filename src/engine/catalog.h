// The catalog of a session: the relations it has open in its database, where table names become
// files, the managed/unmanaged decision with its system tables, table creation, deletion and
// renaming, and the background thread that gives table locks back late.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/services.h"
#include "types/column_def.h"
#include "types/constraint_defs.h"
#include "types/sort_def.h"

namespace tdb {

class TTdbRelation;
class TTdbBaseTable;

enum TTdbManagementLevel : std::int16_t { tmlUnmanaged = 0, tmlManaged = 1 };
// Which relation tables of Relation columns go with a table that is deleted.
enum TTdbRelFieldsMode : std::uint8_t { rfmNone, rfmAll, rfmList };

// Everything a new table is made of.
struct TTdbCreateTableArgs {
    std::u16string StoragePath;
    std::u16string Collation;
    std::int16_t EncryptionMethod = 0;
    std::u16string Key;
    std::int16_t Level = 6;
    std::int32_t Capacity = 0;
    TTdbColumnDefs ColumnDefs;
    TTdbCandidateKeyDefs KeyDefs;
    TTdbCheckDefs CheckDefs;
    TTdbForeignKeyDefs ForeignKeyDefs;
    TTdbSortDefs IndexDefs;
};

class TTdbCatalog {
public:
    static constexpr int kMaxRelations = 254;
    static constexpr std::int32_t kDefaultCacheSize = 40960;
    static constexpr std::uint16_t kAllWriteRights = 15;
    static constexpr std::int32_t kDefaultCapacity = 1000;

    explicit TTdbCatalog(TTdbServices& services);
    ~TTdbCatalog();
    TTdbCatalog(const TTdbCatalog&) = delete;
    TTdbCatalog& operator=(const TTdbCatalog&) = delete;

    // ---- Open mode, set before Open ----
    void SetLocation(std::u16string location) { FLocation = std::move(location); }
    const std::u16string& Location() const noexcept { return FLocation; }
    void SetKey(std::u16string key) { FKey = std::move(key); }
    const std::u16string& Key() const noexcept { return FKey; }
    void SetExclusive(bool value) noexcept { FExclusive = value; }
    void SetReadOnly(bool value) noexcept { FReadOnly = value; }
    void SetSharedReadOnly(bool value) noexcept { FSharedReadOnly = value; }
    void SetDeepFlush(bool value) noexcept { FDeepFlush = value; }
    void SetCacheSize(std::int32_t kiloBytes) noexcept { FCacheSize = kiloBytes; }
    bool Exclusive() const noexcept { return FExclusive; }
    bool ReadOnly() const noexcept { return FReadOnly; }
    bool SharedReadOnly() const noexcept { return FSharedReadOnly; }
    bool DeepFlush() const noexcept { return FDeepFlush; }
    std::int32_t CacheSize() const noexcept { return FCacheSize; }

    // ---- Life cycle ----
    // After the session has set up the file systems; raises an engine error (9999 when the
    // error is already the session's last error).
    void Open();
    void Close();
    bool IsOpen() const noexcept { return FOpen; }

    TTdbManagementLevel DbManagementLevel() const noexcept { return FManagementLevel; }
    std::int16_t DbEncryptionMethod() const noexcept { return FEncryptionMethod; }
    bool IsSingleFile() const noexcept { return FServices.DatabaseType() == dbtSingleFile; }
    std::int16_t Handle() const noexcept { return FServices.FSessionHdl; }
    TTdbServices& Services() const noexcept { return FServices; }

    // ---- Tables ----
    std::vector<std::u16string> GetTableNames();
    bool ExistsTable(std::u16string_view tablePath);
    // The relation index (1..254) or a negative engine error (the last error is set).
    int OpenTable(std::u16string_view storagePath, std::u16string_view key, std::uint16_t rights,
                  bool withRelTables, bool force, bool internal);
    int TryOpenTable(std::u16string_view tableName, std::u16string_view key, std::uint16_t rights,
                     bool withRelTables, bool mustBeWritable, bool force = false);
    int AddTable(std::u16string_view tableFileName, std::u16string_view key,
                 std::uint16_t rights, bool force);
    // Opens every table of the database with all write rights; failures are skipped.
    void OpenAllTables();
    // 0 or a negative engine error (the last error is set).
    std::int16_t CreateTable(TTdbCreateTableArgs& args);
    std::int16_t DeleteTable(std::u16string_view tableName, std::u16string_view key,
                             TTdbRelFieldsMode relFieldsMode = rfmAll,
                             const std::vector<std::u16string>& relFieldsToSave = {});
    std::int16_t DeleteTable(int rltnIdx, TTdbRelFieldsMode relFieldsMode = rfmAll,
                             const std::vector<std::u16string>& relFieldsToSave = {},
                             bool remove = true);
    std::int16_t RenameTable(std::u16string_view oldName, std::u16string_view newName,
                             std::u16string_view key);
    // 0, or a negative engine error when the relation cannot be closed now.
    std::int16_t TryCloseRelation(int rltnIdx, bool withRelFields = false, bool remove = true);
    void CloseRelation(int rltnIdx, bool withRelFields = false, bool remove = true);
    void CloseUnneededTables(bool temporaryOnly, bool includeSystem);
    // A table of these columns in the private directory, deleted when it is closed.
    int CreateAndOpenTempTable(std::u16string_view tableName, const TTdbColumnDefs& columnDefs);
    std::u16string CalcTemporaryTableName(std::u16string_view baseName) const;
    // 0 or a negative engine error: copies the files of every open stored table into a new
    // directory database.
    std::int16_t BackupDatabase(TTdbDatabaseType databaseType, std::u16string_view fileName);

    // A view of an open relation under another name; its relation index or a negative error.
    int OpenVirtualRelation(std::u16string_view name, int baseRltnIdx);

    // ---- Transactions and lock sets ----
    // 0, or -183 when one is running already.
    std::int16_t BeginTransaction();
    // Commits or rolls back every stored table and gives back the locks the transaction kept;
    // -170 while a relation still holds a read lock or more than the kept write lock. A commit
    // that cannot write leaves the transaction running, to be committed again or rolled back.
    std::int16_t EndTransaction(bool commit);
    // Takes the locks one relation after another (the list ends at a negative entry, 0 entries
    // are skipped); when one fails, those taken are given back in reverse order.
    std::int16_t AcquireReadLocks(std::span<const std::int16_t> rltnIdxs);
    std::int16_t AcquireWriteLocks(std::span<const std::int16_t> rltnIdxs);

    // ---- Relation slots ----
    int AddRelation(std::unique_ptr<TTdbRelation> relation);
    void FreeRelation(int rltnIdx);
    // 0 when every slot is taken.
    int GetFreeRltnIdx() const;
    // 0 when no open relation has that name.
    int FindRltnIdx(std::u16string_view name) const;
    TTdbRelation* FindRelation(std::u16string_view name) const;
    TTdbRelation* GetRelation(int rltnIdx) const;
    bool IsValidRltnIdx(int rltnIdx) const;
    bool IsActiveRltnIdx(int rltnIdx) const;
    int RelationCount() const;
    int MaxRltnIdx() const;
    std::recursive_mutex& RelationListSync() noexcept { return FRelationListSync; }

    // The path of a table name: resolved against the location (or the compound file's root),
    // with the extension of its level when it has none.
    std::u16string TablePath(std::u16string_view name, std::int16_t level, bool relFile) const;

private:
    std::int16_t AcquireLocks(std::span<const std::int16_t> rltnIdxs, bool write);
    static void ReleaseLocks(const std::vector<TTdbRelation*>& taken, bool write);
    void StartUnlockThread();
    void StopUnlockThread();
    void UnlockThreadRun();
    std::u16string FindExistingTablePath(std::u16string_view name, bool tdbtFirst) const;
    // Managed databases: the table and its columns in the system tables.
    std::int16_t RegisterTable(int rltnIdx, std::u16string_view key);
    std::int16_t UnregisterTable(std::u16string_view standardName);
    std::int16_t DoRegisterTable(int rltnIdx, std::u16string_view key);
    std::int16_t DoUnregisterTable(std::u16string_view standardName);
    // Unmanaged databases: a "sys_" name without a file is a view of the open relations' schema.
    int OpenSystemView(std::u16string_view name);
    // Closes a relation that failed half-way without losing the reason: the negated code.
    std::int16_t CloseKeepingLastError(int rltnIdx);

    TTdbServices& FServices;
    std::u16string FLocation;
    std::u16string FKey;
    bool FExclusive = false;
    bool FReadOnly = false;
    bool FSharedReadOnly = false;
    bool FDeepFlush = false;
    bool FOpen = false;
    bool FClientRegistered = false;
    std::int32_t FCacheSize = kDefaultCacheSize;
    TTdbManagementLevel FManagementLevel = tmlUnmanaged;
    std::int16_t FEncryptionMethod = 0;
    std::array<std::unique_ptr<TTdbRelation>, kMaxRelations> FRelations;
    std::recursive_mutex FRelationListSync;
    std::thread FUnlockThread;
    std::mutex FUnlockMutex;
    std::condition_variable FUnlockWake;
    bool FUnlockStop = false;
};

}  // namespace tdb
