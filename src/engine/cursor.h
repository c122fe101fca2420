// Cursors: what a table handle of the call interface stands for. One open view of one relation
// in one session, as a dataset uses it: an accessor for position, order, range and editing, and
// on top of it the sort order the client named, a user range, a prepared and an active filter,
// the client's marks, a refresh that notices other users' changes, and answers in the call
// interface's result codes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/accessor.h"
#include "engine/bookmark_list.h"

namespace tdb {

class TTdbCatalog;
class TTdbLocalSession;

enum TTdbFilterKind : std::uint8_t {
    tfkNone = 0,
    tfkIncremental = 1,  // the condition is the accessor's filter, tested while navigating
    tfkStatic = 2,       // the matching records were collected into a list, which is the order
    tfkBookmarks = 3,    // a plain list of record numbers is the order
};

// Told when a record of the cursor was deleted and another moved into its slot.
using TTdbTableCallback =
    std::function<void(std::int16_t tableHdl, std::int32_t deletedRecNo, std::int32_t movedRecNo)>;

// The access names of the call interface.
inline constexpr std::u16string_view kTdbAccessNameRecordNo = u"Nummer";
inline constexpr std::u16string_view kTdbAccessNameMarks = u"Markierung";

// Unless said otherwise, operations answer 0 (or a positive value) or a negative result code of
// the call interface (base/result_codes.h), with the reason as the session's last error.
// Operations marked "raises" raise engine errors instead; the call interface contains them.
class TTdbCursor {
public:
    // On the catalog's relation RltnIdx of the session, which must outlive the cursor.
    TTdbCursor(std::int16_t tableHdl, TTdbLocalSession& session, int rltnIdx, std::u16string name);
    ~TTdbCursor();
    TTdbCursor(const TTdbCursor&) = delete;
    TTdbCursor& operator=(const TTdbCursor&) = delete;

    // Another cursor on the same relation, not yet open.
    static std::unique_ptr<TTdbCursor> CreateClone(std::int16_t tableHdl, const TTdbCursor& source);

    // Raises.
    void Open();
    // Cancels an edit and drops both filters.
    void Close();

    // ---- Properties ----
    std::int16_t TableHdl() const noexcept { return FTableHdl; }
    const std::u16string& Name() const noexcept { return FName; }
    TTdbLocalSession& Session() const noexcept { return FSession; }
    TTdbCatalog& Catalog() const;
    int RltnIdx() const noexcept { return FRltnIdx; }
    TTdbRelation& Relation() const noexcept { return FRelation; }
    TTdbAccessor& Accessor() noexcept { return *FAccessor; }
    TTdbFilterKind ActiveFilterKind() const noexcept { return FActiveKind; }
    TTdbFilterKind UserFilterKind() const noexcept { return FUserKind; }
    const std::u16string& Sorting() const noexcept { return FSorting; }
    std::int32_t RecordSize() const noexcept { return FRelation.GetRecordSize(); }
    bool Dirty() const noexcept { return FDirty; }
    TTdbTableCallback OnChangeProc;

    // ---- Navigation ----
    // Refresh first; 1, -11 without a record, -201 for another failure.
    std::int16_t First();
    std::int16_t Last();
    // No refresh; 0, -11 off either end, -201 for another failure.
    std::int16_t MoveBy(std::int32_t delta);
    std::int16_t Next() { return MoveBy(1); }
    // The record number reached; -11 when it is not in the cursor's view (the position stays).
    // -1 goes before the first record.
    std::int32_t SetRecordNo(std::int32_t recNo);
    std::int32_t GetRecordNo() const noexcept { return FAccessor->RecordNo(); }
    std::int32_t GetSequenceNo();
    std::int32_t SetSequenceNo(std::int32_t sequenceNo);
    static constexpr bool IsSequenced() noexcept { return TTdbAccessor::IsSequenced(); }
    // Records visible through the cursor; -1 when too many to count.
    std::int32_t GetRecordCount();
    // 1 when other users' changes (or own ones another cursor made) were taken in, else 0.
    std::int16_t Refresh(bool checkNet);
    // Lets the relation look for other users' changes; true when there were some.
    bool CheckModifications();

    // ---- Order and range ----
    // An empty name is record-number order. -16 for an unknown or unusable index.
    std::int16_t SetIndex(std::u16string_view indexName, bool reverse);
    // A column list as index specifications write it; -18 when no index can give the order.
    std::int16_t SetSortOrder(std::u16string_view sortOrder);
    // "Nummer", "Markierung" or an index name; -15 for anything else, and for mark order
    // without SwitchMarks.
    std::int16_t SetAccess(std::u16string_view name, bool switchMarks);
    std::u16string GetAccessName() const;
    // Two record images as the bounds of the current index; counts ≤ 0 take every key item.
    // -15 unless in index order.
    std::int16_t SetUserRange(std::span<const std::byte> lower, std::span<const std::byte> upper,
                              int fieldCountStart, int fieldCountEnd);
    void ClearUserRange();

    // ---- Search and filter ----
    // 1 when a record satisfies the condition (then current when Mode's low bits are 5), 0 when
    // none does; -44 for a condition that does not compile or evaluate.
    std::int16_t Locate(std::u16string_view condition, TTdbExpressionSyntax syntax,
                        std::uint32_t mode);
    // Mode's low four bits: 1 static, 3 remove, 6 intersect, 7 add, 15 incremental; Background
    // prepares instead of activating (3, 6 and 7 only prepare). -44 for a condition that does
    // not compile or a mode there is none of.
    std::int16_t SetUserSqlFilter(std::u16string_view condition, TTdbExpressionSyntax syntax,
                                  std::uint32_t mode, bool background);
    // Raises.
    void ActivateFilter();
    void DeactivateFilter();

    // ---- Marks ----
    // Raises engine error 19 for a number that is no record.
    void AddMark(std::int32_t recNo);
    void RemoveMark(std::int32_t recNo);
    void ToggleMark(std::int32_t recNo);
    bool IsMarked(std::int32_t recNo) const;
    void ClearMarks();
    void Unmark() { ClearMarks(); }
    std::int32_t CountMarks() const noexcept { return FMarks->Count(); }
    void GetMarks(std::vector<std::int32_t>& marks) const;
    // Fills Buffer with up to its size of marked record numbers; answers how many there are.
    std::int32_t GetMarks(std::span<std::int32_t> buffer) const;
    // Deletes the marked records, which leave the marks as they go: how many were deleted, or
    // -20 when one could not be (those before it stay deleted).
    std::int32_t DeleteMarkedRecords();
    // -100 when the order cannot be had.
    std::int16_t SortMarks(std::u16string_view sortOrder);
    // Steps in the cursor's order to the next marked record (backwards for a negative Delta,
    // from the end when Restart): 1, or -11 when there is none; -31 without a read lock.
    std::int16_t GotoMark(std::int32_t delta, bool restart);

    // ---- Records and editing ----
    // Copies the current record; a memo or blob with data waiting to be written shows the block
    // reference -1.
    void GetRecord(std::span<std::byte> recBuffer);
    void SetRecord(std::span<const std::byte> recBuffer);
    // A column (from 1) of the current record as text; false for NULL. Raises engine error 83
    // for a number the relation does not have.
    bool GetFieldAsString(int fieldNo, std::u16string& text);
    // An empty text stores NULL in a column that is not a string column. Raises for a text the
    // column's type cannot take.
    void SetFieldAsString(int fieldNo, std::u16string_view text);
    // The same into a record image of the relation (RecordSize bytes) the caller keeps.
    void SetFieldInRecord(std::span<std::byte> record, int fieldNo, std::u16string_view text) const;
    // A column of a caller's record image; false for NULL.
    bool GetFieldFromRecord(std::span<const std::byte> record, int fieldNo,
                            std::u16string& text) const;
    std::int16_t Append();
    std::int16_t AppendDuplicate();
    std::int16_t AppendConfirm();
    std::int16_t AppendCancel();
    std::int16_t Edit();
    std::int16_t EditConfirm();
    std::int16_t EditCancel();
    std::int16_t DeleteRecord();
    bool CanModify() const noexcept;
    // Deletes every record; -30 when the cursor may not write, -20 when a delete fails.
    std::int16_t EmptyTable();
    // Nearest search on the named index with the key of the first ItemCount key items of a
    // record image: the record number found (then current), 0 when there is none after the
    // key, -16 for an unknown index. Asked for Exact, only equal keys qualify; Exact tells
    // whether the record found is equal.
    std::int32_t LocateRecord2(std::u16string_view indexName, std::span<const std::byte> record,
                               int itemCount, bool& exact);
    // The record id of the current record buffer; 0 when the table has none.
    std::int32_t GetAutoNo();
    void SetAutoNo(std::int32_t recordId);
    // 0 before, 1 equal, 2 after in the cursor's order (index order: the named index, or the
    // current one for an empty name); -16 for an unknown index or another order.
    std::int16_t CompareBookmarks(std::u16string_view indexName, std::int32_t recNo1,
                                  std::int32_t recNo2);

private:
    void HookAccessor();
    TTdbServices& Services() const;
    // The services' last error from the exception being handled; its negated engine error.
    std::int16_t StoreFailure() const;
    std::int16_t Navigation(std::int16_t result, bool record) const;

    void Rebuild();
    TTdbIndexNo IndexFor(std::u16string_view sorting, bool& reverse);
    // The index the sort order reads, creating a temporary one when none fits; raises 6.
    TTdbIndexNo SortIndex(bool& reverse);
    void KeyOfImage(const TTdbIndexFile& index, std::span<const std::byte> image, int given,
                    bool upper, std::vector<std::byte>& key);
    // Puts the accessor into the order of the sort order (record numbers when empty).
    void SetOrderFromSorting();
    void ApplyUserRange();
    // Back to RecNo when it is in view, else the first record, else before it.
    void Reposition(std::int32_t recNo);

    std::unique_ptr<TTdbCondition> Compile(std::u16string_view source, TTdbExpressionSyntax syntax,
                                           std::uint32_t options);
    TTdbAccessor& Scanner();
    // Every record the condition accepts (and, given Reference, that is valid there); answers
    // the order the scan found them in.
    TTdbAccessor::TScanOrder CollectInto(TTdbCondition& condition, TTdbAccessor* reference,
                                         TTdbBookmarkList& list);
    // Into the sort order; a list that a scan made in that very order is left as it is.
    void SortList(TTdbBookmarkList& list, std::optional<TTdbAccessor::TScanOrder> madeIn = {});
    // The list as a static filter of Condition would have it now.
    void RecomputeStatic(TTdbCondition* condition, TTdbBookmarkList& list);
    void RecomputeFilters();
    void InsertSorted(TTdbBookmarkList& list, std::int32_t recNo);
    bool Accepts(TTdbCondition& condition, std::int32_t recNo);
    void UpkeepAfterPost(bool appended);

    template <typename TResult, typename Body>
    TResult Guarded(TResult failureCode, Body&& body);
    template <typename Step>
    std::int16_t EditStep(std::int16_t failureCode, Step&& step);
    // Posts the record being appended or edited and keeps the lists in step with it.
    std::int16_t Confirm(TTdbEditState state);

    void RecordDeleted(std::int32_t deletedRecNo, std::int32_t movedRecNo);

    TTdbLocalSession& FSession;
    int FRltnIdx;
    TTdbRelation& FRelation;
    std::u16string FName;
    std::unique_ptr<TTdbAccessor> FAccessor;
    // Scans, counts and searches for filters and Locate, without moving the cursor.
    std::unique_ptr<TTdbAccessor> FScan;
    std::int16_t FTableHdl;
    bool FDirty = false;
    std::u16string FSorting;
    TTdbFilterKind FActiveKind = tfkNone;
    // The condition of an active static filter; an incremental one lives in the accessor.
    std::unique_ptr<TTdbCondition> FActiveCondition;
    TTdbFilterKind FUserKind = tfkNone;
    std::unique_ptr<TTdbCondition> FUserCondition;
    // The marks, which are also the result list of a prepared static or bookmark filter.
    std::unique_ptr<TTdbBookmarkList> FMarks;
    // Keys of the index the range was given on; empty when there is no range.
    std::vector<std::byte> FRangeLower;
    std::vector<std::byte> FRangeUpper;
    TTdbIndexNo FRangeIndexNo = kTdbNoIndex;
    // The index LocateRecord2 found last by name, and its buffers, kept for the next search.
    std::u16string FLocateIndexName;
    TTdbIndexNo FLocateIndexNo = kTdbNoIndex;
    std::vector<std::byte> FScratchRecord;
    std::vector<std::byte> FScratchKey;
};

}  // namespace tdb
