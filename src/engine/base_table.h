// The stored table: one data file with its index files, opened by the catalog under a relation
// index. Its table locks are nesting counts here; sharing a table through its lock file builds on
// them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/relation.h"
#include "storage/cryptor.h"
#include "storage/data_file.h"
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
    // Empties the table; the former record count, or a negative engine error.
    std::int32_t ClearDat();

    // ---- Records ----
    std::int32_t GetFirstRecordNo() override;
    std::int32_t GetNextRecordNo(std::int32_t recNo) override;
    std::int32_t GetPrevRecordNo(std::int32_t recNo) override;
    std::int32_t GetLastRecordNo() override;
    std::int16_t ReadRecord(std::int32_t recNo, std::span<std::byte> recBuffer) override;
    std::int16_t InitRecord(std::span<std::byte> recBuffer, bool preset) override;

    // Records of tables the catalog fills and keeps itself (system tables and views), which
    // have neither indexes nor constraints: the new record number, or a negative engine error.
    std::int32_t AppendRecordDirect(std::span<const std::byte> recBuffer);
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
    // Called by the catalog's unlock thread with the current tick count.
    void CheckUnlock(std::uint64_t tickCount);

    // ---- Indexes ----
    TTdbIndexFile* GetIndexFile(TTdbIndexNo indexNo) const override;
    bool CheckIndexOpen(TTdbIndexNo indexNo, bool checkSize) override;
    // The new index number, or a negative engine error (the last error set).
    std::int16_t NewIndex(std::u16string_view indexName, const TTdbSortDef& indexDef,
                          const TProgFun& progFun, std::int32_t capacity);
    std::int16_t RemoveInd(TTdbIndexNo indexNo);
    std::int16_t RegenIndex(const TProgFun& progFun);
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
    };

    // Assigns an index number to a new index (its file not yet made); negative when none free.
    TTdbIndexNo InitIndex(std::u16string_view indexName, const TTdbSortDef& indexDef);
    std::unique_ptr<TTdbIndexFile> MakeIndexFile(const TTdbSortDef& indexDef,
                                                 std::u16string_view indexName);
    void SetupSystemIndexes(bool force);
    void SetupIntegrityRules();
    TTdbIndexNo SetupSystemIndex(std::u16string_view name, const TTdbSortDef& def,
                                 bool primary, bool unique);
    std::int16_t CreateTempIndex(const TTdbSortDef& def);
    std::int16_t CheckIndexBelongs(TTdbIndexNo indexNo);
    std::int16_t RebuildAutomaticIndex(TTdbIndexNo indexNo);
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
    mutable std::recursive_mutex FLockingMutex;
    TLockCounts FLocks;
    std::int16_t FWriteError = 0;
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
