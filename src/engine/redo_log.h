// The redo log of a table: the old state of every record a transaction changed, appended as it
// goes and read backwards to roll the transaction back, by its own session or, after that one
// died, by another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tdb {

class TdwFileSystem;

enum TTdbTableActionKind : std::uint8_t {
    takInsert = 0,
    takUpdate = 1,
    takDelete = 2,
    takBlob = 3,      // ANSI memo or blob bytes
    takWideMemo = 4,  // UTF-16 text
};

// One memo or blob value of a record as it stood before the change.
struct TTdbLoggedBlob {
    bool Present = false;
    TTdbTableActionKind Kind = takBlob;
    // The bytes of a blob or ANSI memo; the UTF-16 code units of a wide memo, little-endian.
    std::vector<std::byte> Data;
};
// Indexed by column number - 1.
using TTdbLoggedBlobList = std::vector<TTdbLoggedBlob>;

class TTdbRedoLog {
public:
    static constexpr std::uint32_t kMagic = 0xE0D0C0B0u;
    static constexpr std::size_t kHeaderSize = 8;

    // TableName is the base name (directory and table name, no extension).
    TTdbRedoLog(TdwFileSystem& fileSystem, std::u16string_view tableName, std::int16_t tableLevel,
                bool isRel, std::int32_t recordSize);
    ~TTdbRedoLog();
    TTdbRedoLog(const TTdbRedoLog&) = delete;
    TTdbRedoLog& operator=(const TTdbRedoLog&) = delete;

    // ".tdbr" from level 6, else ".rtr" for a relation table and ".tra" for any other.
    static std::u16string LogFileName(std::u16string_view tableName, std::int16_t tableLevel,
                                      bool isRel);
    const std::u16string& FileName() const noexcept { return FFileName; }

    // Creates (overwrites) the log with its header; raises an engine error (115) when it
    // cannot.
    void NewFile();
    // Opens an existing log and positions at its end: 0, -1 for another magic number or a
    // file too short to hold the header, -37 when there is none, -106 when it cannot be read.
    std::int16_t Open();
    bool IsOpen() const noexcept { return FLogFile >= 0; }
    void Close() noexcept;
    // Closes and deletes the log.
    void Erase() noexcept;

    // Append one entry each; raise an engine error (3) when the write fails.
    void LogInsert(std::int32_t recNo);
    void LogUpdate(std::int32_t recNo, std::span<const std::byte> recBuffer,
                   const TTdbLoggedBlobList& blobDataList);
    void LogDelete(std::int32_t recNo, std::span<const std::byte> recBuffer,
                   const TTdbLoggedBlobList& blobData);

    // Steps back over the entry before the current position, with the blob entries that
    // belong to it; false at the beginning of the log. A damaged log (a length that does not
    // fit, an unknown kind, a short read) raises an engine error (52) instead of looping.
    bool ReadPriorAction();
    TTdbTableActionKind LastActionKind() const noexcept { return FLastActionKind; }
    std::int32_t LastActionRecordNo() const noexcept { return FLastActionRecordNo; }
    std::span<const std::byte> LastActionRecBuffer() const noexcept { return FLastActionRecBuffer; }
    const TTdbLoggedBlobList& LastActionBlobs() const noexcept { return FLastActionBlobs; }

private:
    struct TEntryHead;

    void Append(std::span<const std::byte> image);
    void AppendRecordEntry(TTdbTableActionKind kind, std::int32_t recNo,
                           std::span<const std::byte> recBuffer, const TTdbLoggedBlobList& blobs);
    [[noreturn]] void RaiseDamaged() const;
    [[noreturn]] void RaiseWriteFailed() const;
    bool ReadExact(std::int64_t pos, std::span<std::byte> data);
    bool EntryFits(std::uint8_t kind, std::uint32_t length, std::int32_t number,
                   std::int64_t end) const noexcept;
    std::int64_t FindValidEnd(std::int64_t fileSize);

    TdwFileSystem& FFileSystem;
    std::u16string FFileName;
    std::int32_t FLogFile = -1;
    std::int32_t FRecordSize = 0;
    std::int64_t FPosition = 0;
    TTdbTableActionKind FLastActionKind = takInsert;
    std::int32_t FLastActionRecordNo = 0;
    std::vector<std::byte> FLastActionRecBuffer;
    TTdbLoggedBlobList FLastActionBlobs;
    // Where the next entry goes; FPosition moves backwards while the log is read.
    std::int64_t FEnd = 0;
    // Bytes past FEnd (a dropped torn tail, a failed write) are cut before the next entry.
    bool FTailDirty = false;
};

}  // namespace tdb
