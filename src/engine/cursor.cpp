// A cursor keeps three things in step with its accessor: the order the client chose (kept as a
// specification text, so that it survives index renumbering and can be found again after the
// relation changed), the filters, whose lists must follow every change of the table, and the
// marks, which follow records that the heap moves.
#include "engine/cursor.h"

#include <algorithm>
#include <numeric>
#include <unordered_set>
#include <utility>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "base/result_codes.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "engine/table_names.h"
#include "index/index_file.h"
#include "index/index_keys.h"
#include "index/index_text.h"
#include "platform/text.h"

namespace tdb {

namespace {

constexpr std::int32_t kLastRecordNo = 2147483647;
constexpr std::uint32_t kModeMask = 0x0F;
constexpr std::uint32_t kLocateAndMove = 5;

// What the readable specification of an index writes: lengths only where they shorten a column.
constexpr int kSortingWithSize = 1;

// Mode bits 4 and 5 ask for options 1 and 2 of a condition, bit 6 for options 0 and 3.
std::uint32_t FilterOptions(std::uint32_t mode) {
    return ((mode >> 4) & 3u) * 2u + (((mode >> 6) & 1u) != 0 ? 9u : 0u);
}

// Locate takes bit 4 as option 1, bit 5 as option 2 and bit 6 as option 0.
std::uint32_t LocateOptions(std::uint32_t mode) {
    return (((mode >> 4) & 1u) << 1) | (((mode >> 5) & 1u) << 2) | ((mode >> 6) & 1u);
}

bool IsBlobColumn(const TTdbColumnDef& column) {
    const TTdbColumnType type = column.GetColumnType();
    return type == ctMemo || type == ctWideMemo || type == ctBlob;
}

// The entries of one index for records of the relation, compared in the order a cursor reads the
// index (backwards when Reverse).
class TSortKeys {
public:
    TSortKeys(TTdbRelation& relation, TTdbIndexNo indexNo, bool reverse)
        : FRelation(relation),
          FIndex(*relation.GetIndexFile(indexNo)),
          FReverse(reverse),
          FRecord(static_cast<std::size_t>(relation.GetRecordSize())) {}

    std::size_t EntrySize() const {
        return static_cast<std::size_t>(std::max(FIndex.IndSize(), 4));
    }
    // Reads the record, under the caller's read lock, and builds its entry.
    void Build(std::int32_t recNo, std::span<std::byte> entry) {
        CheckEngineResult(FRelation.ReadRecord(recNo, FRecord));
        FRelation.Keys().CalcIndexInfo(FIndex.IndexDef(), FRecord, recNo, entry);
    }
    bool Before(std::span<const std::byte> a, std::span<const std::byte> b) const {
        bool unique = true;
        return FReverse ? FIndex.KeyComparator().IndexLess(b, a, unique, 0, FIndex.IndexDef())
                        : FIndex.KeyComparator().IndexLess(a, b, unique, 0, FIndex.IndexDef());
    }

private:
    TTdbRelation& FRelation;
    const TTdbIndexFile& FIndex;
    bool FReverse;
    std::vector<std::byte> FRecord;
};

}  // namespace

TTdbCursor::TTdbCursor(std::int16_t tableHdl, TTdbLocalSession& session, int rltnIdx,
                       std::u16string name)
    : FSession(session),
      FRltnIdx(rltnIdx),
      FRelation(*session.Catalog().GetRelation(rltnIdx)),
      FName(std::move(name)),
      FAccessor(std::make_unique<TTdbAccessor>(FRelation, FName, FName)),
      FTableHdl(tableHdl),
      FMarks(std::make_unique<TTdbBookmarkList>()) {
    HookAccessor();
}

TTdbCursor::~TTdbCursor() = default;

std::unique_ptr<TTdbCursor> TTdbCursor::CreateClone(std::int16_t tableHdl,
                                                    const TTdbCursor& source) {
    return std::make_unique<TTdbCursor>(tableHdl, source.FSession, source.FRltnIdx, source.FName);
}

void TTdbCursor::HookAccessor() {
    FAccessor->OnRecordDeleted = [this](TTdbAccessor&, std::int32_t deleted, std::int32_t moved) {
        RecordDeleted(deleted, moved);
    };
    FAccessor->OnRelationChanged = [this](TTdbAccessor&) { FDirty = true; };
    FAccessor->OnRelationEmptied = [this](TTdbAccessor&) { FMarks->Clear(); };
}

TTdbCatalog& TTdbCursor::Catalog() const {
    return FSession.Catalog();
}

TTdbServices& TTdbCursor::Services() const {
    return FSession.Services();
}

std::int16_t TTdbCursor::StoreFailure() const {
    return Services().SetLastErrorFromCurrentException();
}

// Runs Body; an exception on the way is recorded as the last error and answered with
// FailureCode.
template <typename TResult, typename Body>
TResult TTdbCursor::Guarded(TResult failureCode, Body&& body) {
    try {
        return body();
    } catch (const std::exception&) {
        StoreFailure();
        return failureCode;
    }
}

// Accessor answers to the cursor's: "no record" is -11, anything else a read error.
std::int16_t TTdbCursor::Navigation(std::int16_t result, bool record) const {
    if (result == 0)
        return record ? 1 : 0;
    return result == kTdbNoRecord ? kTdbRecordDoesNotExist : kTdbReadError;
}

// ---- Life cycle ----

void TTdbCursor::Open() {
    FActiveKind = tfkNone;
    Rebuild();
}

void TTdbCursor::Close() {
    FAccessor->CancelEdit();
    FAccessor->SetFilter(nullptr);
    FActiveCondition.reset();
    FActiveKind = tfkNone;
    FUserCondition.reset();
    FUserKind = tfkNone;
}

void TTdbCursor::Rebuild() {
    const std::int32_t remembered = FAccessor->RecordNo();
    // The reset drops the accessor's filter and list; the active ones stay the cursor's.
    std::unique_ptr<TTdbCondition> incremental =
        FActiveKind == tfkIncremental ? FAccessor->ExchangeFilter(nullptr) : nullptr;
    std::unique_ptr<TTdbBookmarkList> listed =
        FActiveKind == tfkBookmarks
            ? FAccessor->ExchangeBookmarks(std::make_unique<TTdbBookmarkList>())
            : nullptr;
    FAccessor->Reset();
    try {
        if (FUserKind == tfkStatic)
            RecomputeStatic(FUserCondition.get(), *FMarks);
        if (FActiveKind == tfkStatic || FActiveKind == tfkBookmarks) {
            if (!listed)
                listed = std::make_unique<TTdbBookmarkList>();
            if (FActiveKind == tfkStatic)
                RecomputeStatic(FActiveCondition.get(), *listed);
            else
                SortList(*listed);
            FAccessor->ExchangeBookmarks(std::move(listed));
            FAccessor->SetAccess(kTdbAccessBookmarks, false);
        } else {
            SetOrderFromSorting();
        }
    } catch (...) {
        // The filter stays the cursor's even when the order cannot be had: it goes back to the
        // accessor, which stays in record-number order.
        if (listed) {
            FAccessor->ExchangeBookmarks(std::move(listed));
            FAccessor->SetAccess(kTdbAccessBookmarks, false);
        }
        if (incremental)
            FAccessor->SetFilter(std::move(incremental));
        throw;
    }
    if (incremental)
        FAccessor->SetFilter(std::move(incremental));
    ApplyUserRange();
    Reposition(remembered);
    FDirty = false;
}

// The index that gives an order, the one whose definition is the order's or else the first that
// covers it (made as a temporary index when none does); kTdbNoIndex when none can.
TTdbIndexNo TTdbCursor::IndexFor(std::u16string_view sorting, bool& reverse) {
    const TTdbSortDef def =
        ParseIndexSpecification(u"", sorting, FRelation.ColumnDefs(), FRelation.GetLevel(), false);
    reverse = false;
    const TTdbIndexNo indexNo = FRelation.FindIndex(def, tifoExact, reverse);
    return indexNo >= 0 ? indexNo : FRelation.FindIndex(def, tifoCreate, reverse);
}

TTdbIndexNo TTdbCursor::SortIndex(bool& reverse) {
    const TTdbIndexNo indexNo = IndexFor(FSorting, reverse);
    if (indexNo < 0)
        RaiseEngineError(kTdbErrNoSuitableIndex, {FSorting});
    return indexNo;
}

// The entry of the first Given key items of a record image, the others their minimum, or their
// maximum for Upper.
void TTdbCursor::KeyOfImage(const TTdbIndexFile& index, std::span<const std::byte> image, int given,
                            bool upper, std::vector<std::byte>& key) {
    const TTdbSortDef& def = index.IndexDef();
    const auto size = static_cast<std::size_t>(FRelation.GetRecordSize());
    FScratchRecord.assign(size, std::byte{0});
    std::copy_n(image.begin(), std::min(image.size(), size), FScratchRecord.begin());
    key.assign(static_cast<std::size_t>(std::max(index.IndSize(), 4)), std::byte{0});
    FRelation.Keys().CompleteIndexInfo(def, given, upper, FScratchRecord, upper ? kLastRecordNo : 1,
                                       key);
}

void TTdbCursor::SetOrderFromSorting() {
    if (FSorting.empty()) {
        FAccessor->SetAccess(kTdbAccessRecordNo, false);
        return;
    }
    bool reverse = false;
    const TTdbIndexNo indexNo = SortIndex(reverse);
    FAccessor->SetAccess(static_cast<TTdbSortNo>(indexNo), reverse);
}

void TTdbCursor::ApplyUserRange() {
    // Range keys belong to the index they were made for; another order has no use for them.
    if (FRangeLower.empty() || FAccessor->AccessType() != tatIndex ||
        FAccessor->CurrentIndexNo() != FRangeIndexNo) {
        FAccessor->ClearRange();
        return;
    }
    FAccessor->SetRange(FAccessor->AccessId(), FRangeLower, FRangeUpper);
}

void TTdbCursor::Reposition(std::int32_t recNo) {
    if (recNo > 0 && FAccessor->GotoRecord(recNo) == 0 && FAccessor->IsValidRecord())
        return;
    if (FAccessor->First() != 0)
        FAccessor->ToBoT();
}

// ---- Navigation ----

std::int16_t TTdbCursor::First() {
    return Guarded(kTdbReadError, [this] {
        Refresh(true);
        return Navigation(FAccessor->First(), true);
    });
}

std::int16_t TTdbCursor::Last() {
    return Guarded(kTdbReadError, [this] {
        Refresh(true);
        return Navigation(FAccessor->Last(), true);
    });
}

std::int16_t TTdbCursor::MoveBy(std::int32_t delta) {
    return Guarded(kTdbReadError, [&] { return Navigation(FAccessor->MoveBy(delta), false); });
}

std::int32_t TTdbCursor::SetRecordNo(std::int32_t recNo) {
    if (recNo < -1)
        return kTdbRecordDoesNotExist;
    if (recNo == -1) {
        FAccessor->ToBoT();
        return 0;
    }
    return Guarded(static_cast<std::int32_t>(kTdbRecordDoesNotExist), [&]() -> std::int32_t {
        const std::int32_t previous = FAccessor->RecordNo();
        if (FAccessor->GotoRecord(recNo) == 0 && FAccessor->IsValidRecord())
            return recNo;
        if (previous < 1 || FAccessor->GotoRecord(previous) != 0)
            FAccessor->ToBoT();
        return kTdbRecordDoesNotExist;
    });
}

std::int32_t TTdbCursor::GetSequenceNo() {
    try {
        return FAccessor->GetSequenceNo();
    } catch (const std::exception&) {
        return StoreFailure();
    }
}

std::int32_t TTdbCursor::SetSequenceNo(std::int32_t sequenceNo) {
    return Guarded(static_cast<std::int32_t>(kTdbRecordDoesNotExist), [&]() -> std::int32_t {
        return FAccessor->GotoSequenceNo(sequenceNo) > 0 ? sequenceNo : kTdbRecordDoesNotExist;
    });
}

std::int32_t TTdbCursor::GetRecordCount() {
    try {
        return FAccessor->RecordCount();
    } catch (const std::exception&) {
        return StoreFailure();
    }
}

bool TTdbCursor::CheckModifications() {
    return FRelation.TakeInChanges() > 0;
}

std::int16_t TTdbCursor::Refresh(bool checkNet) {
    if (checkNet)
        CheckModifications();
    FAccessor->InvalidateRecBuf();
    if (!FDirty)
        return 0;
    RecomputeFilters();
    FDirty = false;
    return 1;
}

// The lists of static filters as a scan finds them now; the order stays as it is.
void TTdbCursor::RecomputeFilters() {
    if (FUserKind == tfkStatic)
        RecomputeStatic(FUserCondition.get(), *FMarks);
    if (FActiveKind != tfkStatic)
        return;
    const std::int32_t current = FAccessor->RecordNo();
    auto list = std::make_unique<TTdbBookmarkList>();
    RecomputeStatic(FActiveCondition.get(), *list);
    FAccessor->ExchangeBookmarks(std::move(list));
    Reposition(current);
}

// ---- Order and range ----

std::int16_t TTdbCursor::SetIndex(std::u16string_view indexName, bool reverse) {
    try {
        std::u16string sorting;
        if (!indexName.empty()) {
            const TTdbIndexNo indexNo = FRelation.FindIndexByName(indexName);
            if (indexNo < 0 || !FRelation.CheckIndexOpen(indexNo, false)) {
                Services().SetLastError(kTdbErrIndexNotFound, {std::u16string(indexName)});
                return kTdbIndexDoesNotExist;
            }
            sorting = FRelation.GetIndexFile(indexNo)->IndexDef().CalcSpecification(
                FRelation.ColumnDefs(), true, false, kSortingWithSize, reverse);
        }
        if (sorting == FSorting && FAccessor->AccessType() != tatNone)
            return 0;
        FSorting = std::move(sorting);
        Rebuild();
        return 0;
    } catch (const std::exception&) {
        return StoreFailure();
    }
}

std::int16_t TTdbCursor::SetSortOrder(std::u16string_view sortOrder) {
    if (sortOrder.empty())
        return SetIndex(u"", false);
    try {
        bool reverse = false;
        const TTdbIndexNo indexNo = IndexFor(sortOrder, reverse);
        if (indexNo < 0) {
            Services().SetLastError(kTdbErrNoSuitableIndex, {std::u16string(sortOrder)});
            return kTdbInvalidIndexDefinition;
        }
        return SetIndex(FRelation.GetIndexFile(indexNo)->Name(), reverse);
    } catch (const std::exception&) {
        StoreFailure();
        return kTdbInvalidIndexDefinition;
    }
}

std::int16_t TTdbCursor::SetAccess(std::u16string_view name, bool switchMarks) {
    try {
        if (FRelation.GetRecordCount() < 0 && FRelation.IdIndexNo() >= 0) {
            FAccessor->SetAccess(static_cast<TTdbSortNo>(FRelation.IdIndexNo()), false);
            return 0;
        }
        TTdbSortNo accessId = kTdbAccessRecordNo;
        if (SameTableText(name, kTdbAccessNameMarks)) {
            if (!switchMarks)
                return kTdbInvalidAccess;
            accessId = kTdbAccessBookmarks;
        } else if (!name.empty() && !SameTableText(name, kTdbAccessNameRecordNo)) {
            const TTdbIndexNo indexNo = FRelation.FindIndexByName(name);
            if (indexNo < 0)
                return kTdbInvalidAccess;
            accessId = static_cast<TTdbSortNo>(indexNo);
        }
        const bool inMarks = FAccessor->AccessType() == tatBookmarks;
        if (accessId == kTdbAccessBookmarks && !inMarks) {
            FAccessor->ExchangeBookmarks(
                std::exchange(FMarks, std::make_unique<TTdbBookmarkList>()));
        } else if (accessId != kTdbAccessBookmarks && inMarks && switchMarks) {
            FMarks = FAccessor->ExchangeBookmarks(std::make_unique<TTdbBookmarkList>());
        }
        FAccessor->SetAccess(accessId, false);
        return 0;
    } catch (const std::exception&) {
        StoreFailure();
        return kTdbInvalidAccess;
    }
}

std::u16string TTdbCursor::GetAccessName() const {
    switch (FAccessor->AccessType()) {
        case tatBookmarks:
            return std::u16string(kTdbAccessNameMarks);
        case tatIndex:
            if (const TTdbIndexFile* index = FRelation.GetIndexFile(FAccessor->CurrentIndexNo()))
                return index->Name();
            return {};
        default:
            return std::u16string(kTdbAccessNameRecordNo);
    }
}

std::int16_t TTdbCursor::SetUserRange(std::span<const std::byte> lower,
                                      std::span<const std::byte> upper, int fieldCountStart,
                                      int fieldCountEnd) {
    try {
        if (FAccessor->AccessType() != tatIndex)
            return kTdbInvalidAccess;
        const TTdbIndexNo indexNo = FAccessor->CurrentIndexNo();
        const TTdbIndexFile& index = *FRelation.GetIndexFile(indexNo);
        // A count of 0 or less gives every key item.
        const int levels = index.IndexDef().LevelCount;
        const auto given = [levels](int count) {
            return count <= 0 ? levels : std::min(count, levels);
        };
        KeyOfImage(index, lower, given(fieldCountStart), false, FRangeLower);
        KeyOfImage(index, upper, given(fieldCountEnd), true, FRangeUpper);
        FRangeIndexNo = indexNo;
        ApplyUserRange();
        if (FAccessor->First() != 0)
            FAccessor->ToBoT();
        return 0;
    } catch (const std::exception&) {
        return StoreFailure();
    }
}

void TTdbCursor::ClearUserRange() {
    FRangeLower.clear();
    FRangeUpper.clear();
    FRangeIndexNo = kTdbNoIndex;
    FAccessor->ClearRange();
}

// ---- Conditions and static lists ----

std::unique_ptr<TTdbCondition> TTdbCursor::Compile(std::u16string_view source,
                                                   TTdbExpressionSyntax syntax,
                                                   std::uint32_t options) {
    std::unique_ptr<TTdbCondition> condition =
        Services().CreateCondition(source, syntax, FRelation.GetLevel());
    TTdbRltnIdxSet relations;
    relations.set(static_cast<std::size_t>(FRltnIdx));
    // Prepared now, so that a condition that does not compile is refused here and not in the
    // middle of a scan.
    condition->Prepare(relations, static_cast<TTdbRltnIdx>(FRltnIdx), options);
    return condition;
}

TTdbAccessor& TTdbCursor::Scanner() {
    if (!FScan)
        FScan = std::make_unique<TTdbAccessor>(FRelation, FName + u"_Scan", u"Session_Default");
    FScan->Reset();
    return *FScan;
}

TTdbAccessor::TScanOrder TTdbCursor::CollectInto(TTdbCondition& condition,
                                                 TTdbAccessor* reference,
                                                 TTdbBookmarkList& list) {
    TTdbAccessor& scan = Scanner();
    if (reference != nullptr)
        reference->Push();
    TTdbAccessor::TScanOrder walked;
    try {
        walked = scan.AppendBookmarks(condition, reference, list);
    } catch (...) {
        if (reference != nullptr)
            reference->Pop();
        throw;
    }
    if (reference != nullptr)
        reference->Pop();
    scan.Reset();
    return walked;
}

void TTdbCursor::RecomputeStatic(TTdbCondition* condition, TTdbBookmarkList& list) {
    // Into a list of its own first: a scan or sort that fails leaves List as it was.
    TTdbBookmarkList found;
    if (condition != nullptr)
        SortList(found, CollectInto(*condition, nullptr, found));
    else
        SortList(found);
    list.CopyFrom(found);
}

// By the sort order's keys, or by record number without one. The keys are made once per record.
// A list the scan walked in the sort order's own index and direction already stands in that
// order: the index orders its entries by key and then by record number, as the sort does.
void TTdbCursor::SortList(TTdbBookmarkList& list, std::optional<TTdbAccessor::TScanOrder> madeIn) {
    list.Compress();
    if (FSorting.empty()) {
        if (!(madeIn && madeIn->AccessId == kTdbAccessRecordNo && !madeIn->Reverse))
            list.Sort();
        return;
    }
    bool reverse = false;
    const TTdbIndexNo indexNo = SortIndex(reverse);
    if (madeIn && madeIn->AccessId == indexNo && madeIn->Reverse == reverse)
        return;
    TSortKeys sortKeys(FRelation, indexNo, reverse);
    const std::size_t entrySize = sortKeys.EntrySize();
    std::vector<std::byte> keys(entrySize * static_cast<std::size_t>(list.Count()));
    const auto keyAt = [&](std::int32_t i) {
        return std::span(keys).subspan(static_cast<std::size_t>(i) * entrySize, entrySize);
    };
    {
        TTdbAccessor::TReadLock lock(FRelation);
        if (!lock.Held())
            RaiseNonCritical();
        for (std::int32_t i = 0; i < list.Count(); ++i)
            sortKeys.Build(list.Item(i), keyAt(i));
    }
    std::vector<std::int32_t> order(static_cast<std::size_t>(list.Count()));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
        return sortKeys.Before(keyAt(a), keyAt(b));
    });
    std::vector<std::int32_t> items(order.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        items[i] = list.Item(order[i]);
    list.Clear();
    for (const std::int32_t recNo : items)
        list.Append(recNo);
}

bool TTdbCursor::Accepts(TTdbCondition& condition, std::int32_t recNo) {
    std::vector<std::byte> record(static_cast<std::size_t>(FRelation.GetRecordSize()));
    CheckEngineResult(FRelation.ReadRecord(recNo, record));
    return condition.Evaluate(static_cast<TTdbRltnIdx>(FRltnIdx), record) == tvTrue;
}

// At the place the sort order gives it, found by halving with the keys of the listed records.
void TTdbCursor::InsertSorted(TTdbBookmarkList& list, std::int32_t recNo) {
    if (list.Find(recNo) >= 0)
        return;
    list.Compress();
    std::int32_t low = 0;
    std::int32_t high = list.Count();
    if (FSorting.empty()) {
        while (low < high) {
            const std::int32_t mid = low + (high - low) / 2;
            if (list.Item(mid) < recNo)
                low = mid + 1;
            else
                high = mid;
        }
        list.InsertAt(low, recNo);
        return;
    }
    bool reverse = false;
    const TTdbIndexNo indexNo = SortIndex(reverse);
    TSortKeys sortKeys(FRelation, indexNo, reverse);
    std::vector<std::byte> key(sortKeys.EntrySize());
    std::vector<std::byte> probe(sortKeys.EntrySize());
    TTdbAccessor::TReadLock lock(FRelation);
    if (!lock.Held())
        RaiseNonCritical();
    sortKeys.Build(recNo, key);
    while (low < high) {
        const std::int32_t mid = low + (high - low) / 2;
        sortKeys.Build(list.Item(mid), probe);
        if (sortKeys.Before(probe, key))
            low = mid + 1;
        else
            high = mid;
    }
    list.InsertAt(low, recNo);
}

// ---- Search and filter ----

std::int16_t TTdbCursor::Locate(std::u16string_view condition, TTdbExpressionSyntax syntax,
                                std::uint32_t mode) {
    try {
        std::unique_ptr<TTdbCondition> compiled = Compile(condition, syntax, LocateOptions(mode));
        TTdbAccessor& scan = Scanner();
        scan.SetBestAccess(*compiled);
        scan.SetFilter(std::move(compiled));
        const bool found =
            FAccessor->FindFirstCommonRecord(scan, (mode & kModeMask) == kLocateAndMove);
        scan.Reset();
        return found ? 1 : 0;
    } catch (const std::exception&) {
        if (FScan)
            FScan->Reset();
        StoreFailure();
        return kTdbInvalidSearchCondition;
    }
}

std::int16_t TTdbCursor::SetUserSqlFilter(std::u16string_view condition,
                                          TTdbExpressionSyntax syntax, std::uint32_t mode,
                                          bool background) {
    try {
        std::unique_ptr<TTdbCondition> compiled;
        if (!condition.empty())
            compiled = Compile(condition, syntax, FilterOptions(mode));
        const std::uint32_t kind = mode & kModeMask;
        if (kind == 1 || kind == 15) {
            const TTdbFilterKind newKind = compiled == nullptr ? tfkNone
                                           : kind == 1         ? tfkStatic
                                                               : tfkIncremental;
            // The list is made before anything changes: a scan that fails leaves the filters
            // as they were.
            auto list = std::make_unique<TTdbBookmarkList>();
            if (newKind == tfkStatic)
                RecomputeStatic(compiled.get(), *list);
            if (background) {
                FUserCondition = std::move(compiled);
                FUserKind = newKind;
                FMarks = std::move(list);
                return 0;
            }
            const std::int32_t current = FAccessor->RecordNo();
            FAccessor->SetFilter(nullptr);
            FActiveCondition.reset();
            FActiveKind = newKind;
            if (newKind == tfkStatic) {
                FActiveCondition = std::move(compiled);
                FAccessor->ExchangeBookmarks(std::move(list));
                FAccessor->SetAccess(kTdbAccessBookmarks, false);
            } else {
                SetOrderFromSorting();
                FAccessor->SetFilter(std::move(compiled));
                ApplyUserRange();
            }
            Reposition(current);
            return 0;
        }
        if ((kind != 3 && kind != 6 && kind != 7) || !background || compiled == nullptr) {
            Services().SetLastError(kTdbErrInvalidParameter, {u"Mode"});
            return kTdbInvalidSearchCondition;
        }
        // The prepared list changes record by record: an incremental filter becomes its list.
        if (FUserKind == tfkIncremental) {
            RecomputeStatic(FUserCondition.get(), *FMarks);
            FUserCondition.reset();
            FUserKind = tfkBookmarks;
        }
        TTdbAccessor& scan = Scanner();
        if (kind == 3) {
            scan.RemoveBookmarks(*compiled, *FMarks);
        } else if (kind == 6) {
            scan.IntersectBookmarks(*compiled, *FMarks);
        } else {
            TTdbBookmarkList found;
            CollectInto(*compiled, FAccessor.get(), found);
            std::unordered_set<std::int32_t> listed;
            for (std::int32_t slot = FMarks->FindFirst(); slot >= 0; slot = FMarks->FindNext(slot))
                listed.insert(FMarks->Item(slot));
            for (std::int32_t slot = found.FindFirst(); slot >= 0; slot = found.FindNext(slot))
                if (listed.insert(found.Item(slot)).second)
                    FMarks->Append(found.Item(slot));
        }
        scan.Reset();
        FUserKind = tfkBookmarks;
        return 0;
    } catch (const std::exception&) {
        StoreFailure();
        return kTdbInvalidSearchCondition;
    }
}

void TTdbCursor::ActivateFilter() {
    const std::int32_t current = FAccessor->RecordNo();
    FAccessor->SetFilter(nullptr);
    FActiveCondition.reset();
    FActiveKind = std::exchange(FUserKind, tfkNone);
    std::unique_ptr<TTdbCondition> condition = std::move(FUserCondition);
    if (FActiveKind == tfkStatic || FActiveKind == tfkBookmarks) {
        FAccessor->ExchangeBookmarks(std::exchange(FMarks, std::make_unique<TTdbBookmarkList>()));
        FAccessor->SetAccess(kTdbAccessBookmarks, false);
        FActiveCondition = std::move(condition);
    } else {
        SetOrderFromSorting();
        FAccessor->SetFilter(std::move(condition));
        ApplyUserRange();
    }
    Reposition(current);
}

void TTdbCursor::DeactivateFilter() {
    const std::int32_t current = FAccessor->RecordNo();
    switch (FActiveKind) {
        case tfkIncremental:
            FUserCondition = FAccessor->ExchangeFilter(nullptr);
            FUserKind = tfkIncremental;
            break;
        case tfkStatic:
        case tfkBookmarks:
            FUserCondition = std::move(FActiveCondition);
            FUserKind = FActiveKind;
            FMarks = FAccessor->ExchangeBookmarks(std::make_unique<TTdbBookmarkList>());
            break;
        case tfkNone:
            return;
    }
    FActiveKind = tfkNone;
    SetOrderFromSorting();
    ApplyUserRange();
    Reposition(current);
}

// ---- Marks ----

void TTdbCursor::AddMark(std::int32_t recNo) {
    if (recNo < 1 || recNo > FRelation.GetRecordCount())
        RaiseEngineError(kTdbErrRecordNotFound, {NumberText(recNo)});
    FMarks->Append(recNo);
    FUserKind = tfkBookmarks;
}

void TTdbCursor::RemoveMark(std::int32_t recNo) {
    FMarks->Delete(recNo);
    FUserKind = tfkBookmarks;
}

void TTdbCursor::ToggleMark(std::int32_t recNo) {
    if (IsMarked(recNo))
        RemoveMark(recNo);
    else
        AddMark(recNo);
}

bool TTdbCursor::IsMarked(std::int32_t recNo) const {
    return recNo > 0 && FMarks->Find(recNo) >= 0;
}

void TTdbCursor::ClearMarks() {
    FMarks->Clear();
}

void TTdbCursor::GetMarks(std::vector<std::int32_t>& marks) const {
    marks.clear();
    for (std::int32_t slot = FMarks->FindFirst(); slot >= 0; slot = FMarks->FindNext(slot))
        marks.push_back(FMarks->Item(slot));
}

std::int32_t TTdbCursor::GetMarks(std::span<std::int32_t> buffer) const {
    std::size_t count = 0;
    for (std::int32_t slot = FMarks->FindFirst(); slot >= 0; slot = FMarks->FindNext(slot)) {
        if (count < buffer.size())
            buffer[count] = FMarks->Item(slot);
        ++count;
    }
    return static_cast<std::int32_t>(count);
}

std::int32_t TTdbCursor::DeleteMarkedRecords() {
    std::int32_t deleted = 0;
    try {
        // Each delete takes its record out of the marks (and renames the one moved into its
        // slot), so the first mark is always the next one to go.
        for (std::int32_t slot = FMarks->FindFirst(); slot >= 0; slot = FMarks->FindFirst()) {
            const std::int32_t recNo = FMarks->Item(slot);
            if (FAccessor->GotoRecord(recNo) != 0 || FAccessor->DeleteRecord() != 0)
                return kTdbCannotDeleteRecord;
            // A relation that tells nobody of its deletes must not loop here.
            if (FMarks->Find(recNo) == slot)
                FMarks->DeleteAt(slot);
            ++deleted;
        }
        return deleted;
    } catch (const std::exception&) {
        StoreFailure();
        return kTdbCannotDeleteRecord;
    }
}

std::int16_t TTdbCursor::SortMarks(std::u16string_view sortOrder) {
    try {
        std::u16string kept = std::exchange(FSorting, std::u16string(sortOrder));
        try {
            SortList(*FMarks);
        } catch (...) {
            FSorting = std::move(kept);
            throw;
        }
        FSorting = std::move(kept);
        return 0;
    } catch (const std::exception&) {
        StoreFailure();
        return kTdbEngineError;
    }
}

std::int16_t TTdbCursor::GotoMark(std::int32_t delta, bool restart) {
    if (FMarks->Count() == 0)
        return kTdbRecordDoesNotExist;
    try {
        TTdbAccessor::TReadLock lock(FRelation);
        if (!lock.Held())
            return kTdbAccessNotPossible;
        const bool backwards = delta < 0;
        const std::int32_t start = FAccessor->RecordNo();
        std::int16_t result = restart ? (backwards ? FAccessor->Last() : FAccessor->First())
                                      : (backwards ? FAccessor->Prior() : FAccessor->Next());
        for (; result == 0; result = backwards ? FAccessor->Prior() : FAccessor->Next())
            if (IsMarked(FAccessor->RecordNo()))
                return 1;
        // No marked record that way: the cursor stays where it was.
        if (start < 1 || FAccessor->GotoRecord(start) != 0)
            FAccessor->ToBoT();
        return result == kTdbNoRecord ? kTdbRecordDoesNotExist : kTdbReadError;
    } catch (const std::exception&) {
        StoreFailure();
        return kTdbReadError;
    }
}

// ---- Records and editing ----

void TTdbCursor::GetRecord(std::span<std::byte> recBuffer) {
    FAccessor->GetRecord(recBuffer);
    if (FAccessor->EditState() == esBrowse || FAccessor->PendingBlobs().empty())
        return;
    const TTdbRecordAccess access = FRelation.Access();
    for (const TTdbBlobData& pending : FAccessor->PendingBlobs()) {
        if (pending.FieldNo < 1 || pending.FieldNo > FRelation.ColumnCount())
            continue;
        if (!IsBlobColumn(*FRelation.ColumnDefs().GetColumnDef(pending.FieldNo - 1)))
            continue;
        std::int32_t block = 0;
        access.GetBlockIdx(recBuffer, pending.FieldNo, block);
        // Data waits to be written: the client learns of it from the block reference -1.
        if (block < 1)
            access.SetBlockIdx(recBuffer, pending.FieldNo, -1);
    }
}

void TTdbCursor::SetRecord(std::span<const std::byte> recBuffer) {
    FAccessor->SetRecord(recBuffer);
    std::span<std::byte> record = FAccessor->RecordPtr();
    const TTdbRecordAccess access = FRelation.Access();
    for (int fieldNo = 1; fieldNo <= FRelation.ColumnCount(); ++fieldNo) {
        if (!IsBlobColumn(*FRelation.ColumnDefs().GetColumnDef(fieldNo - 1)))
            continue;
        std::int32_t block = 0;
        if (access.GetBlockIdx(record, fieldNo, block) && block < 0)
            access.SetBlockIdx(record, fieldNo, 0);
    }
}

// An accessor step of the edit flow: 0, or the cursor's code for its failure.
template <typename Step>
std::int16_t TTdbCursor::EditStep(std::int16_t failureCode, Step&& step) {
    return Guarded(failureCode, [&]() -> std::int16_t { return step() < 0 ? failureCode : 0; });
}

namespace {

void CheckFieldNo(const TTdbRelation& relation, int fieldNo) {
    if (fieldNo < 1 || fieldNo > relation.ColumnCount())
        RaiseEngineError(kTdbErrFieldNotFound, {NumberText(fieldNo)});
}

}  // namespace

bool TTdbCursor::GetFieldAsString(int fieldNo, std::u16string& text) {
    CheckFieldNo(FRelation, fieldNo);
    text.clear();
    return FRelation.Access().GetAsStringW(FAccessor->RecordPtrExc(), fieldNo, text);
}

bool TTdbCursor::GetFieldFromRecord(std::span<const std::byte> record, int fieldNo,
                                    std::u16string& text) const {
    CheckFieldNo(FRelation, fieldNo);
    text.clear();
    return FRelation.Access().GetAsStringW(record, fieldNo, text);
}

void TTdbCursor::SetFieldAsString(int fieldNo, std::u16string_view text) {
    SetFieldInRecord(FAccessor->RecordPtrExc(), fieldNo, text);
}

void TTdbCursor::SetFieldInRecord(std::span<std::byte> record, int fieldNo,
                                  std::u16string_view text) const {
    CheckFieldNo(FRelation, fieldNo);
    FRelation.Access().SetAsStringW(record, fieldNo, text);
}

std::int16_t TTdbCursor::Append() {
    return EditStep(kTdbCannotWriteRecord, [this] { return FAccessor->Append(); });
}

std::int16_t TTdbCursor::AppendDuplicate() {
    return EditStep(kTdbCannotWriteRecord, [this] { return FAccessor->AppendDuplicate(); });
}

std::int16_t TTdbCursor::Confirm(TTdbEditState state) {
    if (FAccessor->EditState() != state)
        return kTdbNotInEditMode;
    return EditStep(kTdbCannotWriteRecord, [&]() -> std::int16_t {
        const std::int16_t posted = FAccessor->Post();
        if (posted < 0)
            return posted;
        try {
            UpkeepAfterPost(state == esAppend);
        } catch (const std::exception&) {
            // The record is written; the lists are made again by the next refresh.
            Services().SetLastErrorFromCurrentException();
            FDirty = true;
        }
        return posted;
    });
}

std::int16_t TTdbCursor::AppendConfirm() {
    return Confirm(esAppend);
}

std::int16_t TTdbCursor::AppendCancel() {
    if (FAccessor->EditState() != esAppend)
        return kTdbNotInEditMode;
    return FAccessor->Cancel();
}

std::int16_t TTdbCursor::Edit() {
    return EditStep(kTdbAccessNotPossible, [this] { return FAccessor->Edit(); });
}

std::int16_t TTdbCursor::EditConfirm() {
    return Confirm(esEdit);
}

std::int16_t TTdbCursor::EditCancel() {
    FAccessor->Cancel();
    return 0;
}

std::int16_t TTdbCursor::DeleteRecord() {
    return EditStep(kTdbCannotDeleteRecord, [this] { return FAccessor->DeleteRecord(); });
}

bool TTdbCursor::CanModify() const noexcept {
    return (FRelation.Rights() & 0x07) != 0;
}

std::int16_t TTdbCursor::EmptyTable() {
    if (!CanModify() || FRelation.GetReadOnly()) {
        Services().SetLastError(kTdbErrNoWriteRight, {FRelation.GetName()});
        return kTdbTableReadOnly;
    }
    try {
        FAccessor->CancelEdit();
        CheckEngineResult(FRelation.BeginUpgrade(true));
        std::int16_t result = 0;
        try {
            // From the end, so that no delete moves a record.
            std::vector<std::byte> record(static_cast<std::size_t>(FRelation.GetRecordSize()));
            for (std::int32_t recNo = FRelation.GetRecordCount(); recNo >= 1 && result == 0;
                 --recNo) {
                result = FRelation.ReadRecord(recNo, record);
                if (result >= 0)
                    result = FRelation.DeleteRecord(record, recNo);
            }
        } catch (...) {
            FRelation.EndUpgrade();
            throw;
        }
        FRelation.EndUpgrade();
        FMarks->Clear();
        FDirty = true;
        Refresh(false);
        if (FAccessor->First() != 0)
            FAccessor->ToBoT();
        return result < 0 ? kTdbCannotDeleteRecord : 0;
    } catch (const std::exception&) {
        StoreFailure();
        return kTdbCannotDeleteRecord;
    }
}

std::int32_t TTdbCursor::LocateRecord2(std::u16string_view indexName,
                                       std::span<const std::byte> record, int itemCount,
                                       bool& exact) {
    try {
        // A search per key stroke names the same index each time: the name is looked up once.
        const TTdbIndexFile* cached =
            FLocateIndexNo >= 0 ? FRelation.GetIndexFile(FLocateIndexNo) : nullptr;
        if (cached == nullptr || indexName != FLocateIndexName ||
            cached->Name() != FLocateIndexName) {
            FLocateIndexNo = FRelation.FindIndexByName(indexName);
            FLocateIndexName.assign(indexName);
        }
        const TTdbIndexNo indexNo = FLocateIndexNo;
        if (indexNo < 0 || !FRelation.CheckIndexOpen(indexNo, false)) {
            Services().SetLastError(kTdbErrIndexNotFound, {std::u16string(indexName)});
            return kTdbIndexDoesNotExist;
        }
        const TTdbIndexFile& index = *FRelation.GetIndexFile(indexNo);
        const int given = std::clamp<int>(itemCount, 0, index.IndexDef().LevelCount);
        KeyOfImage(index, record, given, false, FScratchKey);
        const std::int32_t found = FAccessor->LocateRecord2(indexNo, FScratchKey, given, exact);
        return found < 0 ? kTdbReadError : found;
    } catch (const std::exception&) {
        return StoreFailure();
    }
}

std::int32_t TTdbCursor::GetAutoNo() {
    if (!FRelation.HasRecordId())
        return 0;
    std::int32_t id = 0;
    return FRelation.Access().GetRecordId(FAccessor->RecordPtr(), FRelation.RecordIdFieldNo(), id)
               ? id
               : 0;
}

void TTdbCursor::SetAutoNo(std::int32_t recordId) {
    if (!FRelation.HasRecordId())
        RaiseEngineError(kTdbErrNoRecordIdColumn, {FRelation.GetName()});
    FRelation.Access().SetRecordId(FAccessor->RecordPtr(), FRelation.RecordIdFieldNo(), recordId,
                                   recordId < 1);
}

// The lists follow the record just written: it joins those whose condition it meets, and an
// edited one leaves those whose condition it no longer meets.
void TTdbCursor::UpkeepAfterPost(bool appended) {
    const std::int32_t recNo = FAccessor->RecordNo();
    if (recNo < 1)
        return;
    if (FUserKind == tfkStatic && FUserCondition) {
        if (Accepts(*FUserCondition, recNo))
            InsertSorted(*FMarks, recNo);
        else if (!appended)
            FMarks->Delete(recNo);
    } else if (FUserKind == tfkBookmarks && appended) {
        FMarks->Append(recNo);
    }
    if (FActiveKind == tfkStatic) {
        TTdbBookmarkList& list = FAccessor->Bookmarks();
        if (FActiveCondition && !Accepts(*FActiveCondition, recNo)) {
            const std::int32_t slot = list.Find(recNo);
            if (slot >= 0) {
                const std::int32_t next = list.FindNext(slot);
                const std::int32_t prior = list.FindPrev(slot);
                const std::int32_t target = next >= 0    ? list.Item(next)
                                            : prior >= 0 ? list.Item(prior)
                                                         : -1;
                list.DeleteAt(slot);
                FAccessor->BookmarksChanged();
                if (target < 1 || FAccessor->GotoRecord(target) != 0)
                    FAccessor->ToBoT();
                return;
            }
        } else {
            InsertSorted(list, recNo);
            FAccessor->BookmarksChanged();
            FAccessor->GotoRecord(recNo);
        }
    } else if (FActiveKind == tfkBookmarks && appended) {
        FAccessor->Bookmarks().Append(recNo);
        FAccessor->BookmarksChanged();
        FAccessor->GotoRecord(recNo);
    }
    if (FAccessor->RecordNo() > 0 && !FAccessor->IsValidRecord()) {
        if (FAccessor->Next() == 0)
            return;
        if (FAccessor->Prior() == 0)
            return;
        if (FAccessor->First() != 0)
            FAccessor->ToBoT();
    }
}

std::int16_t TTdbCursor::CompareBookmarks(std::u16string_view indexName, std::int32_t recNo1,
                                          std::int32_t recNo2) {
    try {
        switch (FAccessor->AccessType()) {
            case tatBookmarks: {
                const std::int32_t a = FAccessor->Bookmarks().FindSequence(recNo1);
                const std::int32_t b = FAccessor->Bookmarks().FindSequence(recNo2);
                return a < b ? 0 : a == b ? 1 : 2;
            }
            case tatRecordNo:
                return recNo1 < recNo2 ? 0 : recNo1 == recNo2 ? 1 : 2;
            case tatIndex:
                break;
            default:
                return kTdbIndexDoesNotExist;
        }
        const TTdbIndexNo indexNo = indexName.empty()
                                        ? static_cast<TTdbIndexNo>(FAccessor->CurrentIndexNo())
                                        : FRelation.FindIndexByName(indexName);
        if (indexNo < 0 || !FRelation.CheckIndexOpen(indexNo, false))
            return kTdbIndexDoesNotExist;
        const TTdbIndexFile& index = *FRelation.GetIndexFile(indexNo);
        const TTdbSortDef& def = index.IndexDef();
        const auto entrySize = static_cast<std::size_t>(std::max(index.IndSize(), 4));
        std::vector<std::byte> record(static_cast<std::size_t>(FRelation.GetRecordSize()));
        std::vector<std::byte> key1(entrySize);
        std::vector<std::byte> key2(entrySize);
        TTdbAccessor::TReadLock lock(FRelation);
        const auto keyOf = [&](std::int32_t recNo, std::vector<std::byte>& key) {
            if (recNo < 1 || recNo > FRelation.GetRecordCount() ||
                FRelation.ReadRecord(recNo, record) < 0)
                return false;
            FRelation.Keys().CalcIndexInfo(def, record, recNo, key);
            return true;
        };
        if (!keyOf(recNo1, key1))
            return 0;
        if (!keyOf(recNo2, key2))
            return 2;
        // The keys alone decide; the record numbers of equal keys do not.
        bool unique = true;
        const bool reverse = indexName.empty() && FAccessor->Reverse();
        const bool less = index.KeyComparator().IndexLess(key1, key2, unique, 0, def);
        if (!unique)
            return 1;
        return (less != reverse) ? 0 : 2;
    } catch (const std::exception&) {
        StoreFailure();
        return kTdbIndexDoesNotExist;
    }
}

// ---- Notifications ----

void TTdbCursor::RecordDeleted(std::int32_t deletedRecNo, std::int32_t movedRecNo) {
    FMarks->Delete(deletedRecNo);
    if (movedRecNo > 0 && movedRecNo != deletedRecNo) {
        const std::int32_t slot = FMarks->Find(movedRecNo);
        if (slot >= 0)
            FMarks->SetItem(slot, deletedRecNo);
    }
    FDirty = true;
    if (OnChangeProc)
        OnChangeProc(FTableHdl, deletedRecNo, movedRecNo);
}

}  // namespace tdb
