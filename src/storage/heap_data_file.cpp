// Heap data file: record slots after the header, read and written across the storage's pages,
// the record count kept in the header and the storage kept exactly as long as the slots.
#include "storage/heap_data_file.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "base/engine_error.h"

namespace tdb {

namespace {

constexpr std::int64_t kNewLevelIndexTableOffset = 23;
constexpr std::int64_t kNewLevelRecordCountOffset = 7;
constexpr std::int64_t kNewLevelNextRecordIdOffset = 15;

}  // namespace

TTdbHeapDataFile::~TTdbHeapDataFile() {
    try {
        TTdbHeapDataFile::Close();
    } catch (...) {
        // Nothing to report to from a destructor.
    }
}

std::int64_t TTdbHeapDataFile::GetStorageSize() const {
    return FFileOffset + static_cast<std::int64_t>(FRecordSize) * FFileSize;
}

std::int64_t TTdbHeapDataFile::GetIndexNameTableOffset() const {
    return FLevel >= 5 ? kNewLevelIndexTableOffset : OldIndexTableOffset(FLevel);
}

std::int32_t TTdbHeapDataFile::GetIndexNameTableSize() const {
    return FLevel >= 5 ? kIndexNameTableSize : OldIndexTableSize(FLevel);
}

std::int64_t TTdbHeapDataFile::GetRecordCountOffset() const {
    return FLevel >= 5 ? kNewLevelRecordCountOffset : OldRecordCountOffset(FLevel);
}

std::int64_t TTdbHeapDataFile::GetNextRecordIdOffset() const {
    return FLevel >= 5 ? kNewLevelNextRecordIdOffset : FOldNextRecordIdOffset;
}

std::int16_t TTdbHeapDataFile::Open(bool readOnly, bool exclusive, TdwCryptor& cryptor,
                                    TTdbExpressionFactory& factory, std::int32_t& capacity,
                                    std::u16string& collationName, TTdbTypeDefs& types,
                                    TTdbColumnDefs& columnDefs, TTdbCheckDefs& checkDefs,
                                    TTdbCandidateKeyDefs& keyDefs,
                                    TTdbForeignKeyDefs& foreignKeyDefs) {
    Close();
    TTdbTableDefinition def;
    std::u16string collation = collationName;
    THeaderInfo info = OpenHeader(readOnly, exclusive, cryptor, factory, collation, def);
    FFileOffset = info.RecordStart;
    FFileSize = info.RecordCount;
    FBerList = std::move(info.Ranges);

    capacity = def.Capacity;
    collationName = std::move(collation);
    types = std::move(def.Types);
    columnDefs = std::move(def.Columns);
    checkDefs = std::move(def.Checks);
    keyDefs = std::move(def.Keys);
    foreignKeyDefs = std::move(def.ForeignKeys);
    return 0;
}

std::int16_t TTdbHeapDataFile::NewFile(std::int16_t level, TdwCryptor& cryptor,
                                       std::int32_t capacity, const std::u16string& collationName,
                                       const TTdbTypeDefs& types, const TTdbColumnDefs& columnDefs,
                                       const TTdbCheckDefs& checkDefs,
                                       const TTdbCandidateKeyDefs& keyDefs,
                                       const TTdbForeignKeyDefs& foreignKeyDefs) {
    std::vector<TTdbValueRange> ranges = FBerList;
    Close();
    TTdbTableDefinition def;
    def.Capacity = capacity;
    def.CollationName = collationName;
    def.Types = types;
    def.Columns = columnDefs;
    def.Checks = checkDefs;
    def.Keys = keyDefs;
    def.ForeignKeys = foreignKeyDefs;
    FFileOffset = CreateHeader(level, cryptor, def, ranges);
    FFileSize = 0;
    if (level < 5)
        FBerList = std::move(ranges);
    return 0;
}

void TTdbHeapDataFile::Close() {
    FBerList.clear();
    TTdbDataFile::Close();
    FFileSize = 0;
    FFileOffset = 0;
}

bool TTdbHeapDataFile::CountChanged() {
    try {
        WriteInt32At(GetRecordCountOffset(), FFileSize);
        const std::int64_t pageSize = FStorage->GetPageSize();
        FStorage->SetPageCount(static_cast<std::int32_t>((GetStorageSize() - 1) / pageSize + 1));
        return true;
    } catch (const ETdbPageManager&) {
        return false;
    }
}

void TTdbHeapDataFile::Clear() {
    FFileSize = 0;
    if (!CountChanged())
        RaiseWriteError();
}

void TTdbHeapDataFile::Undo() {
    TTdbDataFile::Undo();
    FPage->UnloadPage();
    ReadRecordCount();
}

void TTdbHeapDataFile::Invalidate(std::int64_t changeCount) {
    FStorage->Invalidate(changeCount);
    FPage->UnloadPage();
    ReadRecordCount();
}

// The file decides, as it does when the table opens: a count written ahead of its records is
// lowered to the records there are.
void TTdbHeapDataFile::ReadRecordCount() {
    FFileSize =
        FittedRecordCount(ReadInt32At(GetRecordCountOffset()), FFileOffset, ExactFileSize());
}

bool TTdbHeapDataFile::CanAppend() const {
    return FFileSize < std::numeric_limits<std::int32_t>::max();
}

std::int32_t TTdbHeapDataFile::GetFirstRecordNo() const {
    return FFileSize > 0 ? 1 : kNoRecord;
}

std::int32_t TTdbHeapDataFile::GetLastRecordNo() const {
    return FFileSize > 0 ? FFileSize : kNoRecord;
}

std::int32_t TTdbHeapDataFile::GetNextRecordNo(std::int32_t recNo) const {
    return recNo >= 0 && recNo < FFileSize ? recNo + 1 : kNoRecord;
}

std::int32_t TTdbHeapDataFile::GetPrevRecordNo(std::int32_t recNo) const {
    return recNo >= 2 ? recNo - 1 : kNoRecord;
}

std::int16_t TTdbHeapDataFile::ReadRecord(std::int32_t recNo, std::span<std::byte> buffer) {
    if (buffer.size() < FRecordSize)
        throw std::length_error("Record buffer smaller than the record size");
    std::span<std::byte> record = buffer.first(FRecordSize);
    ReadBytes(FFileOffset + static_cast<std::int64_t>(recNo - 1) * FRecordSize, record);
    if (Encrypts())
        FCryptor->DecryptBlock(record);
    return 0;
}

std::int16_t TTdbHeapDataFile::WriteRecord(std::int32_t recNo, std::span<const std::byte> buffer) {
    if (recNo < 1)
        return kWriteFailed;
    if (buffer.size() < FRecordSize)
        throw std::length_error("Record buffer smaller than the record size");
    std::span<const std::byte> record = buffer.first(FRecordSize);
    if (Encrypts()) {
        // The caller's buffer stays plain: the cipher works on a copy.
        FCipherBuffer.assign(record.begin(), record.end());
        FCryptor->EncryptBlock(FCipherBuffer);
        record = FCipherBuffer;
    }
    try {
        WriteBytes(FFileOffset + static_cast<std::int64_t>(recNo - 1) * FRecordSize, record);
    } catch (const ETdbPageManager&) {
        return kWriteFailed;
    }
    return 0;
}

std::int32_t TTdbHeapDataFile::InsertRecord(std::span<const std::byte> recBuffer) {
    if (!CanAppend())
        return kWriteFailed;
    const std::int16_t result = WriteRecord(FFileSize + 1, recBuffer);
    if (result < 0)
        return result;
    ++FFileSize;
    if (!CountChanged())
        return kWriteFailed;
    return FFileSize;
}

std::int16_t TTdbHeapDataFile::DeleteRecord(std::int32_t /*recNo*/) {
    if (FFileSize <= 0)
        return kWriteFailed;
    --FFileSize;
    return CountChanged() ? 0 : kWriteFailed;
}

}  // namespace tdb
