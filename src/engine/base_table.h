// The stored table: one data file with its index files, opened by the catalog under a relation
// index. Opened neither exclusively nor shared read-only, it is shared with other sessions and
// processes through its lock file; its table locks are nesting counts over the level held there.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/lock_file.h"
#include "engine/redo_log.h"
#include "engine/relation.h"
#include "storage/cryptor.h"
#include "storage/data_file.h"
#include "storage/flush_journal.h"
#include "storage/table_flush.h"
#include "types/constraint_defs.h"

namespace tdb {

class TdwFileSystem;

class TTdbBaseTable : public TTdbRelation {
public:
    // Progress of an index build: entries done and the expected count.
    using TProgFun = std::function<void(std::int32_t done, std::int32_t total)>;
    static constexpr int kFlushesPerDirectoryUpdate = 1000;

    explicit TTdbBaseTable(TTdbServices& services);
    ~TTdbBaseTable() override;

    void SetFileName(std::u16string fileName) { FFileName = std::move(fileName); }
    const std::u16string& FileName() const noexcept { return FFileName; }
    void SetKey(std::u16string key) { FKey = std::move(key); }
    const std::u16string& Key() const noexcept { return FKey; }

    bool GetActive() const override;
    std::u16string GetFullName() const override { return FFileName; }
    std::int16_t GetLevel() const override { return FLevel; }
    std::int32_t GetRecordCount() const override;
    std::int32_t GetCapacity() const override { return FCapacity; }
    bool IsStoredTable() const override { return true; }
    const std::u16string& CollationName() const noexcept { return FCollationName; }
    std::int16_t EncryptionMethod() const noexcept;
    TTdbDataFile* DataFile() const noexcept { return FDataFile.get(); }
    const TTdbCandidateKeyDefs& KeyDefs() const noexcept { return FKeyDefs; }
    const TTdbCheckDefs& CheckDefs() const noexcept { return FChecks; }
    const TTdbForeignKeyDefs& ForeignKeyDefs() const noexcept { return FForeignKeyDefs; }
    TdwFileSystem* FileSystem() const noexcept { return FFileSystem; }

    // ---- Integrity rules ----
    // Finds the open parent table of a rule, or opens it with the given rights; null when it
    // can be neither. The catalog sets it.
    using TParentResolver =
        std::function<TTdbRelation*(std::u16string_view tableName, std::uint16_t rights)>;
    // What an integrity rule is checked through: the child's index over the rule's columns and
    // the parent's index over its key.
    struct TIntegrityLink {
        TTdbIndexNo ChildIndexNo = kTdbNoIndex;
        int ParentRltnIdx = 0;
        TTdbIndexNo ParentIndexNo = kTdbNoIndex;
    };
    void SetParentResolver(TParentResolver resolver) { FParentResolver = std::move(resolver); }
    // Hooks of the integrity rules, installed by the catalog; a negative result (the error
    // recorded already) stops the write. Called once per rule before an insert or replace.
    using TCheckReferentialIntegrity = std::function<std::int16_t(
        TTdbRelation& relation, const TTdbForeignKeyDef& rule, std::span<const std::byte> record)>;
    // Called before (Before true) and after a replace or delete; a delete has no new record.
    using TExecuteIntegrityRules =
        std::function<std::int16_t(TTdbRelation& relation, std::span<const std::byte> newRecord,
                                   bool before, std::span<const std::byte> oldRecord)>;
    TCheckReferentialIntegrity OnCheckReferentialIntegrity;
    TExecuteIntegrityRules OnExecuteUpdateIntegrityRules;
    TExecuteIntegrityRules OnExecuteDeleteIntegrityRules;
    const std::vector<TIntegrityLink>& IntegrityLinks() const noexcept { return FIntegrityLinks; }

    // ---- Creating the files of a new table (the catalog fills the definitions first) ----
    struct TNewTable {
        std::int16_t Level = 6;
        std::int32_t Capacity = 0;
        std::u16string Collation;
        TdwEncryptionMethod EncryptionMethod{};
        std::u16string Key;
        TTdbTypeDefs Types;
        TTdbColumnDefs Columns;
        TTdbCheckDefs Checks;
        TTdbCandidateKeyDefs Keys;
        TTdbForeignKeyDefs ForeignKeys;
    };
    // Creates the data file, opens the table exclusively, adds the given and the system
    // indexes and stores the index list; the table stays open. 0 or a negative engine error.
    std::int16_t NewFile(TNewTable& table, const TTdbSortDefs& indexDefs);

    std::int16_t Setup(bool force) override;
    std::int16_t Flush(bool newFileSize) override;
    // The journal that makes each flush land wholly or not at all; on by default. Off, a killed
    // flush can tear the files: for measuring what the journal costs.
    void SetFlushJournal(bool on) noexcept { FFlushJournal = on; }
    // The journal of a flush, beside the data file.
    std::u16string FlushJournalName() const;
    // Empties the table; the former record count, or a negative engine error.
    std::int32_t ClearDat();

    // ---- Records ----
    std::int32_t GetFirstRecordNo() override;
    std::int32_t GetNextRecordNo(std::int32_t recNo) override;
    std::int32_t GetPrevRecordNo(std::int32_t recNo) override;
    std::int32_t GetLastRecordNo() override;
    std::int16_t ReadRecord(std::int32_t recNo, std::span<std::byte> recBuffer) override;
    std::int16_t ReadRecordLocked(std::int32_t recNo, std::span<std::byte> recBuffer) override;
    std::int16_t InitRecord(std::span<std::byte> recBuffer, bool preset) override;

    // Writing records below checks and constraints: the data file and the entries of every
    // index, under a write lock, with the redo log inside a transaction and the move file for
    // other sessions. The catalog keeps its own tables with them, and rolling back uses them.
    // The new record number, or a negative engine error.
    std::int32_t AppendRecordDirect(std::span<const std::byte> recBuffer);
    std::int32_t AppendRecord(std::span<std::byte> recBuffer, TTdbBlobDataList& blobs) override;
    std::int16_t ReplaceRecord(std::span<std::byte> recBuffer,
                               std::span<const std::byte> origRecBuffer, std::int32_t recNo,
                               TTdbBlobDataList& blobs) override;
    // RecBuffer is not trusted for the keys: the stored record is what the indexes hold.
    std::int16_t DeleteRecord(std::span<const std::byte> recBuffer, std::int32_t recNo) override;
    std::int16_t BerechneFormeln(std::span<std::byte> recBuffer,
                                 TTdbCalculationPurposes purposes) override;
    // Moves the last record into the slot, as the heap does; 0 or a negative engine error.
    std::int16_t DeleteRecordDirect(std::int32_t recNo);
    std::int16_t ReplaceRecordDirect(std::int32_t recNo, std::span<const std::byte> recBuffer);

    // ---- Record ids ----
    std::int16_t SetAutoNum(std::span<std::byte> recBuffer);
    void AdjustRecordId(std::span<const std::byte> recBuffer);
    void CancelAutoNum(std::int32_t recordId);
    std::int32_t ReadNextRecordId();
    std::int16_t SetNextRecordId(std::int32_t value);
    // The record id of the record, or a negative engine error.
    std::int32_t ReadRecordId(std::int32_t recNo);
    // The record number of the record with that id, 0 when there is none.
    std::int32_t FindRecordId(std::int32_t recordId);
    std::int32_t GetRecordIdOf(std::span<const std::byte> recBuffer) const;

    // ---- Locks ----
    std::int16_t BeginRead(bool wait) override;
    std::int16_t BeginUpgrade(bool wait) override;
    std::int16_t BeginWrite(bool wait) override;
    std::int16_t BeginExclusive(bool wait) override;
    void EndRead() override;
    void EndUpgrade() override;
    void EndWrite() override;
    void EndExclusive() override;
    std::int32_t CountReadLocks() const override;
    std::int32_t CountWriteLocks() const override;
    // Called by the catalog's unlock thread with the current tick count: gives the level held in
    // the lock file back once the table has been idle for kUnlockDelayMs.
    void CheckUnlock(std::uint64_t tickCount);
    static constexpr std::uint32_t kUnlockDelayMs = 10;
    // One in this many ends of a lock gives the file locks back at once.
    static constexpr std::uint32_t kEarlyReleaseOdds = 3000;

    std::int16_t CheckEdit(std::int32_t recNo, const IRelationListener* excluded) override;
    void SwitchEdit(std::int32_t recNoFrom, std::int32_t recNoTo) override;
    void EndEdit(std::int32_t recNo) override;
    std::int16_t CheckUpdate() override;
    std::int16_t TakeInChanges() override;
    // Brings what this object caches up to another session's change: data file, indexes, new
    // indexes, moved records; tells the accessors.
    void UpdateTable(std::int64_t tableChangeCount, std::int32_t recordCount,
                     std::int32_t indexCount);
    std::int32_t NetUsers() override;
    void GetUsage(TTdbTableUsage& usage) override;
    bool HasLockFile() const noexcept { return FLockFile != nullptr; }
    // The level held in the lock file (it lags behind the nestings until the delayed release).
    TTdbTableLockType HeldLock() const noexcept { return FUnlockAction.load(); }
    // Sets how many attempts waits on the lock file make (tests keep them short).
    void SetLockWaitAttempts(std::int32_t attempts);

    // ---- Transactions ----
    // Rolls back what the redo log holds, then erases it; 0 or a negative engine error.
    std::int16_t UndoModifications();
    std::int16_t CommitModifications();
    // Throws away the changes not yet written to the files.
    std::int16_t Undo();
    bool HasRedoLog() const noexcept { return FRedoLog != nullptr; }
    // Kept nestings: the transaction's locks that outlive their End calls.
    bool HasKeptWrite() const noexcept { return FKeptWrite; }
    // Ends the nestings a transaction kept.
    void ReleaseKeptLocks();

    // ---- Indexes ----
    TTdbIndexFile* GetIndexFile(TTdbIndexNo indexNo) const override;
    bool CheckIndexOpen(TTdbIndexNo indexNo, bool checkSize) override;
    // The new index number, or a negative engine error (the last error set).
    std::int16_t NewIndex(std::u16string_view indexName, const TTdbSortDef& indexDef,
                          const TProgFun& progFun, std::int32_t capacity);
    std::int16_t RemoveInd(TTdbIndexNo indexNo);
    std::int16_t RegenIndex(const TProgFun& progFun);
    // What is wrong with an index, empty when it agrees with the table: it opens, its tree
    // checks clean, it holds one entry per record and each entry is the one its record builds.
    // Reads under a read lock; raises when the lock or a record cannot be had.
    std::u16string IndexDisagreement(TTdbIndexNo indexNo);
    std::int16_t ErzeugeIndexFile(TTdbIndexNo indexNo, std::int32_t capacity,
                                  const TProgFun& progFun, bool repair);
    // False with the reason as the last error.
    bool CheckIndexDefinition(const TTdbSortDef& indexDef);
    TTdbIndexNo FindIndex(const TTdbSortDef& def, std::uint8_t options, bool& reverse) override;
    // The index file's path for an index name.
    std::u16string CalcIndexFileName(std::u16string_view indexName) const;

    // ---- Files ----
    // Data file, index files, memo and blob files, in this order.
    std::vector<std::u16string> GetFileNames() const;
    // Copies every file of the table (flushed first) into Target under its name.
    void BackupFilesTo(TdwFileSystem& target);
    // The directory the table's files lie in, with a trailing delimiter.
    std::u16string PhysicalDirectory() const;

protected:
    std::int16_t OpenFiles(bool force) override;
    std::int16_t CloseFiles() override;
    void ClearDefinitions() override;

private:
    struct TLockCounts {
        std::int32_t Read = 0;
        std::int32_t Upgrade = 0;
        std::int32_t Write = 0;
        std::int32_t Exclusive = 0;
        std::int32_t Edit = 0;
    };

    // Assigns an index number to a new index (its file not yet made); negative when none free.
    TTdbIndexNo InitIndex(std::u16string_view indexName, const TTdbSortDef& indexDef);
    std::unique_ptr<TTdbIndexFile> MakeIndexFile(const TTdbSortDef& indexDef,
                                                 std::u16string_view indexName);
    // Numbers the user and temporary indexes the data file lists and this object lacks.
    std::vector<TTdbIndexNo> InitStoredIndexes();
    void SetupSystemIndexes(bool force);
    void SetupIntegrityRules();
    TTdbIndexNo SetupSystemIndex(std::u16string_view name, const TTdbSortDef& def,
                                 bool primary, bool unique);
    std::int16_t CreateTempIndex(const TTdbSortDef& def);
    std::int16_t CheckIndexBelongs(TTdbIndexNo indexNo);
    std::int16_t RebuildAutomaticIndex(TTdbIndexNo indexNo);
    std::int16_t RebuildAlone(const std::function<std::int16_t()>& rebuild);
    // Makes the index file new with that definition and fills it from the records.
    std::int16_t RebuildIndex(TTdbIndexNo indexNo, TTdbSortDef def);
    // Below level 4 system indexes are named after the table.
    std::u16string OldSystemIndexName(std::u16string_view extension) const;
    // Gives up temporary and lost automatic indexes to make room for a new one.
    bool MakeIndexRoom();
    void StoreIndexNames();
    void DropIndex(TTdbIndexNo indexNo, bool deleteFile);
    void CheckFirstRecord();
    std::u16string FileBase() const;
    std::int16_t Fail(std::int16_t code, const TdbFormatArgs& args = {});

    // ---- Sharing ----
    void LogIntoLockFile();
    void LogOutOfLockFile() noexcept;
    // The base name of the lock file, move file and redo log: directory and table name.
    std::u16string LockBaseName() const;
    std::unique_ptr<TTdbRedoLog> MakeRedoLog() const;
    // Lock files, move files and redo logs lie where the session keeps them.
    TdwFileSystem& SharingFileSystem() const;
    bool TableChanged() const;
    void UpdateIfChanged();
    // Gives back to the lock file what the nestings no longer need (flushing a write first).
    void ReleaseUnneededLocks();
    // The one-in-so-many release at the end of a lock, with a pause for waiting sessions.
    void ReleaseEarly() noexcept;
    // Takes the table for writing at once, when it can, and discards a log a broken session
    // left.
    void DiscardLeftTransaction();
    void DiscardLeftLog();
    // Puts back the files of a flush that never finished; only while nobody may be writing
    // the table. OpenFile names the handles this table already holds open on them.
    void RollBackLeftFlush(const TTdbFlushJournal::TOpenFile& openFile = {});
    // Writes every file's changes as one flush.
    void WriteFilesAsOne();
    void ArmUnlock() noexcept;
    // After the end of a lock nesting: the time of the last use, when the table is idle now.
    void NoteUse() noexcept;
    std::int16_t LockFailure(const std::exception& e);

    // ---- Records below the checks ----
    // Work entries of an index file the key upkeep uses; the searches use the lower ones.
    static constexpr int kAddEntry = 3;
    static constexpr int kRemoveEntry = 4;
    TTdbIndexFile* WritingIndex(TTdbIndexNo indexNo, bool checkSize);
    template <typename Change, typename Revert>
    void ForEachEntry(std::int32_t recNo, std::span<const std::byte> record, int workInfo,
                      std::int16_t failure, Change change, Revert revert);
    void AddKeys(std::int32_t recNo, std::span<const std::byte> record);
    void RemoveKeys(std::int32_t recNo, std::span<const std::byte> record);
    std::int32_t AppendRecordRaw(std::span<const std::byte> record);
    void DeleteRecordRaw(std::int32_t recNo);
    void ReplaceRecordRaw(std::int32_t recNo, std::span<const std::byte> record);
    void UndoOneAction();

    // ---- Records through the checks ----
    void CheckUniqueKeys(std::span<const std::byte> record, std::int32_t recNo);
    void CheckConstraints(std::span<const std::byte> record);
    void CheckReferences(std::span<const std::byte> record);
    void RunIntegrityRules(const TExecuteIntegrityRules& rules,
                           std::span<const std::byte> newRecord, bool before,
                           std::span<const std::byte> oldRecord);
    // Refuses pending memo and blob values, and memo and blob data a change would have to free,
    // while the table has no memo and blob files to write them to.
    void CheckBlobValues(const TTdbBlobDataList& blobs);
    void CheckNoBlobData(std::span<const std::byte> record);
    // Where an entry differs the old one goes and the new one comes, all or nothing: a changed
    // record keeps its number, a moved one its keys.
    void ExchangeKeys(std::span<const std::byte> oldRecord, std::int32_t oldNo,
                      std::span<const std::byte> record, std::int32_t newNo);
    std::int32_t AppendChecked(std::span<std::byte> record, TTdbBlobDataList& blobs);
    void ReplaceChecked(std::span<std::byte> record, std::int32_t recNo, TTdbBlobDataList& blobs);
    void DeleteChecked(std::int32_t recNo);
    // Runs a step that puts back what a failed change did; the first failure is the one
    // reported, so a second one here is swallowed.
    template <typename Work>
    void Compensate(Work work) noexcept {
        const bool rollingBack = FRollingBack;
        // The log must not hear of a change that only takes another one back.
        FRollingBack = true;
        try {
            work();
        } catch (...) {
        }
        FRollingBack = rollingBack;
    }
    void NotifyRecordChanged(std::int32_t recNo);
    template <typename Work>
    std::int32_t UnderWriteLock(Work work);

    std::u16string FFileName;
    std::u16string FKey;
    std::int16_t FLevel = 0;
    std::int32_t FCapacity = 0;
    std::u16string FCollationName;
    TdwCryptor FCryptor;
    TTdbTypeDefs FTypes;
    TTdbCandidateKeyDefs FKeyDefs;
    TTdbCheckDefs FChecks;
    TTdbForeignKeyDefs FForeignKeyDefs;
    TdwFileSystem* FFileSystem = nullptr;
    std::unique_ptr<TTdbDataFile> FDataFile;
    std::array<std::unique_ptr<TTdbIndexFile>, kTdbMaxIndexNo + 1> FIndexFiles;
    // The definitions the engine derives for its own indexes, to build them again from.
    std::array<std::unique_ptr<TTdbSortDef>, kTdbMaxIndexNo + 1> FSystemDefs;
    std::int32_t FFlushCounter = 0;
    bool FFlushJournal = true;
    TTdbTableFlushState FFlushState;
    mutable std::recursive_mutex FLockingMutex;
    TLockCounts FLocks;
    std::int16_t FWriteError = 0;
    std::unique_ptr<TTdbLockFile> FLockFile;
    std::unique_ptr<TTdbRedoLog> FRedoLog;
    // The unlock thread looks at these before it tries the mutex.
    std::atomic<TTdbTableLockType> FUnlockAction{tltNone};
    std::atomic<bool> FUnlockActive{false};
    std::atomic<std::uint32_t> FUnlockTime{0};
    // Nestings a transaction keeps past their End calls.
    std::int32_t FKeptReads = 0;
    bool FKeptWrite = false;
    bool FUpdating = false;
    // How often other sessions' changes were taken in.
    std::atomic<std::uint64_t> FUpdatesTakenIn{0};
    bool FRollingBack = false;
    bool FCommitting = false;
    // The lock file found dead sessions; one of them may have left a transaction log.
    bool FHijacked = false;
    // How many index names of the data file this object has loaded.
    std::size_t FLoadedIndexNames = 0;
    std::int32_t FLockWaitAttempts = TTdbLockFile::kDefaultWaitAttempts;
    TParentResolver FParentResolver;
    std::vector<TIntegrityLink> FIntegrityLinks;
};

// A stored relation shown under another name: every record, index and lock operation goes to
// the base relation.
class TTdbVirtualRelation : public TTdbRelation {
public:
    TTdbVirtualRelation(TTdbServices& services, std::u16string name, TTdbRelation& base);

    bool GetActive() const override { return FIsOpen && FBase.GetActive(); }
    bool GetReadOnly() const override { return FBase.GetReadOnly(); }
    bool GetExclusive() const override { return FBase.GetExclusive(); }
    std::u16string GetFullName() const override { return FName; }
    std::u16string GetName() const override { return FName; }
    std::int16_t GetLevel() const override { return FBase.GetLevel(); }
    std::int32_t GetRecordCount() const override { return FBase.GetRecordCount(); }
    std::int16_t Flush(bool newFileSize) override { return FBase.Flush(newFileSize); }
    std::int32_t GetFirstRecordNo() override { return FBase.GetFirstRecordNo(); }
    std::int32_t GetNextRecordNo(std::int32_t recNo) override { return FBase.GetNextRecordNo(recNo); }
    std::int32_t GetPrevRecordNo(std::int32_t recNo) override { return FBase.GetPrevRecordNo(recNo); }
    std::int32_t GetLastRecordNo() override { return FBase.GetLastRecordNo(); }
    std::int16_t ReadRecord(std::int32_t recNo, std::span<std::byte> recBuffer) override {
        return FBase.ReadRecord(recNo, recBuffer);
    }
    std::int16_t ReadRecordLocked(std::int32_t recNo, std::span<std::byte> recBuffer) override {
        return FBase.ReadRecordLocked(recNo, recBuffer);
    }
    std::int32_t AppendRecord(std::span<std::byte> recBuffer, TTdbBlobDataList& blobs) override {
        return FBase.AppendRecord(recBuffer, blobs);
    }
    std::int16_t ReplaceRecord(std::span<std::byte> recBuffer,
                               std::span<const std::byte> origRecBuffer, std::int32_t recNo,
                               TTdbBlobDataList& blobs) override {
        return FBase.ReplaceRecord(recBuffer, origRecBuffer, recNo, blobs);
    }
    std::int16_t DeleteRecord(std::span<const std::byte> recBuffer, std::int32_t recNo) override {
        return FBase.DeleteRecord(recBuffer, recNo);
    }
    std::int16_t BerechneFormeln(std::span<std::byte> recBuffer,
                                 TTdbCalculationPurposes purposes) override {
        return FBase.BerechneFormeln(recBuffer, purposes);
    }
    std::int16_t BeginRead(bool wait) override { return FBase.BeginRead(wait); }
    std::int16_t BeginUpgrade(bool wait) override { return FBase.BeginUpgrade(wait); }
    std::int16_t BeginWrite(bool wait) override { return FBase.BeginWrite(wait); }
    std::int16_t BeginExclusive(bool wait) override { return FBase.BeginExclusive(wait); }
    void EndRead() override { FBase.EndRead(); }
    void EndUpgrade() override { FBase.EndUpgrade(); }
    void EndWrite() override { FBase.EndWrite(); }
    void EndExclusive() override { FBase.EndExclusive(); }
    std::int32_t CountReadLocks() const override { return FBase.CountReadLocks(); }
    std::int32_t CountWriteLocks() const override { return FBase.CountWriteLocks(); }
    std::int16_t CheckEdit(std::int32_t recNo, const IRelationListener* excluded) override {
        return FBase.CheckEdit(recNo, excluded);
    }
    void SwitchEdit(std::int32_t recNoFrom, std::int32_t recNoTo) override {
        FBase.SwitchEdit(recNoFrom, recNoTo);
    }
    void EndEdit(std::int32_t recNo) override { FBase.EndEdit(recNo); }
    std::int16_t CheckUpdate() override { return FBase.CheckUpdate(); }
    std::int16_t TakeInChanges() override { return FBase.TakeInChanges(); }
    std::int32_t NetUsers() override { return FBase.NetUsers(); }
    void GetUsage(TTdbTableUsage& usage) override { FBase.GetUsage(usage); }
    TTdbIndexFile* GetIndexFile(TTdbIndexNo indexNo) const override {
        return FBase.GetIndexFile(indexNo);
    }
    TTdbIndexNo GetLastIndexNo() const override { return FBase.GetLastIndexNo(); }
    bool CheckIndexOpen(TTdbIndexNo indexNo, bool checkSize) override {
        return FBase.CheckIndexOpen(indexNo, checkSize);
    }
    bool IsSameTableName(std::u16string_view name) const override;

protected:
    std::int16_t OpenFiles(bool force) override;
    std::int16_t CloseFiles() override;

private:
    bool FIsOpen = false;
    std::u16string FName;
    TTdbRelation& FBase;
};

}  // namespace tdb
