// The redo log of a table: appending entries as a transaction goes and reading them back,
// newest first, for the rollback.
#include "engine/redo_log.h"

#include <algorithm>
#include <array>
#include <exception>
#include <limits>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "storage/file_system.h"

namespace tdb {

namespace {

constexpr std::int32_t kOpenMode = platform::kAccessReadWrite | platform::kShareDenyNone;
// Kind, record or column number, trailing length: what every entry has besides its data.
constexpr std::uint32_t kEntryFrame = 9;
// No table has more columns; a larger column number can only come from a damaged log.
constexpr std::int32_t kMaxColumn = 4096;
constexpr std::size_t kScanWindow = 64 * 1024;

bool IsRecordKind(std::uint8_t kind) noexcept {
    return kind <= takDelete;
}
bool IsBlobKind(std::uint8_t kind) noexcept {
    return kind == takBlob || kind == takWideMemo;
}

struct TReadFailure {};

// Reads a log that is being checked as a whole through one cached window, so that stepping
// over it position by position does not cost a file-system call per position.
class TWindowReader {
public:
    TWindowReader(TdwFileSystem& fileSystem, std::int32_t handle, std::int64_t size)
        : FFileSystem(fileSystem), FHandle(handle), FSize(size) {}

    std::uint8_t Byte(std::int64_t pos) {
        std::byte b{};
        Fetch(pos, std::span(&b, 1));
        return static_cast<std::uint8_t>(b);
    }
    std::uint32_t U32(std::int64_t pos) {
        std::array<std::byte, 4> image{};
        Fetch(pos, image);
        return LoadLE<std::uint32_t>(image.data());
    }

private:
    void Fetch(std::int64_t pos, std::span<std::byte> out) {
        const auto n = static_cast<std::int64_t>(out.size());
        if (pos < FStart || pos + n > FStart + static_cast<std::int64_t>(FBuffer.size())) {
            // Centred, so that scans in either direction reuse half of it.
            FStart = std::max<std::int64_t>(0, pos - static_cast<std::int64_t>(kScanWindow / 2));
            const std::int64_t length =
                std::min<std::int64_t>(static_cast<std::int64_t>(kScanWindow), FSize - FStart);
            FBuffer.resize(static_cast<std::size_t>(length));
            if (FFileSystem.FileRead(FHandle, FStart, FBuffer) != length) {
                FBuffer.clear();
                throw TReadFailure{};
            }
            if (pos + n > FStart + length) {
                throw TReadFailure{};
            }
        }
        std::copy_n(FBuffer.begin() + (pos - FStart), out.size(), out.begin());
    }

    TdwFileSystem& FFileSystem;
    std::int32_t FHandle;
    std::int64_t FSize;
    std::int64_t FStart = 0;
    std::vector<std::byte> FBuffer;
};

}  // namespace

struct TTdbRedoLog::TEntryHead {
    std::int64_t Start = 0;
    std::uint8_t Kind = 0;
    std::int32_t Number = 0;
    std::uint32_t Length = 0;
};

TTdbRedoLog::TTdbRedoLog(TdwFileSystem& fileSystem, std::u16string_view tableName,
                         std::int16_t tableLevel, bool isRel, std::int32_t recordSize)
    : FFileSystem(fileSystem),
      FFileName(LogFileName(tableName, tableLevel, isRel)),
      FRecordSize(std::max<std::int32_t>(recordSize, 0)),
      FLastActionRecBuffer(static_cast<std::size_t>(FRecordSize)) {}

TTdbRedoLog::~TTdbRedoLog() {
    Close();
}

std::u16string TTdbRedoLog::LogFileName(std::u16string_view tableName, std::int16_t tableLevel,
                                        bool isRel) {
    std::u16string name(tableName);
    const std::size_t delimiter = name.find_last_of(u"/\\");
    const std::size_t dot = name.find_last_of(u'.');
    if (dot != std::u16string::npos && (delimiter == std::u16string::npos || dot > delimiter)) {
        name.erase(dot);
    }
    if (tableLevel >= 6) {
        name += u".tdbr";
    } else {
        name += isRel ? u".rtr" : u".tra";
    }
    return name;
}

void TTdbRedoLog::NewFile() {
    Close();
    const std::int32_t handle = FFileSystem.CreateFile(FFileName);
    if (handle < 0) {
        RaiseEngineError(kTdbErrNoWriteAccess, {FFileName});
    }
    FLogFile = handle;
    std::array<std::byte, kHeaderSize> header{};
    StoreLE<std::uint32_t>(header.data(), kMagic);
    // Created exclusive; another session must get in to roll back when this one dies.
    if (!FFileSystem.RelaxShareMode(handle, kOpenMode) ||
        FFileSystem.FileWrite(handle, 0, header) != static_cast<std::int32_t>(header.size())) {
        Erase();
        RaiseEngineError(kTdbErrNoWriteAccess, {FFileName});
    }
    FPosition = FEnd = kHeaderSize;
}

std::int16_t TTdbRedoLog::Open() {
    Close();
    const std::int32_t handle = FFileSystem.OpenFile(FFileName, kOpenMode);
    if (handle < 0) {
        const std::int32_t reason = FFileSystem.GetLastError();
        return reason == 2 || reason == 3 ? -kTdbErrFileNotFound : -kTdbErrLogin;
    }
    FLogFile = handle;
    std::int64_t size = 0;
    std::int64_t end = 0;
    try {
        size = FFileSystem.GetFileSize(handle);
        std::array<std::byte, kHeaderSize> header{};
        if (size < static_cast<std::int64_t>(kHeaderSize)) {
            Close();
            return -1;
        }
        if (!ReadExact(0, header)) {
            Close();
            return -kTdbErrLogin;
        }
        if (LoadLE<std::uint32_t>(header.data()) != kMagic) {
            Close();
            return -1;
        }
        end = FindValidEnd(size);
    } catch (const TReadFailure&) {
        Close();
        return -kTdbErrLogin;
    } catch (const std::exception&) {
        Close();
        return -kTdbErrLogin;
    }
    FPosition = FEnd = end;
    FTailDirty = end < size;
    return 0;
}

void TTdbRedoLog::Close() noexcept {
    if (FLogFile >= 0) {
        try {
            FFileSystem.CloseFile(FLogFile);
        } catch (...) {
            // The handle is given up either way; nothing is left to write.
        }
    }
    FLogFile = -1;
    FPosition = FEnd = 0;
    FTailDirty = false;
}

void TTdbRedoLog::Erase() noexcept {
    Close();
    try {
        FFileSystem.DeleteFile(FFileName);
    } catch (...) {
        // A log left behind is rolled back by the next open of the table.
    }
}

void TTdbRedoLog::LogInsert(std::int32_t recNo) {
    if (recNo <= 0) {
        RaiseEngineError(kTdbErrInvalidParameter, {u"RecNo"});
    }
    std::array<std::byte, kEntryFrame> entry{};
    entry[0] = static_cast<std::byte>(takInsert);
    StoreLE<std::int32_t>(&entry[1], recNo);
    StoreLE<std::uint32_t>(&entry[5], kEntryFrame);
    Append(entry);
}

void TTdbRedoLog::LogUpdate(std::int32_t recNo, std::span<const std::byte> recBuffer,
                            const TTdbLoggedBlobList& blobDataList) {
    AppendRecordEntry(takUpdate, recNo, recBuffer, blobDataList);
}

void TTdbRedoLog::LogDelete(std::int32_t recNo, std::span<const std::byte> recBuffer,
                            const TTdbLoggedBlobList& blobData) {
    AppendRecordEntry(takDelete, recNo, recBuffer, blobData);
}

void TTdbRedoLog::AppendRecordEntry(TTdbTableActionKind kind, std::int32_t recNo,
                                    std::span<const std::byte> recBuffer,
                                    const TTdbLoggedBlobList& blobs) {
    // Whatever is written here must read back, or the whole log becomes unusable for the
    // rollback; so arguments the reader would refuse are refused now.
    if (recNo <= 0) {
        RaiseEngineError(kTdbErrInvalidParameter, {u"RecNo"});
    }
    if (recBuffer.size() < static_cast<std::size_t>(FRecordSize)) {
        RaiseEngineError(kTdbErrInvalidParameter, {u"RecBuffer"});
    }
    const auto recordSize = static_cast<std::size_t>(FRecordSize);
    std::size_t total = kEntryFrame + recordSize;
    for (std::size_t i = 0; i < blobs.size(); ++i) {
        if (!blobs[i].Present) {
            continue;
        }
        if (!IsBlobKind(blobs[i].Kind) || i >= static_cast<std::size_t>(kMaxColumn)) {
            RaiseEngineError(kTdbErrInvalidParameter, {u"BlobDataList"});
        }
        total += kEntryFrame + blobs[i].Data.size();
    }
    if (total > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        RaiseEngineError(kTdbErrInvalidParameter, {u"BlobDataList"});
    }

    // The record entry and its blob entries go out in one write: a writer killed halfway
    // leaves one torn group at the end, which opening the log drops as a whole.
    std::vector<std::byte> image(total);
    std::byte* p = image.data();
    p[0] = static_cast<std::byte>(kind);
    StoreLE<std::int32_t>(p + 1, recNo);
    std::copy_n(recBuffer.begin(), recordSize, p + 5);
    StoreLE<std::uint32_t>(p + 5 + recordSize,
                           static_cast<std::uint32_t>(kEntryFrame + recordSize));
    p += kEntryFrame + recordSize;
    for (std::size_t i = 0; i < blobs.size(); ++i) {
        const TTdbLoggedBlob& blob = blobs[i];
        if (!blob.Present) {
            continue;
        }
        const std::size_t size = blob.Data.size();
        p[0] = static_cast<std::byte>(blob.Kind);
        StoreLE<std::int32_t>(p + 1, static_cast<std::int32_t>(i + 1));
        std::copy(blob.Data.begin(), blob.Data.end(), p + 5);
        StoreLE<std::uint32_t>(p + 5 + size, static_cast<std::uint32_t>(kEntryFrame + size));
        p += kEntryFrame + size;
    }
    Append(image);
}

void TTdbRedoLog::Append(std::span<const std::byte> image) {
    if (FLogFile < 0) {
        RaiseWriteFailed();
    }
    try {
        if (FTailDirty) {
            FFileSystem.SetFileSize(FLogFile, FEnd);
            FTailDirty = false;
        }
    } catch (const std::exception&) {
        RaiseWriteFailed();
    }
    if (FFileSystem.FileWrite(FLogFile, FEnd, image) != static_cast<std::int32_t>(image.size())) {
        FTailDirty = true;
        RaiseWriteFailed();
    }
    FEnd += static_cast<std::int64_t>(image.size());
    FPosition = FEnd;
}

bool TTdbRedoLog::ReadPriorAction() {
    FLastActionBlobs.clear();
    std::int64_t pos = FPosition;
    if (FLogFile < 0 || pos <= static_cast<std::int64_t>(kHeaderSize)) {
        return false;
    }
    for (;;) {
        // Blob entries always follow the record entry they belong to.
        if (pos - static_cast<std::int64_t>(kHeaderSize) < kEntryFrame) {
            RaiseDamaged();
        }
        std::array<std::byte, 4> tail{};
        if (!ReadExact(pos - 4, tail)) {
            RaiseDamaged();
        }
        const std::uint32_t length = LoadLE<std::uint32_t>(tail.data());
        if (length < kEntryFrame || length > pos - static_cast<std::int64_t>(kHeaderSize)) {
            RaiseDamaged();
        }
        const std::int64_t start = pos - length;
        std::array<std::byte, 5> head{};
        if (!ReadExact(start, head)) {
            RaiseDamaged();
        }
        const auto kind = static_cast<std::uint8_t>(head[0]);
        const std::int32_t number = LoadLE<std::int32_t>(&head[1]);
        if (!EntryFits(kind, length, number, pos)) {
            RaiseDamaged();
        }
        if (IsBlobKind(kind)) {
            const auto index = static_cast<std::size_t>(number - 1);
            if (index >= FLastActionBlobs.size()) {
                FLastActionBlobs.resize(index + 1);
            }
            TTdbLoggedBlob& blob = FLastActionBlobs[index];
            if (blob.Present) {
                RaiseDamaged();
            }
            blob.Present = true;
            blob.Kind = static_cast<TTdbTableActionKind>(kind);
            blob.Data.resize(length - kEntryFrame);
            if (!ReadExact(start + 5, blob.Data)) {
                RaiseDamaged();
            }
            pos = start;
            continue;
        }
        if (kind == takInsert) {
            if (!FLastActionBlobs.empty()) {
                RaiseDamaged();
            }
        } else if (!ReadExact(start + 5, FLastActionRecBuffer)) {
            RaiseDamaged();
        }
        FLastActionKind = static_cast<TTdbTableActionKind>(kind);
        FLastActionRecordNo = number;
        FPosition = start;
        return true;
    }
}

bool TTdbRedoLog::EntryFits(std::uint8_t kind, std::uint32_t length, std::int32_t number,
                            std::int64_t end) const noexcept {
    if (length < kEntryFrame || length > end - static_cast<std::int64_t>(kHeaderSize) ||
        length > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
        return false;
    }
    switch (kind) {
        case takInsert:
            return length == kEntryFrame && number > 0;
        case takUpdate:
        case takDelete:
            return length == kEntryFrame + static_cast<std::uint32_t>(FRecordSize) && number > 0;
        case takBlob:
        case takWideMemo:
            return number > 0 && number <= kMaxColumn;
        default:
            return false;
    }
}

// The end that the log accounts for. Normally the whole file: every entry, read backwards
// from the end, fits its kind and leads exactly to the header. Otherwise a writer may have
// died in the middle of its last write: the torn group starts at the highest position P that
// the entries before it account for (their chain read backwards from P reaches the header)
// and whose entry does not fit in the rest of the file. Such a group never reached the data
// file, so the end is the start of its record entry. When the highest accounted-for position
// holds a complete entry instead, the damage lies elsewhere; the whole file is kept, so that
// reading it back reports the damage instead of silently dropping changes.
std::int64_t TTdbRedoLog::FindValidEnd(std::int64_t fileSize) {
    const auto header = static_cast<std::int64_t>(kHeaderSize);
    TWindowReader reader(FFileSystem, FLogFile, fileSize);
    const auto entryBefore = [&](std::int64_t end, TEntryHead& entry) {
        if (end - header < kEntryFrame) {
            return false;
        }
        const std::uint32_t length = reader.U32(end - 4);
        if (length < kEntryFrame || length > end - header) {
            return false;
        }
        entry.Start = end - length;
        entry.Kind = reader.Byte(entry.Start);
        entry.Number = static_cast<std::int32_t>(reader.U32(entry.Start + 1));
        entry.Length = length;
        return EntryFits(entry.Kind, length, entry.Number, end);
    };
    const auto reachesHeader = [&](std::int64_t end) {
        bool blobsPending = false;
        while (end > header) {
            TEntryHead entry;
            if (!entryBefore(end, entry)) {
                return false;
            }
            if (IsBlobKind(entry.Kind)) {
                blobsPending = true;
            } else if (entry.Kind == takInsert && blobsPending) {
                return false;
            } else {
                blobsPending = false;
            }
            end = entry.Start;
        }
        return !blobsPending;
    };

    if (reachesHeader(fileSize)) {
        return fileSize;
    }
    const std::int64_t recordEntrySize = kEntryFrame + static_cast<std::int64_t>(FRecordSize);
    for (std::int64_t pos = fileSize - 1; pos >= header; --pos) {
        const std::uint8_t kind = reader.Byte(pos);
        if (kind > takWideMemo) {
            continue;
        }
        if (pos > header) {
            const std::uint32_t length = pos - header >= kEntryFrame ? reader.U32(pos - 4) : 0;
            if (length < kEntryFrame || length > pos - header) {
                continue;
            }
        }
        if (!reachesHeader(pos)) {
            continue;
        }
        const std::int64_t rest = fileSize - pos;
        if (IsRecordKind(kind)) {
            // Torn only when it is shorter than its kind says and what was written of its
            // trailing length agrees with that size.
            const std::int64_t size = kind == takInsert ? kEntryFrame : recordEntrySize;
            if (rest >= size) {
                return fileSize;
            }
            for (std::int64_t i = size - 4; i < rest; ++i) {
                const auto expected = static_cast<std::uint8_t>(size >> (8 * (i - (size - 4))));
                if (reader.Byte(pos + i) != expected) {
                    return fileSize;
                }
            }
            return pos;
        }
        if (rest >= 5) {
            const auto column = static_cast<std::int32_t>(reader.U32(pos + 1));
            if (column <= 0 || column > kMaxColumn) {
                return fileSize;
            }
        }
        // A blob entry: torn only where it follows a record entry or blob entry that may own it
        // and no trailing length in the rest of the file closes it.
        TEntryHead before;
        if (!entryBefore(pos, before) || before.Kind == takInsert) {
            return fileSize;
        }
        for (std::int64_t end = pos + kEntryFrame; end <= fileSize; ++end) {
            if (reader.U32(end - 4) == static_cast<std::uint64_t>(end - pos)) {
                return fileSize;
            }
        }
        std::int64_t groupStart = before.Start;
        while (IsBlobKind(before.Kind)) {
            if (!entryBefore(groupStart, before)) {
                return fileSize;
            }
            groupStart = before.Start;
        }
        return groupStart;
    }
    return fileSize;
}

bool TTdbRedoLog::ReadExact(std::int64_t pos, std::span<std::byte> data) {
    if (data.empty()) {
        return true;
    }
    return FFileSystem.FileRead(FLogFile, pos, data) == static_cast<std::int32_t>(data.size());
}

void TTdbRedoLog::RaiseDamaged() const {
    RaiseEngineError(kTdbErrUnknown, {FFileName});
}

void TTdbRedoLog::RaiseWriteFailed() const {
    RaiseEngineError(kTdbErrWriteFile, {FFileName});
}

}  // namespace tdb
