// The entry source of an index build: batches of records, keyed, sorted and handed out.
#include "index/index_build.h"

#include <limits>
#include <utility>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "index/index_keys.h"
#include "types/column_def.h"
#include "types/sort_def.h"

namespace tdb {

TTdbRecordSource::~TTdbRecordSource() = default;

TBulkInsertInfo::TBulkInsertInfo(const TTdbIndexKeys& keys, const TTdbSortDef& indexDef,
                                 std::span<std::byte> workEntry, TTdbRecordSource& records,
                                 std::u16string tableName, std::int64_t batchLimit)
    : FKeys(keys),
      FIndexDef(indexDef),
      FComparator(keys, indexDef),
      FWorkEntry(workEntry),
      FRecords(records),
      FTableName(std::move(tableName)),
      FBatchLimit(batchLimit),
      FRecord(static_cast<std::size_t>(keys.ColumnDefs().GetRecordSize())) {
    Sorter.InitSort();
    Sorter.InitSortVar(&FIndexDef);
}

TBulkInsertInfo::~TBulkInsertInfo() {
    Sorter.ExitSort();
}

TTdbIndexFile::TGetIndexItem TBulkInsertInfo::AsGetIndexItem() {
    return [this](std::span<std::byte> entry, std::int32_t& size) {
        return GetIndexItem(entry, size);
    };
}

bool TBulkInsertInfo::GetIndexItem(std::span<std::byte> entry, std::int32_t& size) {
    if (Sorter.SortEmpty() && !FAtEnd) {
        MakeBatch();
    }
    if (Sorter.SortEmpty()) {
        return false;
    }
    size = Sorter.FromSort(entry);
    return true;
}

std::int32_t TBulkInsertInfo::NextRecordNo() const {
    return RecNo == 0 ? FRecords.GetFirstRecordNo() : FRecords.GetNextRecordNo(RecNo);
}

void TBulkInsertInfo::RaiseRecordError(std::int32_t code) const {
    std::int32_t error = code < 0 ? -static_cast<std::int64_t>(code) : code;
    if (error <= 0 || error > std::numeric_limits<std::int16_t>::max()) {
        error = kTdbErrUnknown;  // no engine error has that number
    }
    RaiseEngineError(static_cast<std::int16_t>(error), {FTableName});
}

std::int32_t TBulkInsertInfo::BuildEntry(std::int32_t recNo) {
    const std::int16_t read = FRecords.ReadRecord(recNo, FRecord);
    if (read != 0) {
        RaiseRecordError(read);
    }
    try {
        return FKeys.CalcIndexInfo(FIndexDef, FRecord, recNo, FWorkEntry);
    } catch (...) {
        // The reason goes to the table first; the build itself ends with the non-critical
        // error, which says that the real one is already recorded.
        ReportKeyFailure(std::current_exception());
        RaiseNonCritical();
    }
}

void TBulkInsertInfo::ReportKeyFailure(std::exception_ptr reason) const noexcept {
    if (!FKeyFailure) {
        return;
    }
    try {
        try {
            std::rethrow_exception(reason);
        } catch (const std::exception& e) {
            FKeyFailure(e);
        } catch (...) {
            FKeyFailure(ETdbEngine(kTdbErrUnknown, EngineErrorMessage(kTdbErrUnknown)));
        }
    } catch (...) {
        // A failing report must not hide the failure being reported.
    }
}

void TBulkInsertInfo::MakeBatch() {
    Sorter.ExitSort();
    Sorter.InitSort();
    Sorter.InitSortVar(&FIndexDef);
    std::int64_t keyBytes = 0;
    std::int32_t recNo = NextRecordNo();
    while (true) {
        if (recNo == TTdbRecordSource::kNoRecord) {
            FAtEnd = true;
            break;
        }
        if (recNo < 0) {
            RaiseRecordError(recNo);
        }
        const std::int32_t size = BuildEntry(recNo);
        Sorter.ToSort(FWorkEntry.first(static_cast<std::size_t>(size)));
        RecNo = recNo;
        keyBytes += size - kTdbIndexRecordRefSize;
        if (keyBytes >= FBatchLimit) {
            break;
        }
        recNo = FRecords.GetNextRecordNo(recNo);
    }
    if (Sorter.Count() == 0) {
        return;
    }
    ++FBatchCount;
    const TTdbKeyComparator& comparator = FComparator;
    const auto less = [&comparator](std::span<const std::byte> a, std::span<const std::byte> b,
                                    bool& flag, TStrCmpOptions options, const void* sortVar) {
        return comparator.IndexLess(a, b, flag, options,
                                    *static_cast<const TTdbSortDef*>(sortVar));
    };
    Sorter.SortStart(less, 0);
}

}  // namespace tdb
