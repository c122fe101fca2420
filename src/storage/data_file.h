// The data file of a stored table: the names of the files a table consists of, and the base class
// that creates, opens and checks the header with the whole table definition at every level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/cryptor.h"
#include "storage/data_file_header.h"
#include "storage/file_system.h"
#include "storage/page_manager.h"

namespace tdb {

class TTdbCollation;

// ---- File names ----
// Paths use "/" or "\\" as delimiters.

// Where the name part of a path starts.
std::size_t FileNameStart(std::u16string_view path);
// The extension of the name part with its dot; empty when it has none.
std::u16string_view FileExtension(std::u16string_view path);
// Equal when ASCII letters are compared without case (file names and index names).
bool SameAsciiText(std::u16string_view a, std::u16string_view b);
bool SameAsciiText(std::string_view a, std::string_view b);

// Base is the data file's path without its extension; index and relation files lie beside it.

std::u16string DataFileName(std::u16string_view base, std::int16_t level);
std::u16string BlobFileName(std::u16string_view base, std::int16_t level);
std::u16string MemoFileName(std::u16string_view base, std::int16_t level);
// The system indexes ("sys_Inr", "sys_Id", "sys_In1".."sys_In9") are named after the table
// below level 4; there the other index names are file names, which get ".ind" (".$$i" for a
// temporary table, "~" name) unless they have an extension of their own.
std::u16string IndexFileName(std::u16string_view base, std::u16string_view indexName,
                             std::int16_t level);
std::u16string RelationTableFileName(std::u16string_view base, std::u16string_view columnName,
                                     std::int16_t level);
// A name without an extension is the ".dat" file when it exists, else the ".tdbt" file.
std::u16string FindTableFile(TdwFileSystem& fileSystem, std::u16string_view name);
// The data file name without its directory and without a ".dat" or ".tdbt" extension.
std::u16string TableNameFromFileName(std::u16string_view fileName);
// The path without its extension.
std::u16string FileNameBase(std::u16string_view fileName);

// ---- The data file ----

// A failure raises ETdbEngine with the engine error number. NewFile, which the table layer
// turns into a negative result and the session's last error, raises as well; the storage
// failures it cannot classify become error 3. A failed open leaves the file closed, a failed
// create leaves no file behind.
class TTdbDataFile {
public:
    static constexpr std::int32_t kIndexNameTableSize = 4502;
    static constexpr std::int32_t kNewFilePageSize = 4096;

    TTdbDataFile(TTdbPageManager& pageManager, TdwFileSystem& fileSystem, std::int32_t clientHdl,
                 std::u16string fileName);
    virtual ~TTdbDataFile();
    TTdbDataFile(const TTdbDataFile&) = delete;
    TTdbDataFile& operator=(const TTdbDataFile&) = delete;

    virtual bool GetCanDelete() const = 0;
    virtual bool GetIsOpen() const;
    virtual std::int64_t GetStorageSize() const = 0;
    virtual std::int32_t GetRecordCount() const = 0;
    virtual std::int64_t GetIndexNameTableOffset() const = 0;
    virtual std::int32_t GetIndexNameTableSize() const { return kIndexNameTableSize; }
    virtual std::int64_t GetRecordCountOffset() const = 0;
    virtual std::int64_t GetNextRecordIdOffset() const = 0;

    // Reads the header into the lists, which the caller owns (they are replaced only on
    // success). CollationName goes in as the collation the caller assumes for tables below
    // level 5 (their ANSI texts are in its code page) and comes back as the table's.
    virtual std::int16_t Open(bool readOnly, bool exclusive, TdwCryptor& cryptor,
                              TTdbExpressionFactory& factory, std::int32_t& capacity,
                              std::u16string& collationName, TTdbTypeDefs& types,
                              TTdbColumnDefs& columnDefs, TTdbCheckDefs& checkDefs,
                              TTdbCandidateKeyDefs& keyDefs,
                              TTdbForeignKeyDefs& foreignKeyDefs) = 0;
    // Creates the file with an empty table; 0 on success, else raises (see above).
    virtual std::int16_t NewFile(std::int16_t level, TdwCryptor& cryptor, std::int32_t capacity,
                                 const std::u16string& collationName, const TTdbTypeDefs& types,
                                 const TTdbColumnDefs& columnDefs, const TTdbCheckDefs& checkDefs,
                                 const TTdbCandidateKeyDefs& keyDefs,
                                 const TTdbForeignKeyDefs& foreignKeyDefs) = 0;
    virtual void Close();
    virtual void Clear() = 0;
    virtual void Truncate() {}
    // Raises engine error 3 with the file name when the storage cannot write.
    virtual void Flush();
    virtual void Undo();
    // Reads the header again; the cache of the file is re-read unless this process already
    // did so for that table change count (-1: always).
    virtual void Invalidate(std::int64_t changeCount = -1) = 0;
    virtual void UpdateDir();
    virtual bool CanAppend() const = 0;
    // -19 when there is no such record.
    virtual std::int32_t GetFirstRecordNo() const = 0;
    virtual std::int32_t GetNextRecordNo(std::int32_t recNo) const = 0;
    virtual std::int32_t GetPrevRecordNo(std::int32_t recNo) const = 0;
    virtual std::int32_t GetLastRecordNo() const = 0;
    virtual std::int16_t ReadRecord(std::int32_t recNo, std::span<std::byte> buffer) = 0;
    virtual std::int16_t WriteRecord(std::int32_t recNo, std::span<const std::byte> buffer) = 0;
    virtual std::int32_t InsertRecord(std::span<const std::byte> recBuffer) = 0;
    virtual std::int16_t DeleteRecord(std::int32_t recNo) = 0;
    virtual void ReadIndexNames();
    // Raises engine error 67 when the level's table has no room for all names.
    virtual void WriteIndexNames();
    // Removes the name of the 1-based index number from the list in memory only.
    virtual void DeleteIndexName(int indexNo);

    // Record ids: the header's next-record-id field.
    std::int32_t ObtainNewRecordId();
    void RevokeRecordId(std::int32_t recordId);
    std::int32_t ReadNextRecordId();
    void WriteNextRecordId();
    void SetNextRecordId(std::int32_t nextRecordId) noexcept { FNextRecordId = nextRecordId; }
    std::int32_t GetNextRecordId() const noexcept { return FNextRecordId; }

    const std::u16string& FileName() const noexcept { return FFileName; }
    std::int16_t GetLevel() const noexcept { return FLevel; }
    std::uint16_t GetRecordSize() const noexcept { return FRecordSize; }
    // The position of the record-id column in the record; -1 without one.
    std::int64_t GetRecordIdPosition() const noexcept { return FRecordIdPosition; }
    std::vector<std::u16string>& IndexNames() noexcept { return FIndexNames; }
    TTdbClientStorage* Storage() const noexcept { return FStorage.get(); }

protected:
    // What opening found, for the file kind to take its places from.
    struct THeaderInfo {
        std::int64_t RecordStart = 0;
        std::int32_t RecordCount = 0;
        std::int64_t FileSize = 0;
        std::vector<TTdbValueRange> Ranges;
    };

    // The whole open: storage, header, checks, definitions. Closes the file on failure.
    THeaderInfo OpenHeader(bool readOnly, bool exclusive, TdwCryptor& cryptor,
                           TTdbExpressionFactory& factory, std::u16string& collationName,
                           TTdbTableDefinition& def);
    // The whole create: refusals, storage, header. Returns where the records begin.
    std::int64_t CreateHeader(std::int16_t level, TdwCryptor& cryptor, TTdbTableDefinition& def,
                              std::span<const TTdbValueRange> ranges);

    // Transfers at byte positions, split over the pages of the storage. Reading raises engine
    // error 2; writing lets the page manager's exception through for the caller to classify.
    void ReadBytes(std::int64_t pos, std::span<std::byte> buffer);
    void WriteBytes(std::int64_t pos, std::span<const std::byte> buffer);
    std::int32_t ReadInt32At(std::int64_t pos);
    void WriteInt32At(std::int64_t pos, std::int32_t value);
    // Whether records and blocks pass through a cipher (protection alone encrypts nothing).
    bool Encrypts() const noexcept;
    // The file's length on disk, or the storage's when the cache has grown it.
    std::int64_t ExactFileSize() const;
    // The count itself when the file holds that many records from RecordStart; else, logged,
    // the records it does hold.
    std::int32_t FittedRecordCount(std::int32_t count, std::int64_t recordStart,
                                   std::int64_t fileSize) const;
    [[noreturn]] void RaiseReadError() const;
    [[noreturn]] void RaiseWriteError() const;

    TTdbPageManager& FPageManager;
    TdwFileSystem& FFileSystem;
    std::int32_t FClientHdl;
    std::u16string FFileName;
    std::int16_t FLevel = -1;
    std::unique_ptr<TTdbClientStorage> FStorage;
    std::unique_ptr<TTdbStoragePageSite> FPage;
    // The storage's page size, fixed while it is open: asking the storage takes the cache's lock,
    // and every record read needs it.
    std::int32_t FPageSize = 0;
    TdwCryptor* FCryptor = nullptr;
    std::vector<std::u16string> FIndexNames;
    std::int32_t FNextRecordId = 0;
    std::uint16_t FRecordSize = 0;
    std::int64_t FRecordIdPosition = -1;
    // Below level 5 the next record id lies just before the records, and only with a
    // record-id column; -1 when the header has no such field.
    std::int64_t FOldNextRecordIdOffset = -1;
    // The code page of ANSI header texts below level 5.
    const TTdbCollation* FCollation = nullptr;

private:
    void OpenNewLevel(TdwCryptor& cryptor, TTdbExpressionFactory& factory, THeaderInfo& info,
                      TTdbTableDefinition& def);
    void OpenOldLevel(TdwCryptor& cryptor, TTdbExpressionFactory& factory, THeaderInfo& info,
                      TTdbTableDefinition& def);
    void RepairRecordCount(bool readOnly, THeaderInfo& info);
    std::vector<std::byte> NewLevelHeader(TdwCryptor& cryptor, const TTdbTableDefinition& def);
    std::vector<std::byte> OldLevelHeader(TdwCryptor& cryptor, const TTdbTableDefinition& def,
                                          std::span<const TTdbValueRange> ranges);
};

}  // namespace tdb
