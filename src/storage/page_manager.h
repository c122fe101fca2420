// The process-wide page cache every table, index, blob and memo file goes through: each physical
// file is opened once as a storage, cut into tiles of the file system's page size, and seen by its
// file objects as numbered logical pages through client storages and page sites.
//
// Thread safety: every operation that touches shared state takes the manager's one re-entrant
// lock. A client storage and its page sites belong to one session and are used by one thread at a
// time; the page bytes a site reads are shared with the other sessions of the same file, which the
// table locks keep from writing them at the same time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_image.h"
#include "base/log.h"
#include "platform/exception.h"
#include "storage/encryption.h"
#include "storage/file_system.h"

namespace tdb {

class TdwCryptor;
class TTdbClientStorage;
class TTdbFlushJournal;
class TTdbStoragePageSite;
struct TTdbStorage;

// A failure of the page manager; the message is the context, ": " and the reason (either alone
// when the other is empty).
class ETdbPageManager : public Exception {
public:
    ETdbPageManager(std::u16string context, std::u16string reason);

    const std::u16string& Context() const noexcept { return FContext; }
    const std::u16string& Reason() const noexcept { return FReason; }

private:
    std::u16string FContext;
    std::u16string FReason;
};

// The file of a storage does not exist.
class ETdbPMStorageNotFound : public ETdbPageManager {
public:
    using ETdbPageManager::ETdbPageManager;
};

// The file exists but may not be opened as asked (share mode, exclusivity, encryption).
class ETdbPMStorageAccessDenied : public ETdbPageManager {
public:
    using ETdbPageManager::ETdbPageManager;
};

// One cached buffer of one or more consecutive tiles. Internal to the page manager; declared here
// only so that the page sites' accessors stay inline.
struct TTdbStoragePage {
    static constexpr int32_t kClean = 0;
    static constexpr int32_t kStale = -1;

    std::unique_ptr<std::byte[]> FMemory;
    int32_t FMemorySize = 0;  // a multiple of the tile size
    // kClean, a client handle (> 0: modified by that client) or kStale (read again before use).
    // Changed only under the manager's lock; read without it by the page sites' accessors.
    std::atomic<int32_t> FClientHdl{kClean};
    int32_t FStorageHdl = 0;
    int32_t FTileNo = 0;  // the first tile the buffer holds
    std::unique_ptr<TTdbStoragePage> FNextInHash;
    TTdbStoragePage* FNextModified = nullptr;
    bool FOnModifiedList = false;
    int32_t FLocks = 0;  // pin count: a pinned buffer is never freed or recycled
};

class TTdbPageManager {
public:
    // The one cache of the process, made on first use.
    static TTdbPageManager& Instance();

    // A private cache, for tests that need a fresh state; production code uses Instance().
    TTdbPageManager();
    ~TTdbPageManager();
    TTdbPageManager(const TTdbPageManager&) = delete;
    TTdbPageManager& operator=(const TTdbPageManager&) = delete;

    // Cache sizes are in kilobytes; the limit is the sum over the registered clients.
    void RegisterClient(int32_t clientHdl, int32_t cacheSizeKB);
    // Lowers the limit (not below 0) and trims the cache at once.
    void UnregisterClient(int32_t clientHdl, int32_t cacheSizeKB);

    // Registers a named file system unless one of that name (any case) exists; a refused one is
    // freed. True when added.
    bool AddFileSystem(std::u16string_view name, std::unique_ptr<TdwFileSystem> fileSystem);
    // The registered file system, counting a reference, or null.
    TdwFileSystem* GetFileSystem(std::u16string_view name);
    // Drops a reference; the last one closes and frees the file system.
    void ReleaseFileSystem(TdwFileSystem* fileSystem);

    // Null (the default) writes no messages. The log is not owned and must outlive its use here.
    void SetLog(TTdbLog* log);
    // Writes to the log set here, if any: the files the cache serves report through it too.
    void LogMessage(int level, std::u16string_view subSystem, std::u16string_view message);

    // Observations for statistics and tests.
    int64_t CacheSize() const;   // bytes of buffers allocated, in use or pooled
    int64_t CacheLimit() const;  // bytes
    int64_t PooledSize() const;  // bytes of idle buffers in the pools
    int32_t OpenStorageCount() const;
    int32_t StorageSlotCount() const;  // slots in the storage list, free ones included

    std::recursive_mutex& CriticalSection() { return FCriticalSection; }

private:
    friend class TTdbClientStorage;
    friend class TTdbStoragePageSite;

    struct FileSystemEntry;
    struct Pool;

    TTdbStorage* Storage(int32_t storageHdl) const;
    // The open storage of a file: by its id where it has one, else by its expanded name.
    int32_t FindStorage(const TdwFileSystem& fileSystem, std::u16string_view expandedName,
                        const platform::FileId* fileId) const;
    int32_t AddStorage(std::unique_ptr<TTdbStorage> storage);
    void CloseStorage(int32_t storageHdl);

    // A buffer of the given size for a read or a new tile, after enforcing the cache limit.
    std::unique_ptr<TTdbStoragePage> TakeBuffer(int32_t size);
    void ReturnBuffer(std::unique_ptr<TTdbStoragePage> page);
    void EnforceLimit(bool mayWarn);
    void TrimPools();
    void Recount();
    template <typename Drop>
    void DropWhere(TTdbStorage& storage, Drop drop);

    // Logs at severity 3 and throws.
    template <typename E>
    [[noreturn]] void Raise(std::u16string context, std::u16string reason);
    void Log(int level, std::u16string_view message);

    mutable std::recursive_mutex FCriticalSection;
    std::vector<std::unique_ptr<FileSystemEntry>> FFileSystems;
    std::vector<std::unique_ptr<TTdbStorage>> FStorages;  // handle = position + 1; closed = null
    std::vector<Pool> FTileCaches;
    TTdbLog* FLog = nullptr;
    int64_t FCacheLimit = 0;
    int64_t FCacheSize = 0;
    std::vector<std::byte> FScratch;  // encrypted copies of tiles on their way to the file
};

// Makes the tile encryption of a storage whose client has no cryptor (null: not encrypted).
using TTdbEncryptionFactory = std::function<std::unique_ptr<TTdbEncryption>()>;

// One file as one file object sees it: a name, a page size and a session, over a shared storage.
// Destroying an open client storage closes it; its page sites are then emptied and detached.
class TTdbClientStorage {
public:
    // The cryptor is borrowed; null when the file's tiles are not encrypted by the cache.
    TTdbClientStorage(TTdbPageManager& pageManager, TdwFileSystem& fileSystem, int32_t clientHdl,
                      TdwCryptor* cryptor);
    ~TTdbClientStorage();
    TTdbClientStorage(const TTdbClientStorage&) = delete;
    TTdbClientStorage& operator=(const TTdbClientStorage&) = delete;

    // A client of the same page manager, file system and session, with no cryptor or name.
    static std::unique_ptr<TTdbClientStorage> CreateSibling(const TTdbClientStorage& storage);

    const std::u16string& Name() const { return FName; }
    void SetName(std::u16string_view name);

    // For files whose tiles are encrypted without a table cryptor; the cryptor, when there is
    // one, decides. Set before opening.
    void SetEncryptionFactory(TTdbEncryptionFactory factory);

    // Creates or empties the file and opens it as a new storage.
    void NewStorage();
    void Open(bool readOnly, bool exclusive);
    void Close();

    // Writes every modified buffer of the file (every client's) and cuts the file to its size.
    void Flush();
    // A flush in three steps, for writing several files as one behind a journal: the bytes the
    // next flush overwrites or cuts off, as the file holds them, and the file's length go to
    // the journal (false, and nothing added, when it would write nothing); the buffers are
    // written and the file cut, with durable also synced, but stay modified, so that a flush
    // that fails anywhere can be rolled back on disk and tried again; at last they are clean.
    bool JournalChanges(TTdbFlushJournal& journal);
    void WriteChanges(bool durable);
    void MarkWritten();
    // The file system's handle of the open file, which a journal rolls back through.
    int32_t FileHandle() const;
    // Throws away every unflushed change of the file.
    void Undo();
    // Forgets everything cached of the file, after another process may have changed it. With
    // a table change count, only when the cache has not been brought up to that count yet:
    // sessions of one process share the cache, and one re-read serves them all.
    void Invalidate(int64_t changeCount = -1);
    // The cache holds the file as of that table change count (this process wrote it).
    void MarkCurrent(int64_t changeCount);
    // Makes the file's contents, size and directory entry durable, and lets other processes
    // open a file this client created, without closing its handle.
    void UpdateDir();
    void SetPageCount(int32_t pageCount);
    void SetPageSize(int32_t pageSize);

    std::unique_ptr<TTdbStoragePageSite> CreatePageSite();
    std::unique_ptr<TTdbStoragePageSite> ReadPage(int32_t pageNo);
    std::unique_ptr<TTdbStoragePageSite> NewPage(int32_t pageNo);

    // Bypass the cache; the count transferred. A direct write also updates the cached copies of
    // the bytes it covers, so the cache never holds older bytes than the file.
    int32_t ReadDirect(int64_t pos, std::span<std::byte> buffer);
    int32_t WriteDirect(int64_t pos, std::span<const std::byte> buffer);

    bool IsOpen() const { return FStorageHdl != 0; }
    int32_t GetPageSize() const;
    int32_t GetPageCount() const;
    int64_t GetSize() const;
    bool GetReadOnly() const { return FReadOnly; }
    bool GetExclusive() const { return FExclusive; }
    int32_t ClientHdl() const { return FPageManClientHdl; }
    TTdbPageManager& PageManager() const { return FPageManager; }
    TdwFileSystem& FileSystem() const { return FFileSystem; }
    TdwCryptor* Cryptor() const { return FCryptor; }
    int32_t ReadCount() const { return FReadCount; }
    int32_t StorageHdl() const { return FStorageHdl; }

private:
    friend class TTdbStoragePageSite;
    friend class TTdbPageManager;

    TTdbStorage& OpenStorage(std::u16string_view operation) const;
    std::unique_ptr<TTdbEncryption> MakeEncryption(const std::u16string& context) const;
    int32_t FindOpenStorage(const std::u16string& expandedName) const;
    void AttachOpened();
    void RecountTiles(TTdbStorage& storage);

    TTdbPageManager& FPageManager;
    TdwFileSystem& FFileSystem;
    TdwCryptor* FCryptor;
    TTdbEncryptionFactory FEncryptionFactory;
    int32_t FPageSize = 0;  // 0: the storage's, or the tile size
    int32_t FPageManClientHdl;
    int32_t FStorageHdl = 0;
    std::u16string FName;
    bool FReadOnly = false;
    bool FExclusive = false;
    std::unique_ptr<TTdbStoragePageSite> FWorkPage;
    int32_t FReadCount = 0;
    TTdbStoragePageSite* FFirstSite = nullptr;  // every site made on this client, linked
};

// A cursor that holds one logical page pinned. Offsets are relative to the start of the page and
// checked against the page size; integers are little-endian. Every write marks the page modified
// first, so a refused write leaves the page as it was. Destroying a site unpins its page.
class TTdbStoragePageSite {
public:
    explicit TTdbStoragePageSite(TTdbClientStorage& clientStorage);
    ~TTdbStoragePageSite();
    TTdbStoragePageSite(const TTdbStoragePageSite&) = delete;
    TTdbStoragePageSite& operator=(const TTdbStoragePageSite&) = delete;

    std::unique_ptr<TTdbStoragePageSite> CreateSibling() const;

    // 0 <= pageNo < page count, else "Page no is invalid".
    void LoadPage(int32_t pageNo);
    // Like LoadPage, but a page at or beyond the end gets a zeroed buffer and grows the storage.
    void InitPage(int32_t pageNo);
    void UnloadPage();
    // Copies this page's bytes to page pageNo and makes that page current.
    void MovePage(int32_t pageNo);

    int32_t PageNo() const { return FPageNo; }
    int32_t PageSize() const { return FPageLen; }
    TTdbClientStorage* ClientStorage() const { return FClientStorage; }

    int8_t ReadInt8(int32_t offset) { return LoadLE<int8_t>(Address(offset, 1)); }
    int16_t ReadInt16(int32_t offset) { return LoadLE<int16_t>(Address(offset, 2)); }
    int32_t ReadInt32(int32_t offset) { return LoadLE<int32_t>(Address(offset, 4)); }
    void CopyTo(int32_t offsetFrom, std::span<std::byte> dest);
    // Pointers into the pinned buffer; valid while the page stays loaded. Writing through them
    // needs a Modify call of its own.
    std::byte* GetAddress(int32_t offset) { return Address(offset, 0); }
    std::span<std::byte> GetMemory() {
        return {Address(0, FPageLen), static_cast<size_t>(FPageLen)};
    }

    void WriteInt8(int32_t offset, int8_t value);
    void WriteInt16(int32_t offset, int16_t value);
    void WriteInt32(int32_t offset, int32_t value);
    // A 16-bit length, then the 8-bit characters.
    void WriteWPAnsiString(int32_t offset, std::string_view value);
    // A 16-bit length, then the UTF-16 code units.
    void WriteWPWideString(int32_t offset, std::u16string_view value);
    // Within the page; the ranges may overlap.
    void Copy(int32_t offsetFrom, int32_t offsetTo, int32_t count);
    void CopyFrom(std::span<const std::byte> source, int32_t offsetTo);
    void CopyFrom(TTdbStoragePageSite& source, int32_t offsetFrom, int32_t offsetTo, int32_t count);

    // Marks the page modified by this site's session.
    void Modify();

private:
    friend class TTdbClientStorage;

    std::byte* Address(int32_t offset, int32_t count) {
        TTdbStoragePage* page = FStorageTile;
        if (page == nullptr || page->FClientHdl.load(std::memory_order_relaxed) < 0 || offset < 0 ||
            count < 0 || count > FPageLen - offset) {
            return SlowAddress(offset, count);
        }
        return page->FMemory.get() + FTileOffset + offset;
    }
    std::byte* SlowAddress(int32_t offset, int32_t count);
    std::byte* WriteAddress(int32_t offset, int32_t count);

    void Load(int32_t pageNo, bool init);
    void Release();
    void Detach();

    TTdbClientStorage* FClientStorage;
    int32_t FPageNo = -1;
    int32_t FTileOffset = 0;
    int32_t FPageLen = 0;
    TTdbStoragePage* FStorageTile = nullptr;
    TTdbStoragePageSite* FPrevSite = nullptr;
    TTdbStoragePageSite* FNextSite = nullptr;
};

}  // namespace tdb
