// Relations: anything the engine reads records from and writes records to. The base class owns
// the column definitions, the index numbering and the typed access to values in record buffers;
// stored tables and views derive from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/services.h"
#include "index/index_file.h"
#include "index/index_keys.h"
#include "types/column_def.h"
#include "types/data_type.h"
#include "types/record_access.h"
#include "types/sort_def.h"

namespace tdb {

inline constexpr TTdbIndexNo kTdbNoIndex = -1;
inline constexpr TTdbIndexNo kTdbMaxIndexNo = 50;
inline constexpr std::uint8_t kTdbNoIndexNo8 = 255;

// Rights word of an open relation.
inline constexpr std::uint16_t kRightAppend = 0x0001;
inline constexpr std::uint16_t kRightEdit = 0x0002;
inline constexpr std::uint16_t kRightIndex = 0x0008;
inline constexpr std::uint16_t kRightsWrite = 0x000F;
inline constexpr std::uint16_t kRightExclusive = 0x0100;
inline constexpr std::uint16_t kRightDeepFlush = 0x0200;
inline constexpr std::uint16_t kRightSharedReadOnly = 0x0400;

// Options of FindIndex.
inline constexpr std::uint8_t tifoExact = 0x01;
inline constexpr std::uint8_t tifoNoOpen = 0x02;
inline constexpr std::uint8_t tifoCreate = 0x04;
inline constexpr std::uint8_t tifoNoReverse = 0x08;
inline constexpr std::uint8_t tifoIncludeSpecial = 0x10;

// What a relation tells the accessors open on it.
class IRelationListener {
public:
    virtual ~IRelationListener() = default;
    virtual std::u16string GetTag() const = 0;
    // Record D was deleted and the record formerly at M now stands at D.
    virtual void RecordDeleted(std::int32_t deletedRecNo, std::int32_t movedRecNo) = 0;
    virtual void RecordChanged(std::int32_t recNo) = 0;
    virtual void RelationChanged() = 0;
    virtual void RelationEmptied() = 0;
    // False vetoes giving up the index while the accessor orders by it.
    virtual bool CanRemoveIndex(TTdbIndexNo indexNo) = 0;
    virtual void IndexRemoved(TTdbIndexNo indexNo) = 0;
    virtual bool IsEditing(std::int32_t recNo) = 0;
};

struct TTdbTableUsage;

enum TTdbTableLockType : std::uint8_t { tltNone, tltRead, tltUpgrade, tltWrite, tltExclusive };

// How a column describes itself to callers of the engine: what they need to create it again and
// to find its value in a record buffer.
struct TTdbFieldSpec {
    std::int16_t No = 0;  // 1-based
    std::u16string Name;
    // The low byte of the column's options, without the value-range bit that only old table
    // levels store.
    std::uint8_t Options = 0;
    // The default value or formula, in its stored form.
    std::u16string RangeOrFormula;
    // Enum: the value names joined by ","; AutoInc: the record-id index specification; Link and
    // Relation: the table referred to.
    std::u16string SelectOrLink;
    TTdbColumnType FldType = 0;
    // String, WideString and Char: the length in characters; Float: the scale; Time: the
    // precision; 0 for every other type (dates and time stamps keep no precision of their own).
    std::int32_t Param = 0;
    std::int16_t InternalPosition = 0;
    std::int16_t InternalSize = 0;
};

// A memo, blob or wide-memo value set while a record is edited, written with the record.
struct TTdbBlobData {
    std::int32_t FieldNo = 0;  // the column number; 0 or below: an unused entry
    std::string AnsiData;      // the bytes of a memo or blob
    std::u16string WideData;   // the text of a wide memo
};
using TTdbBlobDataList = std::vector<TTdbBlobData>;

class TTdbRelation {
public:
    explicit TTdbRelation(TTdbServices& services);
    virtual ~TTdbRelation();
    TTdbRelation(const TTdbRelation&) = delete;
    TTdbRelation& operator=(const TTdbRelation&) = delete;

    // ---- What the relation is ----
    virtual bool GetActive() const = 0;
    virtual bool GetReadOnly() const { return (FRights & kRightsWrite) == 0; }
    virtual bool GetExclusive() const { return (FRights & kRightExclusive) != 0; }
    virtual std::u16string GetFullName() const = 0;
    virtual std::u16string GetName() const { return FStdName; }
    virtual std::int16_t GetLevel() const = 0;
    virtual std::int32_t GetRecordCount() const = 0;
    virtual std::int32_t GetCapacity() const { return 0; }
    virtual bool IsStoredTable() const { return false; }
    std::int32_t GetRecordSize() const noexcept { return FColumnDefs.GetRecordSize(); }

    // ---- Life cycle: 16-bit results, 0 or the negated engine error (the last error set) ----
    std::int16_t Open(bool force);
    virtual std::int16_t Setup(bool force);
    std::int16_t Close();
    virtual std::int16_t Flush(bool newFileSize) = 0;

    // ---- Records ----
    virtual std::int32_t GetFirstRecordNo() = 0;
    virtual std::int32_t GetNextRecordNo(std::int32_t recNo) = 0;
    virtual std::int32_t GetPrevRecordNo(std::int32_t recNo) = 0;
    virtual std::int32_t GetLastRecordNo() = 0;
    virtual std::int16_t ReadRecord(std::int32_t recNo, std::span<std::byte> recBuffer) = 0;
    // ReadRecord for a caller that holds a read lock on the table already, as a scan does for
    // every record it reads.
    virtual std::int16_t ReadRecordLocked(std::int32_t recNo, std::span<std::byte> recBuffer) {
        return ReadRecord(recNo, recBuffer);
    }
    virtual std::int16_t InitRecord(std::span<std::byte> recBuffer, bool preset);

    // ---- Writing records: checks, every index, the redo log, notifications ----
    // Relations that cannot be written answer engine error 187. The new record number, or a
    // negative engine error.
    virtual std::int32_t AppendRecord(std::span<std::byte> recBuffer, TTdbBlobDataList& blobs);
    // RecBuffer is the new image, OrigRecBuffer the record as stored before the edit.
    virtual std::int16_t ReplaceRecord(std::span<std::byte> recBuffer,
                                       std::span<const std::byte> origRecBuffer,
                                       std::int32_t recNo, TTdbBlobDataList& blobs);
    // RecBuffer is the image of the record being deleted.
    virtual std::int16_t DeleteRecord(std::span<const std::byte> recBuffer, std::int32_t recNo);
    // Computes the calculated columns of the purposes into the image; 0 or a negative error.
    virtual std::int16_t BerechneFormeln(std::span<std::byte> recBuffer,
                                         TTdbCalculationPurposes purposes);
    // The record number of the entry whose key equals the buffer's, 0 when there is none, or a
    // negative engine error.
    virtual std::int32_t LocateRecord(std::span<const std::byte> recBuffer, TTdbIndexNo indexNo);

    // ---- Table locks: nesting counts; a lock file adds the sharing behind them ----
    virtual std::int16_t BeginRead(bool wait) = 0;
    virtual std::int16_t BeginUpgrade(bool wait) = 0;
    virtual std::int16_t BeginWrite(bool wait) = 0;
    virtual std::int16_t BeginExclusive(bool wait) = 0;
    virtual void EndRead() = 0;
    virtual void EndUpgrade() = 0;
    virtual void EndWrite() = 0;
    virtual void EndExclusive() = 0;
    virtual std::int32_t CountReadLocks() const = 0;
    virtual std::int32_t CountWriteLocks() const = 0;

    // ---- Sharing with other sessions (stored tables; a view passes them on) ----
    // Takes the record lock for editing; 0, or -105 when another session or another accessor
    // than Excluded edits it.
    virtual std::int16_t CheckEdit(std::int32_t /*recNo*/, const IRelationListener* /*excluded*/) {
        return 0;
    }
    // CheckEdit again every 100 ms while another session edits the record, until the session's
    // locking time-out has passed.
    std::int16_t CheckEditWaiting(std::int32_t recNo, const IRelationListener* excluded);
    static constexpr std::uint32_t kEditRetryMs = 100;
    virtual void SwitchEdit(std::int32_t /*recNoFrom*/, std::int32_t /*recNoTo*/) {}
    // Whether editing a record locks it against other sessions' edits.
    void ActivateEditLocks(bool value) noexcept { FUseEditLocks = value; }
    bool EditLocksActive() const noexcept { return FUseEditLocks; }
    virtual void EndEdit(std::int32_t /*recNo*/) {}
    // 1 when another session changed the table since this one last looked (what was cached is
    // then re-read), else 0.
    virtual std::int16_t CheckUpdate() { return 0; }
    // As CheckUpdate, after waiting for a writer that still holds its changes under a lock it
    // keeps for a while: 1 when changes were taken in, 0 when there were none.
    virtual std::int16_t TakeInChanges() { return CheckUpdate(); }
    virtual std::int32_t NetUsers() { return 1; }
    virtual void GetUsage(TTdbTableUsage& usage);

    // ---- Indexes ----
    virtual TTdbIndexNo GetFirstIndexNo() const { return 0; }
    virtual TTdbIndexNo GetLastIndexNo() const { return FLastIndexNo; }
    int GetIndexCount() const { return FLastIndexNo + 1; }
    virtual TTdbIndexFile* GetIndexFile(TTdbIndexNo indexNo) const = 0;
    // The index number of the named index, or -1.
    virtual TTdbIndexNo FindIndexByName(std::u16string_view name) const;
    // The index that gives the order Def asks for (-1 for none, or the natural order with
    // tifoIncludeSpecial); Reverse tells that it is read backwards.
    virtual TTdbIndexNo FindIndex(const TTdbSortDef& def, std::uint8_t options, bool& reverse);
    // Whether the index is open, opening (and for automatic ones rebuilding) it on demand.
    virtual bool CheckIndexOpen(TTdbIndexNo indexNo, bool checkSize) = 0;
    virtual std::u16string GetRealIndexName(TTdbIndexNo indexNo) const;
    const TTdbSortDef& GetNativeSortDef() const noexcept { return FNativeSortDef; }
    TTdbIndexNo InrIndexNo() const noexcept { return ToIndexNo(FInrIndexNo); }
    TTdbIndexNo IdIndexNo() const noexcept { return ToIndexNo(FIdIndexNo); }
    TTdbIndexNo PrimIndexNo() const noexcept { return ToIndexNo(FPrimIndexNo); }
    const TTdbIndexKeys& Keys() const noexcept { return *FKeys; }

    // ---- Columns ----
    const TTdbColumnDefs& ColumnDefs() const noexcept { return FColumnDefs; }
    // Typed reading and writing of column values inside this relation's record buffers.
    TTdbRecordAccess Access() const { return TTdbRecordAccess(FColumnDefs, GetLevel()); }
    int ColumnCount() const noexcept { return FColumnDefs.GetCount(); }
    // 1-based column number, 0 when there is none.
    int FindColumn(std::u16string_view name, bool caseSensitive) const;
    std::u16string GetFieldName(int fieldNo) const;
    // Raises engine error 14 for a number outside 1..ColumnCount.
    TTdbFieldSpec GetFieldSpec(int fieldNo) const;
    bool HasRecordId() const noexcept { return FRecordIdFieldNo > 0; }
    std::int16_t RecordIdFieldNo() const noexcept { return FRecordIdFieldNo; }
    bool HasMemo() const noexcept { return FHasMemo; }
    bool HasBlob() const noexcept { return FHasBlob; }

    // ---- Names ----
    const std::u16string& StdName() const noexcept { return FStdName; }
    // Standard names equal without case; a directory or extension in Name must match too.
    virtual bool IsSameTableName(std::u16string_view name) const;

    // ---- Accessors open on the relation ----
    void AddAccessor(IRelationListener* listener);
    void RemoveAccessor(IRelationListener* listener);
    int ClientAccessorCount() const noexcept { return static_cast<int>(FClientAccessors.size()); }
    // Whether anything still reads through the relation: an accessor or a view of it.
    bool InUse() const noexcept { return !FClientAccessors.empty() || FViewCount > 0; }
    void AddView() noexcept { ++FViewCount; }
    void RemoveView() noexcept { --FViewCount; }
    void EnableNotifications(bool enable);
    void NotifyRelationChanged();
    // The record at MovedRecNo now stands at DeletedRecNo (the heap moves its last record into
    // the slot of a deleted one).
    void NotifyRecordDeleted(std::int32_t deletedRecNo, std::int32_t movedRecNo);
    void NotifyRelationEmptied();
    void NotifyIndexRemoved(TTdbIndexNo indexNo);
    bool CanRemoveIndex(TTdbIndexNo indexNo) const;

    TTdbServices& Services() const noexcept { return FServices; }
    std::uint16_t Rights() const noexcept { return FRights; }
    void SetRights(std::uint16_t rights) noexcept { FRights = rights; }
    int RltnIdx() const noexcept { return FRltnIdx; }
    void SetRltnIdx(int rltnIdx) noexcept { FRltnIdx = rltnIdx; }

    bool IsRelFile = false;
    bool Temporary = false;

protected:
    static TTdbIndexNo ToIndexNo(std::uint8_t no) noexcept {
        return no == kTdbNoIndexNo8 ? kTdbNoIndex : static_cast<TTdbIndexNo>(no);
    }
    virtual std::int16_t OpenFiles(bool force) = 0;
    virtual std::int16_t CloseFiles() = 0;
    virtual void ClearDefinitions();
    // Recomputes the record-id column and the memo and blob flags from the columns.
    void AnalyzeColumns();
    // Makes the key operations over the current columns and level.
    void MakeKeys();

    TTdbServices& FServices;
    std::u16string FStdName;
    TTdbColumnDefs FColumnDefs;
    std::unique_ptr<TTdbIndexKeys> FKeys;
    std::uint16_t FRights = 0;
    bool FUseEditLocks = true;
    std::int16_t FRecordIdFieldNo = 0;
    bool FHasMemo = false;
    bool FHasBlob = false;
    std::vector<std::byte> FRecBuffer;
    std::uint8_t FInrIndexNo = kTdbNoIndexNo8;
    std::uint8_t FIdIndexNo = kTdbNoIndexNo8;
    std::uint8_t FPrimIndexNo = kTdbNoIndexNo8;
    TTdbIndexNo FLastIndexNo = -1;
    TTdbSortDef FNativeSortDef{u"Table_Default"};
    std::vector<IRelationListener*> FClientAccessors;
    std::int32_t FNotificationDisableCount = 0;
    std::int32_t FViewCount = 0;
    int FRltnIdx = 0;
};

}  // namespace tdb
