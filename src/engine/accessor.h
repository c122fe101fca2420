// Accessors: positioned views of one relation. Each knows its current record, the order it walks
// (record numbers, a bookmark list or an index, either way round), a range of that order, a
// filter, its copies of the current record and of the record being edited, and the edit state.
// Every navigation, search and edit of the engine goes through one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bookmark_list.h"
#include "engine/relation.h"
#include "types/calculation.h"

namespace tdb {

class TTdbIndexFile;
struct TTdbKeyText;

enum TTdbAccessType : std::uint8_t { tatRecordNo = 0, tatBookmarks = 1, tatIndex = 2, tatNone = 3 };
enum TTdbEditState : std::uint8_t { esBrowse = 0, esAppend = 1, esEdit = 2 };
enum TTdbTakeOverMode : std::uint8_t { tomIgnore, tomMove, tomCopy };

// One number for an order: 0 to 50 an index, 100 record numbers, 101 the bookmark list.
using TTdbSortNo = std::int16_t;
inline constexpr TTdbSortNo kTdbAccessRecordNo = 100;
inline constexpr TTdbSortNo kTdbAccessBookmarks = 101;

// Navigation answers this when there is no such record or the end is reached.
inline constexpr std::int16_t kTdbNoRecord = -19;

class TTdbAccessor : public IRelationListener {
public:
    using TRecordDeletedEvent = std::function<void(TTdbAccessor& sender, std::int32_t deletedRecNo,
                                                   std::int32_t movedRecNo)>;
    using TNotifyEvent = std::function<void(TTdbAccessor& sender)>;

    // Registers with the relation, which must outlive the accessor.
    TTdbAccessor(TTdbRelation& relation, std::u16string name = {}, std::u16string tag = {});
    ~TTdbAccessor() override;
    TTdbAccessor(const TTdbAccessor&) = delete;
    TTdbAccessor& operator=(const TTdbAccessor&) = delete;

    // Another accessor on the same relation, in record-number order before the first record.
    std::unique_ptr<TTdbAccessor> CreateClone() const;

    // ---- What the relation tells ----
    std::u16string GetTag() const override { return FTag; }
    void RecordDeleted(std::int32_t deletedRecNo, std::int32_t movedRecNo) override;
    void RecordChanged(std::int32_t recNo) override;
    void RelationChanged() override;
    void RelationEmptied() override;
    bool CanRemoveIndex(TTdbIndexNo indexNo) override;
    void IndexRemoved(TTdbIndexNo indexNo) override;
    bool IsEditing(std::int32_t recNo) override;

    // ---- Properties ----
    const std::u16string& Name() const noexcept { return FName; }
    TTdbRelation& Relation() const noexcept { return FRelation; }
    TTdbServices& Services() const noexcept { return FRelation.Services(); }
    int RltnIdx() const noexcept { return FRelation.RltnIdx(); }
    bool ReadOnly() const { return FRelation.GetReadOnly(); }
    bool IsUnidirectional() const noexcept { return FIsUnidirectional; }
    void SetUnidirectional(bool value) noexcept { FIsUnidirectional = value; }
    static constexpr bool IsSequenced() noexcept { return true; }
    TTdbAccessType AccessType() const noexcept { return FCurrentAccessType; }
    // 255 unless the order is an index.
    std::uint8_t CurrentIndexNo() const noexcept { return FCurrentIndexNo; }
    bool Reverse() const noexcept { return FReverse; }
    TTdbEditState EditState() const noexcept { return FCurrentEditState; }
    // -1 before the first record, 0 the new record being appended.
    std::int32_t RecordNo() const noexcept { return FCurrentRecordNo; }
    std::int32_t WorkRecordNo() const noexcept { return FWorkRecordNo; }
    bool RecordWasDeleted() const noexcept { return FRecordDeleted; }
    std::int32_t IndexInfoSize() const noexcept {
        return static_cast<std::int32_t>(FCurrentIndexInfo.size());
    }
    std::span<const std::byte> CurrentIndexInfo() const noexcept { return FCurrentIndexInfo; }
    TTdbBlobDataList& PendingBlobs() noexcept { return FPendingBlobs; }
    bool IsFiltered() const noexcept { return FFilter != nullptr; }
    TTdbBookmarkList& Bookmarks() noexcept { return *FBookmarks; }

    TRecordDeletedEvent OnRecordDeleted;
    TNotifyEvent OnRelationChanged;
    TNotifyEvent OnRelationEmptied;

    // ---- Record buffers ----
    // The record being edited when it is the current one, else the current record (read first
    // when out of date).
    std::span<std::byte> RecordPtr();
    // As RecordPtr, raising when the record cannot be read.
    std::span<std::byte> RecordPtrExc();
    std::int16_t UpdateRecBuf();
    void InvalidateRecBuf() noexcept { FCurrentRecBufUpdated = false; }
    void GetRecord(std::span<std::byte> recBuffer);
    void SetRecord(std::span<const std::byte> recBuffer);
    // Installs a caller's buffer (RecordSize bytes, kept alive by the caller until it is put
    // back) in place of the work or the current-record buffer; the buffer it replaced.
    std::span<std::byte> SwitchRecBuffer(std::span<std::byte> recBuffer);
    void UnswitchRecBuffer(std::span<std::byte> recBuffer);

    // ---- Navigation: 0, -19 (no such record, end reached) or another negative engine error ----
    std::int16_t First();
    std::int16_t Last();
    std::int16_t Next();
    std::int16_t Prior();
    std::int16_t MoveBy(std::int32_t delta);
    std::int16_t ToBoT();
    std::int16_t GotoRecord(std::int32_t recNo);
    // The record number reached, or a negative result.
    std::int32_t GotoSequenceNo(std::int32_t sequenceNo);
    // The 1-based position in the unfiltered order; -2 when it cannot be told.
    std::int32_t GetSequenceNo();
    bool IsValidRecord();
    bool IsValidRecord(std::int32_t recNo, std::span<const std::byte> recBuffer,
                       std::span<const std::byte> indexBuffer);
    // Records in the order, range and filter; -1 when the relation is too large to count them.
    std::int32_t RecordCount();
    static constexpr std::int32_t kCountLimit = 10000;

    // Exact search by text: 1 found (and current), 0 not found, or a negative engine error.
    std::int16_t LocateRecord(TTdbIndexNo indexNo, std::u16string_view indexString,
                              char16_t separator);
    // Nearest search: the first valid record at or after IndexInfo in the index; its record
    // number (then current), 0 when there is none, or a negative engine error. Asked for Exact,
    // only records equal in the first IndexItemCount key items qualify; otherwise Exact tells
    // whether the record found is equal in them.
    // When the last of those items is a text, the search lands on the first valid record
    // whose text begins with it, where there is one: a collation may rank other texts between
    // the searched one and those that begin with it.
    std::int32_t LocateRecord2(TTdbIndexNo indexNo, std::span<const std::byte> indexInfo,
                               int indexItemCount, bool& exact);
    // Walks the other accessor until one of its records is valid here; stays there when Move.
    bool FindFirstCommonRecord(TTdbAccessor& accessor, bool move);

    // ---- Order, range, filter ----
    // Raises engine error 95 for an index that cannot be used, 49 for an unknown access id.
    void SetAccess(TTdbSortNo accessId, bool reverse);
    void SetAccess(TTdbAccessType accessType, TTdbIndexNo indexNo, bool reverse);
    TTdbSortNo AccessId() const noexcept;
    void SetBestAccess(TTdbCondition& condition);
    // Bounds in the form of the order's key (record-number part 0: not set); the order is
    // switched to AccessId first when it differs.
    void SetRange(TTdbSortNo accessId, std::span<const std::byte> lowerBound,
                  std::span<const std::byte> upperBound);
    // Bounds as texts (empty: not set): keys with the separator, or record numbers (engine
    // error 46 for a text that is none).
    void SetRange(TTdbSortNo accessId, std::u16string_view lowerBound,
                  std::u16string_view upperBound, char16_t separator);
    void GetRange(std::vector<std::byte>& lowerBound, std::vector<std::byte>& upperBound) const;
    void ClearRange() noexcept;
    bool HasRange() const noexcept;
    void SetFilter(std::unique_ptr<TTdbCondition> filter);
    std::unique_ptr<TTdbCondition> ExchangeFilter(std::unique_ptr<TTdbCondition> filter);
    void SetBookmarks(const TTdbBookmarkList& bookmarks);
    std::unique_ptr<TTdbBookmarkList> ExchangeBookmarks(std::unique_ptr<TTdbBookmarkList> list);
    // The list changed under the accessor: its position in it is found again on demand.
    void BookmarksChanged() noexcept;
    // The order a scan walked in: an access id (an index, or kTdbAccessRecordNo) and its
    // direction.
    struct TScanOrder {
        TTdbSortNo AccessId = kTdbAccessRecordNo;
        bool Reverse = false;
    };
    // Appends every record the condition accepts (and that is valid for Reference, if given),
    // in the order it answers; ends in record-number order.
    TScanOrder AppendBookmarks(TTdbCondition& condition, TTdbAccessor* reference,
                               TTdbBookmarkList& bookmarks);
    // Deletes the entries whose records the condition does not accept.
    void IntersectBookmarks(TTdbCondition& condition, TTdbBookmarkList& bookmarks);
    // Deletes the entries whose records the condition accepts.
    void RemoveBookmarks(TTdbCondition& condition, TTdbBookmarkList& bookmarks);

    // ---- Saving and handing over positions ----
    void Push();
    // Raises engine error 49 when nothing was pushed.
    void Pop();
    void Reset();
    void TakeOver(TTdbAccessor& accessor, TTdbTakeOverMode mode);

    // ---- Values of the current record ----
    std::int32_t GetRecordId();

    // ---- Editing: 0 or a negative engine error (the last error set) ----
    std::int16_t InitRecord(bool preset);
    std::int16_t Append();
    std::int16_t AppendDuplicate();
    std::int16_t Edit();
    std::int16_t Post();
    std::int16_t Cancel();
    // Cancel, when appending or editing.
    void CancelEdit();
    std::int16_t AppendRecord();
    std::int16_t ReplaceRecord(std::span<const std::byte> origRecBuffer);
    std::int16_t DeleteRecord();
    std::int16_t WriteTo(std::int32_t recNo);

    // A read lock of the relation for a scope; Held tells whether it was had.
    class TReadLock {
    public:
        explicit TReadLock(TTdbRelation& relation)
            : FRelation(relation), FResult(relation.BeginRead(true)) {}
        // The accessor's own: inside another of them the table's read nesting is held already,
        // and a scan that locks for every step and record need not ask the table again.
        explicit TReadLock(TTdbAccessor& accessor)
            : FRelation(accessor.FRelation),
              FAccessor(&accessor),
              FResult(accessor.FHeldReads > 0 ? std::int16_t{0}
                                              : accessor.FRelation.BeginRead(true)) {
            if (Held())
                ++accessor.FHeldReads;
        }
        ~TReadLock() {
            if (!Held())
                return;
            if (FAccessor != nullptr && --FAccessor->FHeldReads > 0)
                return;
            FRelation.EndRead();
        }
        TReadLock(const TReadLock&) = delete;
        TReadLock& operator=(const TReadLock&) = delete;
        bool Held() const noexcept { return FResult >= 0; }
        // The lock's failure, when it was not had.
        std::int16_t Result() const noexcept { return FResult; }

    private:
        TTdbRelation& FRelation;
        TTdbAccessor* FAccessor = nullptr;
        std::int16_t FResult;
    };

private:
    struct TSavedPosition {
        std::vector<std::byte> Lower, Upper, Key;
        std::uint8_t IndexNo;
        TTdbAccessType AccessType;
        bool Reverse;
        bool BufUpdated;
        std::int32_t SequenceNo;
        std::int32_t RecordNo;
    };
    // Holds the relation's read lock for a scope; Held tells whether it was had.

    TTdbIndexFile* CurrentIndex() const;
    const TTdbSortDef* CurrentKeyDef() const;
    // Resizes the key buffers for the order's key; the range is cleared.
    void AllocateKeyBuffers();
    bool LowerSet() const noexcept;
    bool UpperSet() const noexcept;
    // Index order: whether the entry lies inside the range.
    bool KeyInRange(std::span<const std::byte> key) const;
    bool KeyLess(std::span<const std::byte> x, std::span<const std::byte> y) const;
    // The current key from the current record, where the order has one.
    void ComputeCurrentKey();
    void Positioned(std::int32_t recNo);

    std::int16_t RawFirst();
    std::int16_t RawLast();
    std::int16_t RawNext();
    std::int16_t RawPrior();
    std::int16_t RawForward() { return FReverse ? RawPrior() : RawNext(); }
    std::int16_t RawBackward() { return FReverse ? RawNext() : RawPrior(); }
    std::int16_t RawIndexFirst(TTdbIndexFile& index);
    std::int16_t RawIndexLast(TTdbIndexFile& index);
    std::int16_t RawIndexStep(TTdbIndexFile& index, bool forward);
    std::int32_t BookmarkSlot() const;
    // The record-number bounds of the order (record-number order).
    std::int32_t LowRecNo() const;
    std::int32_t HighRecNo() const;
    // 1 accepted, 0 rejected, or the negated engine error of the evaluation.
    int FilterTest(std::span<const std::byte> recBuffer);
    int FilterTestCurrent();
    // The count of the unfiltered order, -1 when it is not known without a walk.
    std::int32_t UnfilteredCount();
    // Index order: the rank of the first and last entry inside the range; false when empty.
    bool IndexRankBounds(TTdbIndexFile& index, std::int32_t& first, std::int32_t& last);
    std::int16_t CheckIndexUsable(TTdbIndexNo indexNo, bool raise);
    std::span<std::byte> Scratch(int no, std::size_t size);
    // The nearest search's move to the first valid record whose text at Level begins with the
    // searched one. Landed is what the plain search found (0: nothing), Entry its entry and
    // Start the first entry at or after the search key (StartFound: there was one).
    std::int32_t LandOnPrefix(TTdbIndexFile& index, int level, std::span<const std::byte> given,
                              std::span<std::byte> entry, std::span<std::byte> start,
                              bool startFound, std::int32_t landed, bool& exact);
    std::optional<std::int32_t> LandBelowText(TTdbIndexFile& index, int level,
                                              std::span<const std::byte> given,
                                              std::span<std::byte> entry,
                                              std::span<std::byte> before,
                                              const TTdbKeyText& searched, bool& exact);
    template <typename Inside>
    int WalkToBeginning(TTdbIndexFile& index, int level, std::span<const std::byte> given,
                        std::span<std::byte> entry, Inside inside);
    bool BeginsWithSearched(const TTdbSortDef& def, int level, std::span<const std::byte> entry,
                            std::span<const std::byte> given);
    bool IsValidForCondition(TTdbCondition& condition);

    std::int16_t AppendFrom(std::span<std::byte> recBuffer);
    std::int16_t ReplaceAt(std::int32_t recNo, std::span<std::byte> recBuffer,
                           std::span<const std::byte> origRecBuffer);
    std::int16_t Fail(std::int16_t code, const TdbFormatArgs& args = {});
    std::int32_t ReservedIdOf(std::span<const std::byte> recBuffer) const;

    TTdbRelation& FRelation;
    // The read locks this accessor holds through its own TReadLock, nested.
    std::int32_t FHeldReads = 0;
    std::u16string FName;
    std::u16string FTag;
    bool FIsUnidirectional = false;
    TTdbAccessType FCurrentAccessType = tatRecordNo;
    std::uint8_t FCurrentIndexNo = kTdbNoIndexNo8;
    bool FReverse = false;
    std::unique_ptr<TTdbCondition> FFilter;
    std::unique_ptr<TTdbBookmarkList> FBookmarks;
    std::vector<std::byte> FRangeLowerBound;
    std::vector<std::byte> FRangeUpperBound;
    std::int32_t FCurrentRecordNo = -1;
    std::int32_t FCurrentSequenceNo = 0;
    bool FCurrentRecBufUpdated = false;
    std::vector<std::byte> FOwnCurrentRecBuf;
    std::span<std::byte> FCurrentRecBuf;
    std::int32_t FWorkRecordNo = -1;
    std::int32_t FWorkRecordId = -1;
    std::vector<std::byte> FOwnWorkRecBuf;
    std::span<std::byte> FWorkRecBuf;
    TTdbBlobDataList FPendingBlobs;
    std::int32_t FSavedRecordNo = -1;
    TTdbEditState FCurrentEditState = esBrowse;
    bool FRecordDeleted = false;
    std::vector<std::byte> FCurrentIndexInfo;
    // Scratch keys and records: sized once, reused by every step.
    std::vector<std::vector<std::byte>> FSortInfoWorkBuffers;
    std::vector<TSavedPosition> FSavedPositions;
    // The searched text of LandOnPrefix as a LIKE pattern, and the text of an entry.
    std::u16string FPrefixPattern;
    std::string FAnsiPrefixPattern;
    std::u16string FEntryText;
    std::vector<std::byte> FRejectedText;
    // The searched text of LandBelowText, and the texts below it its walk visits.
    std::u16string FSearchedText;
    std::vector<std::u16string> FStemTexts;
};

}  // namespace tdb
