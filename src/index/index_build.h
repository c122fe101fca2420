// Filling a new or emptied index from its table: the records are read in record-number order
// in batches of bounded size, each batch's entries are sorted in index order and handed to the
// index file's BulkInsert one at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "index/index_file.h"
#include "index/index_keys.h"
#include "index/sorter.h"
#include "types/calculation.h"

namespace tdb {

class TTdbIndexKeys;
class TTdbSortDef;

// The table's records as a build reads them; a table's data file answers exactly this way.
class TTdbRecordSource {
public:
    // Answered by the numbering when there is no further record.
    static constexpr std::int32_t kNoRecord = -19;

    virtual ~TTdbRecordSource();
    // The first record number, or kNoRecord; any other negative number is that engine error.
    virtual std::int32_t GetFirstRecordNo() const = 0;
    // The record number after RecNo, or kNoRecord.
    virtual std::int32_t GetNextRecordNo(std::int32_t recNo) const = 0;
    // Reads the record into Buffer (the table's record size): 0, or an engine error number.
    virtual std::int16_t ReadRecord(std::int32_t recNo, std::span<std::byte> buffer) = 0;
};

// The state of one build and its entry source. The sorter is private to the build and
// finished whatever happens.
class TBulkInsertInfo {
public:
    // Key bytes (entry sizes without their record numbers) that one batch gathers; the record
    // that reaches the limit is the last of its batch.
    static constexpr std::int64_t kDefaultBatchLimit = 41943040;

    // Called with the reason a key could not be built, before the build is ended with engine
    // error 9999; the table records it as the session's last error.
    using TKeyFailure = std::function<void(const std::exception& reason)>;

    // Keys, definition, records and the work entry (the index file's work entry 0, at least
    // the entry size) are borrowed for the build. TableName goes into read errors.
    TBulkInsertInfo(const TTdbIndexKeys& keys, const TTdbSortDef& indexDef,
                    std::span<std::byte> workEntry, TTdbRecordSource& records,
                    std::u16string tableName, std::int64_t batchLimit = kDefaultBatchLimit);
    ~TBulkInsertInfo();
    TBulkInsertInfo(const TBulkInsertInfo&) = delete;
    TBulkInsertInfo& operator=(const TBulkInsertInfo&) = delete;

    void SetKeyFailure(TKeyFailure keyFailure) { FKeyFailure = std::move(keyFailure); }

    // The next entry in build order, written into Entry with its size; false once every
    // record has been handed out. A record that cannot be read raises its engine error with
    // the table name; a key that cannot be built raises engine error 9999.
    bool GetIndexItem(std::span<std::byte> entry, std::int32_t& size);
    // GetIndexItem for the index file's BulkInsert; this object must outlive the call.
    TTdbIndexFile::TGetIndexItem AsGetIndexItem();

    TTdbSorter Sorter{false};
    TTdbIndexNo IndexNo = 0;
    // The record after which the next batch starts; 0 before the first.
    std::int32_t RecNo = 0;
    // Batches made so far.
    std::int32_t BatchCount() const noexcept { return FBatchCount; }

private:
    // Reads the next batch into the sorter and sorts it.
    void MakeBatch();
    // The first record of the next batch, or kNoRecord.
    std::int32_t NextRecordNo() const;
    [[noreturn]] void RaiseRecordError(std::int32_t code) const;
    std::int32_t BuildEntry(std::int32_t recNo);
    void ReportKeyFailure(std::exception_ptr reason) const noexcept;

    const TTdbIndexKeys& FKeys;
    const TTdbSortDef& FIndexDef;
    // Prepared once for the build: a batch costs millions of comparisons.
    TTdbKeyComparator FComparator;
    std::span<std::byte> FWorkEntry;
    TTdbRecordSource& FRecords;
    std::u16string FTableName;
    std::int64_t FBatchLimit;
    TKeyFailure FKeyFailure;
    std::vector<std::byte> FRecord;
    std::int32_t FBatchCount = 0;
    bool FAtEnd = false;
};

}  // namespace tdb
