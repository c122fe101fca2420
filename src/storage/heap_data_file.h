// The record store of almost every table: after the header, fixed-size record slots numbered
// from 1, found by arithmetic; deleting drops the last slot, the table layer moves it first.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "storage/data_file.h"

namespace tdb {

class TTdbHeapDataFile : public TTdbDataFile {
public:
    // The result of a step beyond the records ("Record not found").
    static constexpr std::int32_t kNoRecord = -19;
    static constexpr std::int16_t kWriteFailed = -3;

    using TTdbDataFile::TTdbDataFile;
    ~TTdbHeapDataFile() override;

    bool GetCanDelete() const override { return false; }
    std::int64_t GetStorageSize() const override;
    std::int32_t GetRecordCount() const override { return FFileSize; }
    std::int64_t GetIndexNameTableOffset() const override;
    std::int32_t GetIndexNameTableSize() const override;
    std::int64_t GetRecordCountOffset() const override;
    std::int64_t GetNextRecordIdOffset() const override;

    std::int16_t Open(bool readOnly, bool exclusive, TdwCryptor& cryptor,
                      TTdbExpressionFactory& factory, std::int32_t& capacity,
                      std::u16string& collationName, TTdbTypeDefs& types,
                      TTdbColumnDefs& columnDefs, TTdbCheckDefs& checkDefs,
                      TTdbCandidateKeyDefs& keyDefs, TTdbForeignKeyDefs& foreignKeyDefs) override;
    std::int16_t NewFile(std::int16_t level, TdwCryptor& cryptor, std::int32_t capacity,
                         const std::u16string& collationName, const TTdbTypeDefs& types,
                         const TTdbColumnDefs& columnDefs, const TTdbCheckDefs& checkDefs,
                         const TTdbCandidateKeyDefs& keyDefs,
                         const TTdbForeignKeyDefs& foreignKeyDefs) override;
    void Close() override;
    // Raises engine error 3 when the count cannot be written.
    void Clear() override;
    // Both forget cached pages and read the record count again, checked against the file.
    void Undo() override;
    void Invalidate(std::int64_t changeCount = -1) override;
    bool CanAppend() const override;

    std::int32_t GetFirstRecordNo() const override;
    std::int32_t GetNextRecordNo(std::int32_t recNo) const override;
    std::int32_t GetPrevRecordNo(std::int32_t recNo) const override;
    std::int32_t GetLastRecordNo() const override;

    // Reads and decrypts the slot into the first record-size bytes of Buffer; the caller
    // guarantees 1 <= RecNo <= count. Raises engine error 2 when the file cannot be read.
    std::int16_t ReadRecord(std::int32_t recNo, std::span<std::byte> buffer) override;
    // 0, or -3 for RecNo < 1 or a failed write; slot count + 1 appends. Buffer stays plain.
    std::int16_t WriteRecord(std::int32_t recNo, std::span<const std::byte> buffer) override;
    // The new record's number, or -3.
    std::int32_t InsertRecord(std::span<const std::byte> recBuffer) override;
    // Drops the last slot whatever RecNo says; -3 when there is none or the header cannot be
    // written.
    std::int16_t DeleteRecord(std::int32_t recNo) override;

    std::int64_t GetFileOffset() const noexcept { return FFileOffset; }
    // The value ranges of a level 1-4 table; NewFile stores those given here before it.
    const std::vector<TTdbValueRange>& GetValueRanges() const noexcept { return FBerList; }
    void SetValueRanges(std::vector<TTdbValueRange> ranges) { FBerList = std::move(ranges); }

private:
    void ReadRecordCount();
    // Writes the count and sizes the storage to the slots; false when either fails.
    bool CountChanged();

    std::int32_t FFileSize = 0;
    std::int64_t FFileOffset = 0;
    std::vector<TTdbValueRange> FBerList;
    std::vector<std::byte> FCipherBuffer;
};

}  // namespace tdb
