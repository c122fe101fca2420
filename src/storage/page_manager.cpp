// The page cache: storages opened once per physical file, tiles cached in pooled buffers, page
// sites that pin them, and the flush, undo and invalidation that the table layer's write
// transactions and lock protocol are built on.
//
// Design notes
//
//  1. A storage is one open physical file. Its cached buffers live in its hash (bucket = tile mod
//     length; the length starts at max(64, tiles / 10) and grows when chains average more than
//     two buffers); every buffer that is not pooled is in exactly one storage's hash, which owns
//     it. Pooled buffers are owned by their size's pool.
//  2. A buffer holds tiles-per-buffer consecutive tiles starting at a multiple of tiles-per-buffer
//     of the storage's current page size. At most one buffer of a tile is not stale; lookups see
//     only buffers that are not stale, so two clients can never change two copies of one tile.
//  3. States: clean (0), modified (> 0, the client handle that changed it) and stale (-1). A
//     buffer is on its storage's modified list exactly when it is modified; a stale buffer is
//     never on it and is never written.
//  4. Pinning: a site pins the one buffer it holds. A pinned buffer is never pooled, freed or
//     reused for another tile; what would drop it marks it stale instead, and the site reads it
//     again (or switches to a fresh copy) on its next access. When the last pin of a stale buffer
//     goes, the buffer leaves the hash for the pool.
//  5. Accounting: the cache size is the bytes of every buffer allocated, in the hashes and in the
//     pools. Only pooled buffers are freed. The limit is checked before a buffer is taken for a
//     read or a new tile, never on a hit.
//  6. Tiles at or beyond a storage's tile count are not read: their bytes are zeros until written.
//     Bytes the file lacks inside a tile that is read are zeros too.
//  7. A flush that fails leaves the buffer it could not write, and every one after it, modified
//     and on the list; the cache's copies are never encrypted in place. The buffer of tile 0,
//     where every file kind keeps the header that counts and points at the rest, is written
//     last, so that a reader never meets a header ahead of what it describes. A flush cuts the
//     file only where this storage shortened it: the file may have grown in another process.
//  8. A storage is found by the identity of its file (device and inode) where the file system
//     can tell it, else by the exact expanded name: two names of one file share one cache, and
//     two files never do, whatever their names look like.
//  9. A stale buffer is read again in place only by its one pinning site; while other sites pin
//     it too, they may be reading it without the lock, so a fresh copy is taken instead and they
//     switch to it on their next access.
//
// Buffer states:
//
//     pool --take+read/zero--> clean --Modify--> modified --Flush--> clean
//                                |                   |
//                                |    Undo, Invalidate, page count or page size change
//                                |                   |
//                                +------+------------+
//                                       | pinned                  | not pinned
//                                       v                         v
//                                     stale --last unpin-->     pool
//                                       |
//                                       +--next access: read again (or switch to a fresh copy)
//                                                        --> clean
//
//     clean, not pinned --cache over its limit (recount)--> pool --trim--> freed
#include "storage/page_manager.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/text.h"
#include "storage/cryptor.h"
#include "storage/flush_journal.h"

namespace tdb {

namespace {

// Simple case folding for file names: ASCII, Latin-1 and Latin Extended-A, which covers the
// letters Hungarian and its neighbours put into names.
char16_t FoldCase(char16_t c) {
    if (c < 0x80) {
        return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
    }
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) {
        return static_cast<char16_t>(c + 0x20);
    }
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) {
            return c;
        }
        if (c == 0x178) {
            return 0xFF;
        }
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddUpper) {
            return (c % 2 == 1) ? static_cast<char16_t>(c + 1) : c;
        }
        return (c % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
    }
    return c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) {
            return false;
        }
    }
    return true;
}

bool ValidPageSize(int32_t pageSize, int32_t tileSize) {
    if (pageSize <= 0 || tileSize <= 0) {
        return false;
    }
    return pageSize <= tileSize ? tileSize % pageSize == 0 : pageSize % tileSize == 0;
}

constexpr int32_t kModeReadOnly = 0x00;
constexpr int32_t kModeReadWrite = 0x02;
constexpr int32_t kModeExclusive = 0x10;
constexpr int32_t kModeShared = 0x40;

int32_t OpenMode(bool readOnly, bool exclusive) {
    return (readOnly ? kModeReadOnly : kModeReadWrite) | (exclusive ? kModeExclusive : kModeShared);
}

constexpr std::u16string_view kSubSystem = u"Page Manager";

// The bytes a cut takes away go to a journal in pieces of this size.
constexpr int64_t kJournalChunk = int64_t{1} << 16;

}  // namespace

// ---------------------------------------------------------------------------------------------
// Exceptions

ETdbPageManager::ETdbPageManager(std::u16string context, std::u16string reason)
    : Exception(context.empty()  ? reason
                : reason.empty() ? context
                                 : context + u": " + reason),
      FContext(std::move(context)),
      FReason(std::move(reason)) {}

// ---------------------------------------------------------------------------------------------
// Storages

struct TTdbStorage {
    std::u16string FName;          // as the first client named it
    std::u16string FExpandedName;  // what clients are matched by without a file id
    bool FHasFileId = false;
    platform::FileId FFileId;
    TdwFileSystem* FFileSystem = nullptr;
    bool FReadOnly = false;
    bool FExclusive = false;
    int32_t FFileHdl = -1;
    std::unique_ptr<TTdbEncryption> FEncryption;
    int32_t FTileSize = 0;
    int32_t FTileCount = 0;
    int32_t FPageSize = 0;
    int32_t FRefCounter = 0;
    bool FShortened = false;  // the tile count was lowered since the last flush
    // The table change count the cache was last brought up to; the sessions of one process
    // share the storage, so the first of them to notice a change re-reads it for all.
    int64_t FChangeGeneration = -1;
    std::vector<std::unique_ptr<TTdbStoragePage>> FCachedPages;
    size_t FCachedCount = 0;
    TTdbStoragePage* FFirstModifiedPage = nullptr;

    int32_t TilesPerBuffer() const { return FPageSize > FTileSize ? FPageSize / FTileSize : 1; }
    int32_t BufferSize() const { return TilesPerBuffer() * FTileSize; }
    int64_t PageCount() const {
        return (int64_t{FTileCount} * FTileSize + FPageSize - 1) / FPageSize;
    }

    void MakeHash() {
        const size_t length = std::max<size_t>(64, static_cast<size_t>(FTileCount / 10));
        FCachedPages.clear();
        FCachedPages.resize(length);
    }

    size_t Bucket(int32_t tileNo) const {
        return static_cast<size_t>(static_cast<uint32_t>(tileNo)) % FCachedPages.size();
    }

    // The buffer of a tile that is not stale, or null.
    TTdbStoragePage* Find(int32_t tileNo) const {
        for (TTdbStoragePage* page = FCachedPages[Bucket(tileNo)].get(); page != nullptr;
             page = page->FNextInHash.get()) {
            if (page->FTileNo == tileNo &&
                page->FClientHdl.load(std::memory_order_relaxed) != TTdbStoragePage::kStale) {
                return page;
            }
        }
        return nullptr;
    }

    // Appends at the end of the tile's chain. A file that grew far beyond the size it was
    // opened with gets more buckets, so that hits stay short walks.
    void Insert(std::unique_ptr<TTdbStoragePage> page) {
        if (++FCachedCount > 2 * FCachedPages.size()) {
            Rehash(2 * FCachedCount);
        }
        std::unique_ptr<TTdbStoragePage>* link = &FCachedPages[Bucket(page->FTileNo)];
        while (*link) {
            link = &(*link)->FNextInHash;
        }
        *link = std::move(page);
    }

    void Rehash(size_t length) {
        std::vector<std::unique_ptr<TTdbStoragePage>> old(length);
        old.swap(FCachedPages);
        for (auto& head : old) {
            while (head) {
                std::unique_ptr<TTdbStoragePage> page = std::move(head);
                head = std::move(page->FNextInHash);
                std::unique_ptr<TTdbStoragePage>& bucket = FCachedPages[Bucket(page->FTileNo)];
                page->FNextInHash = std::move(bucket);
                bucket = std::move(page);
            }
        }
    }

    std::unique_ptr<TTdbStoragePage> Remove(TTdbStoragePage* target) {
        std::unique_ptr<TTdbStoragePage>* link = &FCachedPages[Bucket(target->FTileNo)];
        while (*link && link->get() != target) {
            link = &(*link)->FNextInHash;
        }
        if (!*link) {
            return nullptr;
        }
        std::unique_ptr<TTdbStoragePage> page = std::move(*link);
        *link = std::move(page->FNextInHash);
        --FCachedCount;
        return page;
    }

    // Takes every buffer for which take(page) holds out of the hash and hands it to sink.
    template <typename Take, typename Sink>
    void RemoveIf(Take take, Sink sink) {
        for (auto& head : FCachedPages) {
            std::unique_ptr<TTdbStoragePage>* link = &head;
            while (*link) {
                if (take(**link)) {
                    std::unique_ptr<TTdbStoragePage> page = std::move(*link);
                    *link = std::move(page->FNextInHash);
                    --FCachedCount;
                    sink(std::move(page));
                } else {
                    link = &(*link)->FNextInHash;
                }
            }
        }
    }

    template <typename Visit>
    void ForEach(Visit visit) const {
        for (const auto& head : FCachedPages) {
            for (TTdbStoragePage* page = head.get(); page != nullptr;
                 page = page->FNextInHash.get()) {
                visit(*page);
            }
        }
    }

    void PushModified(TTdbStoragePage& page) {
        page.FNextModified = FFirstModifiedPage;
        page.FOnModifiedList = true;
        FFirstModifiedPage = &page;
    }

    // Moves the listed buffer of the tile, if there is one, to the end of the list.
    void MoveToEndOfModified(int32_t tileNo) {
        TTdbStoragePage** link = &FFirstModifiedPage;
        while (*link != nullptr && (*link)->FTileNo != tileNo) {
            link = &(*link)->FNextModified;
        }
        TTdbStoragePage* page = *link;
        if (page == nullptr || page->FNextModified == nullptr) {
            return;
        }
        *link = page->FNextModified;
        page->FNextModified = nullptr;
        while (*link != nullptr) {
            link = &(*link)->FNextModified;
        }
        *link = page;
    }

    // Unlinks every listed buffer for which pred holds; their state is left to the caller.
    template <typename Pred>
    void UnlinkModified(Pred pred) {
        TTdbStoragePage** link = &FFirstModifiedPage;
        while (*link != nullptr) {
            TTdbStoragePage* page = *link;
            if (pred(*page)) {
                *link = page->FNextModified;
                page->FNextModified = nullptr;
                page->FOnModifiedList = false;
            } else {
                link = &page->FNextModified;
            }
        }
    }
};

// ---------------------------------------------------------------------------------------------
// The manager

struct TTdbPageManager::FileSystemEntry {
    std::u16string FName;
    std::unique_ptr<TdwFileSystem> FFileSystem;
    int32_t FReferenceCounter = 0;
};

struct TTdbPageManager::Pool {
    int32_t FSize = 0;
    std::vector<std::unique_ptr<TTdbStoragePage>> FPages;
};

TTdbPageManager& TTdbPageManager::Instance() {
    static TTdbPageManager instance;
    return instance;
}

TTdbPageManager::TTdbPageManager() = default;

TTdbPageManager::~TTdbPageManager() {
    for (auto& storage : FStorages) {
        if (storage && storage->FFileHdl >= 0) {
            storage->FFileSystem->CloseFile(storage->FFileHdl);
        }
    }
    for (auto& entry : FFileSystems) {
        entry->FFileSystem->Close();
    }
}

void TTdbPageManager::RegisterClient(int32_t /*clientHdl*/, int32_t cacheSizeKB) {
    std::lock_guard lock(FCriticalSection);
    FCacheLimit += int64_t{std::max(cacheSizeKB, 0)} * 1024;
}

void TTdbPageManager::UnregisterClient(int32_t /*clientHdl*/, int32_t cacheSizeKB) {
    std::lock_guard lock(FCriticalSection);
    FCacheLimit = std::max<int64_t>(0, FCacheLimit - int64_t{std::max(cacheSizeKB, 0)} * 1024);
    EnforceLimit(false);
}

bool TTdbPageManager::AddFileSystem(std::u16string_view name,
                                    std::unique_ptr<TdwFileSystem> fileSystem) {
    std::lock_guard lock(FCriticalSection);
    if (!fileSystem) {
        return false;
    }
    for (const auto& entry : FFileSystems) {
        if (SameName(entry->FName, name)) {
            return false;
        }
    }
    auto entry = std::make_unique<FileSystemEntry>();
    entry->FName = std::u16string(name);
    entry->FFileSystem = std::move(fileSystem);
    FFileSystems.push_back(std::move(entry));
    return true;
}

TdwFileSystem* TTdbPageManager::GetFileSystem(std::u16string_view name) {
    std::lock_guard lock(FCriticalSection);
    for (const auto& entry : FFileSystems) {
        if (SameName(entry->FName, name)) {
            ++entry->FReferenceCounter;
            return entry->FFileSystem.get();
        }
    }
    return nullptr;
}

void TTdbPageManager::ReleaseFileSystem(TdwFileSystem* fileSystem) {
    std::lock_guard lock(FCriticalSection);
    for (auto it = FFileSystems.begin(); it != FFileSystems.end(); ++it) {
        if ((*it)->FFileSystem.get() == fileSystem) {
            if (--(*it)->FReferenceCounter <= 0) {
                (*it)->FFileSystem->Close();
                FFileSystems.erase(it);
            }
            return;
        }
    }
    Raise<ETdbPageManager>(
        u"Releasing file system",
        u"File system " + QuotedText(fileSystem ? fileSystem->BaseDirectory() : u"") + u" not fond");
}

void TTdbPageManager::SetLog(TTdbLog* log) {
    std::lock_guard lock(FCriticalSection);
    FLog = log;
}

int64_t TTdbPageManager::CacheSize() const {
    std::lock_guard lock(FCriticalSection);
    return FCacheSize;
}

int64_t TTdbPageManager::CacheLimit() const {
    std::lock_guard lock(FCriticalSection);
    return FCacheLimit;
}

int64_t TTdbPageManager::PooledSize() const {
    std::lock_guard lock(FCriticalSection);
    int64_t size = 0;
    for (const auto& pool : FTileCaches) {
        size += int64_t{pool.FSize} * static_cast<int64_t>(pool.FPages.size());
    }
    return size;
}

int32_t TTdbPageManager::OpenStorageCount() const {
    std::lock_guard lock(FCriticalSection);
    return static_cast<int32_t>(std::count_if(FStorages.begin(), FStorages.end(),
                                              [](const auto& s) { return s != nullptr; }));
}

int32_t TTdbPageManager::StorageSlotCount() const {
    std::lock_guard lock(FCriticalSection);
    return static_cast<int32_t>(FStorages.size());
}

TTdbStorage* TTdbPageManager::Storage(int32_t storageHdl) const {
    if (storageHdl <= 0 || static_cast<size_t>(storageHdl) > FStorages.size()) {
        return nullptr;
    }
    return FStorages[static_cast<size_t>(storageHdl) - 1].get();
}

int32_t TTdbPageManager::FindStorage(const TdwFileSystem& fileSystem,
                                     std::u16string_view expandedName,
                                     const platform::FileId* fileId) const {
    for (size_t i = 0; i < FStorages.size(); ++i) {
        const TTdbStorage* storage = FStorages[i].get();
        if (storage == nullptr || storage->FFileSystem != &fileSystem) {
            continue;
        }
        const bool same =
            storage->FHasFileId || fileId != nullptr
                ? storage->FHasFileId && fileId != nullptr && storage->FFileId == *fileId
                : storage->FExpandedName == expandedName;
        if (same) {
            return static_cast<int32_t>(i + 1);
        }
    }
    return 0;
}

// Every new storage takes the highest free slot, so that a process that opens and closes files
// all day keeps a short list.
int32_t TTdbPageManager::AddStorage(std::unique_ptr<TTdbStorage> storage) {
    for (size_t i = FStorages.size(); i > 0; --i) {
        if (!FStorages[i - 1]) {
            FStorages[i - 1] = std::move(storage);
            return static_cast<int32_t>(i);
        }
    }
    FStorages.push_back(std::move(storage));
    Log(2, u"There are " + NumberText(OpenStorageCount()) + u" open storages");
    return static_cast<int32_t>(FStorages.size());
}

void TTdbPageManager::CloseStorage(int32_t storageHdl) {
    TTdbStorage* storage = Storage(storageHdl);
    if (storage == nullptr) {
        return;
    }
    // Nothing is pinned any more: every client has unloaded its sites. Unflushed changes are
    // thrown away, as the owners flush before they close.
    storage->UnlinkModified([](const TTdbStoragePage&) { return true; });
    storage->RemoveIf(
        [](const TTdbStoragePage&) { return true; },
        [this](std::unique_ptr<TTdbStoragePage> page) { ReturnBuffer(std::move(page)); });
    storage->FFileSystem->CloseFile(storage->FFileHdl);
    FStorages[static_cast<size_t>(storageHdl) - 1].reset();
}

std::unique_ptr<TTdbStoragePage> TTdbPageManager::TakeBuffer(int32_t size) {
    EnforceLimit(true);
    for (auto& pool : FTileCaches) {
        if (pool.FSize == size && !pool.FPages.empty()) {
            std::unique_ptr<TTdbStoragePage> page = std::move(pool.FPages.back());
            pool.FPages.pop_back();
            return page;
        }
    }
    auto page = std::make_unique<TTdbStoragePage>();
    page->FMemory = std::make_unique_for_overwrite<std::byte[]>(static_cast<size_t>(size));
    page->FMemorySize = size;
    FCacheSize += size;
    return page;
}

void TTdbPageManager::ReturnBuffer(std::unique_ptr<TTdbStoragePage> page) {
    if (!page) {
        return;
    }
    page->FClientHdl.store(TTdbStoragePage::kClean, std::memory_order_relaxed);
    page->FStorageHdl = 0;
    page->FLocks = 0;
    page->FNextModified = nullptr;
    page->FOnModifiedList = false;
    page->FNextInHash.reset();
    for (auto& pool : FTileCaches) {
        if (pool.FSize == page->FMemorySize) {
            pool.FPages.push_back(std::move(page));
            return;
        }
    }
    Pool pool;
    pool.FSize = page->FMemorySize;
    pool.FPages.push_back(std::move(page));
    FTileCaches.push_back(std::move(pool));
}

void TTdbPageManager::EnforceLimit(bool mayWarn) {
    if (FCacheSize < FCacheLimit) {
        return;
    }
    TrimPools();
    if (FCacheSize >= FCacheLimit) {
        Recount();
        TrimPools();
    }
    if (mayWarn && FCacheSize >= FCacheLimit) {
        Log(2, u"Cache size is over limit (" + NumberText(FCacheLimit) + u") but cannot be reduced");
    }
}

void TTdbPageManager::TrimPools() {
    while (FCacheSize * 10 >= FCacheLimit * 7) {
        Pool* largest = nullptr;
        for (auto& pool : FTileCaches) {
            if (!pool.FPages.empty() &&
                (largest == nullptr || pool.FPages.size() > largest->FPages.size())) {
                largest = &pool;
            }
        }
        if (largest == nullptr) {
            return;
        }
        const size_t keep = largest->FPages.size() / 2;
        FCacheSize -= int64_t{largest->FSize} * static_cast<int64_t>(largest->FPages.size() - keep);
        largest->FPages.resize(keep);
    }
}

void TTdbPageManager::Recount() {
    int64_t inUse = 0;
    for (auto& storage : FStorages) {
        if (!storage) {
            continue;
        }
        storage->RemoveIf(
            [](const TTdbStoragePage& page) {
                return page.FLocks == 0 &&
                       page.FClientHdl.load(std::memory_order_relaxed) == TTdbStoragePage::kClean;
            },
            [this](std::unique_ptr<TTdbStoragePage> page) { ReturnBuffer(std::move(page)); });
        storage->ForEach([&inUse](const TTdbStoragePage& page) { inUse += page.FMemorySize; });
    }
    int64_t pooled = 0;
    for (const auto& pool : FTileCaches) {
        pooled += int64_t{pool.FSize} * static_cast<int64_t>(pool.FPages.size());
    }
    FCacheSize = inUse + pooled;
}

void TTdbPageManager::Log(int level, std::u16string_view message) {
    LogMessage(level, kSubSystem, message);
}

void TTdbPageManager::LogMessage(int level, std::u16string_view subSystem,
                                 std::u16string_view message) {
    std::lock_guard lock(FCriticalSection);
    if (FLog != nullptr) {
        FLog->LogMessage(level, subSystem, message);
    }
}

template <typename E>
void TTdbPageManager::Raise(std::u16string context, std::u16string reason) {
    E error(std::move(context), std::move(reason));
    Log(3, error.Message());
    throw error;
}

// ---------------------------------------------------------------------------------------------
// Reading and writing buffers

namespace {

// Reads the tiles of a buffer that the storage has; the rest, and whatever the file lacks, are
// zeros. False when the file system fails.
bool ReadBuffer(TTdbStorage& storage, TTdbStoragePage& page, int32_t& readCount) {
    const int32_t tileSize = storage.FTileSize;
    const int64_t tilesThere = std::clamp<int64_t>(int64_t{storage.FTileCount} - page.FTileNo, 0,
                                                   page.FMemorySize / tileSize);
    const auto wanted = static_cast<size_t>(tilesThere * tileSize);
    std::byte* memory = page.FMemory.get();
    int32_t got = 0;
    if (wanted > 0) {
        got = storage.FFileSystem->FileRead(storage.FFileHdl, int64_t{page.FTileNo} * tileSize,
                                            std::span(memory, wanted));
        if (got < 0) {
            return false;
        }
        readCount += static_cast<int32_t>(tilesThere);
    }
    std::memset(memory + got, 0, static_cast<size_t>(page.FMemorySize - got));
    if (storage.FEncryption) {
        for (int32_t at = 0; at < got; at += tileSize) {
            const int32_t length = std::min(tileSize, got - at);
            storage.FEncryption->DecryptBlock(std::span(memory + at, static_cast<size_t>(length)));
        }
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Client storages

TTdbClientStorage::TTdbClientStorage(TTdbPageManager& pageManager, TdwFileSystem& fileSystem,
                                     int32_t clientHdl, TdwCryptor* cryptor)
    : FPageManager(pageManager),
      FFileSystem(fileSystem),
      FCryptor(cryptor),
      FPageManClientHdl(clientHdl) {}

TTdbClientStorage::~TTdbClientStorage() {
    std::lock_guard lock(FPageManager.FCriticalSection);
    try {
        Close();
    } catch (...) {  // NOLINT: a destructor must not throw; the close drops nothing that is kept
    }
    while (FFirstSite != nullptr) {
        FFirstSite->Detach();
    }
}

std::unique_ptr<TTdbClientStorage> TTdbClientStorage::CreateSibling(
    const TTdbClientStorage& storage) {
    return std::make_unique<TTdbClientStorage>(storage.FPageManager, storage.FFileSystem,
                                               storage.FPageManClientHdl, nullptr);
}

void TTdbClientStorage::SetName(std::u16string_view name) {
    FName = std::u16string(name);
}

void TTdbClientStorage::SetEncryptionFactory(TTdbEncryptionFactory factory) {
    FEncryptionFactory = std::move(factory);
}

// A cryptor that cannot make its object must not let the tiles go out in plain text.
std::unique_ptr<TTdbEncryption> TTdbClientStorage::MakeEncryption(
    const std::u16string& context) const {
    if (FCryptor != nullptr) {
        std::unique_ptr<TTdbEncryption> encryption = FCryptor->CreateEncryption();
        if (!encryption) {
            FPageManager.Raise<ETdbPMStorageAccessDenied>(context, u"Wrong encryption");
        }
        return encryption;
    }
    return FEncryptionFactory ? FEncryptionFactory() : nullptr;
}

TTdbStorage& TTdbClientStorage::OpenStorage(std::u16string_view operation) const {
    TTdbStorage* storage = FPageManager.Storage(FStorageHdl);
    if (storage == nullptr) {
        FPageManager.Raise<ETdbPageManager>(std::u16string(operation) + u" " + QuotedText(FName),
                                            u"Storage is not open");
    }
    return *storage;
}

void TTdbClientStorage::NewStorage() {
    std::lock_guard lock(FPageManager.FCriticalSection);
    const std::u16string context = u"Cannot create storage " + FName;
    if (IsOpen()) {
        FPageManager.Raise<ETdbPageManager>(context, u"Storage is already open");
    }
    const int32_t tileSize = FFileSystem.GetPageSize();
    const int32_t pageSize = FPageSize != 0 ? FPageSize : tileSize;
    if (!ValidPageSize(pageSize, tileSize)) {
        FPageManager.Raise<ETdbPageManager>(context,
                                            u"Page size " + NumberText(pageSize) + u" is invalid");
    }
    const std::u16string expanded = FFileSystem.ExpandFileName(FName);
    // Emptying a file that this process has open would pull the bytes from under its cache.
    if (FindOpenStorage(expanded) != 0) {
        FPageManager.Raise<ETdbPMStorageAccessDenied>(
            context, u"May not be opened twice if one is exclusive");
    }
    std::unique_ptr<TTdbEncryption> encryption = MakeEncryption(context);
    const int32_t handle = FFileSystem.CreateFile(FName);
    if (!TdwFileSystem::IsValidHandle(handle)) {
        FPageManager.Raise<ETdbPageManager>(context,
                                            u"Error " + NumberText(FFileSystem.GetLastError()));
    }
    auto storage = std::make_unique<TTdbStorage>();
    storage->FName = FName;
    storage->FExpandedName = expanded;
    storage->FHasFileId = FFileSystem.GetFileId(handle, storage->FFileId);
    storage->FFileSystem = &FFileSystem;
    storage->FFileHdl = handle;
    storage->FEncryption = std::move(encryption);
    storage->FTileSize = tileSize;
    storage->FPageSize = pageSize;
    storage->FRefCounter = 1;
    storage->MakeHash();
    FStorageHdl = FPageManager.AddStorage(std::move(storage));
    FPageSize = pageSize;
    FReadOnly = false;
    FExclusive = false;
    AttachOpened();
}

void TTdbClientStorage::Open(bool readOnly, bool exclusive) {
    std::lock_guard lock(FPageManager.FCriticalSection);
    const std::u16string context = u"Cannot open storage " + QuotedText(FName);
    if (IsOpen()) {
        FPageManager.Raise<ETdbPageManager>(context, u"Storage is already open");
    }
    const int32_t tileSize = FFileSystem.GetPageSize();
    if (FPageSize != 0 && !ValidPageSize(FPageSize, tileSize)) {
        FPageManager.Raise<ETdbPageManager>(context,
                                            u"Page size " + NumberText(FPageSize) + u" is invalid");
    }
    const std::u16string expanded = FFileSystem.ExpandFileName(FName);
    int32_t storageHdl = FindOpenStorage(expanded);
    if (storageHdl == 0) {
        if (!FFileSystem.FileExists(FName)) {
            FPageManager.Raise<ETdbPMStorageNotFound>(u"Storage " + QuotedText(FName) + u" not found",
                                                      u"");
        }
        std::unique_ptr<TTdbEncryption> encryption = MakeEncryption(context);
        const int32_t handle = FFileSystem.OpenFile(FName, OpenMode(readOnly, exclusive));
        if (!TdwFileSystem::IsValidHandle(handle)) {
            FPageManager.Raise<ETdbPMStorageAccessDenied>(
                context, FFileSystem.GetErrorMessage(FFileSystem.GetLastError()));
        }
        auto storage = std::make_unique<TTdbStorage>();
        storage->FEncryption = std::move(encryption);
        storage->FName = FName;
        storage->FExpandedName = expanded;
        storage->FHasFileId = FFileSystem.GetFileId(handle, storage->FFileId);
        storage->FFileSystem = &FFileSystem;
        storage->FFileHdl = handle;
        storage->FReadOnly = readOnly;
        storage->FExclusive = exclusive;
        storage->FTileSize = tileSize;
        try {
            const int64_t size = FFileSystem.GetFileSize(handle);
            storage->FTileCount = static_cast<int32_t>((size + tileSize - 1) / tileSize);
        } catch (const Exception& e) {
            FFileSystem.CloseFile(handle);
            FPageManager.Raise<ETdbPMStorageAccessDenied>(context, e.Message());
        }
        storage->MakeHash();
        storageHdl = FPageManager.AddStorage(std::move(storage));
        FPageManager.Log(1, u"Storage " + QuotedText(FName) + u" opened.");
    } else {
        TTdbStorage& storage = *FPageManager.Storage(storageHdl);
        if (exclusive || storage.FExclusive) {
            FPageManager.Raise<ETdbPMStorageAccessDenied>(
                context, u"May not be opened twice if one is exclusive");
        }
        std::unique_ptr<TTdbEncryption> encryption = MakeEncryption(context);
        bool agree = (encryption != nullptr) == (storage.FEncryption != nullptr);
        if (agree && encryption) {
            std::vector<std::byte> test(4000);
            for (int32_t i = 0; i < 1000; ++i) {
                StoreLE<int32_t>(test.data() + i * 4, i);
            }
            const std::vector<std::byte> plain = test;
            storage.FEncryption->EncryptBlock(test);
            encryption->DecryptBlock(test);
            agree = test == plain;
        }
        if (!agree) {
            FPageManager.Raise<ETdbPMStorageAccessDenied>(context, u"Wrong encryption");
        }
        // A writer joining readers needs a handle that may write.
        if (storage.FReadOnly && !readOnly) {
            const int32_t handle = FFileSystem.OpenFile(FName, OpenMode(false, false));
            if (!TdwFileSystem::IsValidHandle(handle)) {
                FPageManager.Raise<ETdbPMStorageAccessDenied>(
                    context, FFileSystem.GetErrorMessage(FFileSystem.GetLastError()));
            }
            FFileSystem.CloseFile(storage.FFileHdl);
            storage.FFileHdl = handle;
            storage.FReadOnly = false;
        }
        if (storage.FPageSize != 0) {
            FPageSize = storage.FPageSize;
        }
    }
    TTdbStorage& storage = *FPageManager.Storage(storageHdl);
    if (storage.FPageSize == 0) {
        storage.FPageSize = FPageSize != 0 ? FPageSize : tileSize;
    }
    FPageSize = storage.FPageSize;
    ++storage.FRefCounter;
    FStorageHdl = storageHdl;
    FReadOnly = readOnly;
    FExclusive = exclusive;
    AttachOpened();
}

int32_t TTdbClientStorage::FindOpenStorage(const std::u16string& expandedName) const {
    platform::FileId id;
    const bool known = FFileSystem.GetFileId(FName, id);
    return FPageManager.FindStorage(FFileSystem, expandedName, known ? &id : nullptr);
}

void TTdbClientStorage::AttachOpened() {
    FWorkPage = std::make_unique<TTdbStoragePageSite>(*this);
}

void TTdbClientStorage::Close() {
    std::lock_guard lock(FPageManager.FCriticalSection);
    if (!IsOpen()) {
        return;
    }
    for (TTdbStoragePageSite* site = FFirstSite; site != nullptr; site = site->FNextSite) {
        site->Release();
    }
    FWorkPage.reset();
    TTdbStorage* storage = FPageManager.Storage(FStorageHdl);
    if (storage != nullptr && --storage->FRefCounter <= 0) {
        FPageManager.CloseStorage(FStorageHdl);
    }
    FStorageHdl = 0;
}

void TTdbClientStorage::Flush() {
    std::lock_guard lock(FPageManager.FCriticalSection);
    WriteChanges(false);
    MarkWritten();
}

namespace {

// The length the file gets from the next flush, given the tile count the cache holds.
int64_t FlushedLength(const TTdbStorage& storage, int64_t fileLength) {
    int64_t tiles = storage.FTileCount;
    for (const TTdbStoragePage* page = storage.FFirstModifiedPage; page != nullptr;
         page = page->FNextModified) {
        tiles = std::max<int64_t>(tiles, page->FTileNo + page->FMemorySize / storage.FTileSize);
    }
    const int64_t length = tiles * storage.FTileSize;
    return storage.FShortened ? length : std::max(length, fileLength);
}

}  // namespace

bool TTdbClientStorage::JournalChanges(TTdbFlushJournal& journal) {
    std::lock_guard lock(FPageManager.FCriticalSection);
    TTdbStorage& storage = OpenStorage(u"Journaling storage");
    bool modified = false;
    for (const TTdbStoragePage* page = storage.FFirstModifiedPage; page != nullptr && !modified;
         page = page->FNextModified) {
        modified = page->FClientHdl.load(std::memory_order_relaxed) > 0;
    }
    // Most flushes find nothing to write; they cost no call of the file system.
    if (storage.FReadOnly || (!modified && !storage.FShortened)) {
        return false;
    }
    const std::u16string context = u"Journaling storage " + QuotedText(FName);
    int64_t fileLength = 0;
    try {
        fileLength = storage.FFileSystem->GetFileSize(storage.FFileHdl);
    } catch (const Exception& e) {
        FPageManager.Raise<ETdbPageManager>(context, e.Message());
    }
    const int64_t newLength = FlushedLength(storage, fileLength);
    if (!modified && newLength >= fileLength) {
        return false;
    }
    const int32_t fileNo = journal.AddFile(FName, fileLength);
    std::vector<std::byte>& original = FPageManager.FScratch;
    // The bytes as the file holds them, encrypted or not: the journal puts back what was there.
    const auto keep = [&](int64_t from, int64_t to) {
        for (int64_t at = from; at < to;) {
            const auto count = static_cast<size_t>(std::min<int64_t>(to - at, kJournalChunk));
            if (original.size() < count) {
                original.resize(count);
            }
            const std::span<std::byte> bytes(original.data(), count);
            if (storage.FFileSystem->FileRead(storage.FFileHdl, at, bytes) !=
                static_cast<int32_t>(count)) {
                FPageManager.Raise<ETdbPageManager>(
                    context, FFileSystem.GetErrorMessage(FFileSystem.GetLastError()));
            }
            journal.AddPage(fileNo, at, bytes);
            at += static_cast<int64_t>(count);
        }
    };
    for (const TTdbStoragePage* page = storage.FFirstModifiedPage; page != nullptr;
         page = page->FNextModified) {
        if (page->FClientHdl.load(std::memory_order_relaxed) > 0) {
            const int64_t start = int64_t{page->FTileNo} * storage.FTileSize;
            keep(start, std::min(start + page->FMemorySize, std::min(fileLength, newLength)));
        }
    }
    // What a cut takes away comes back as well.
    keep(newLength, fileLength);
    return true;
}

void TTdbClientStorage::WriteChanges(bool durable) {
    std::lock_guard lock(FPageManager.FCriticalSection);
    TTdbStorage& storage = OpenStorage(u"Saving tile");
    const int32_t tileSize = storage.FTileSize;
    // A page read over the end of a short file covers tiles the count lacks; writing it must not
    // be cut away again by a later flush.
    for (TTdbStoragePage* page = storage.FFirstModifiedPage; page != nullptr;
         page = page->FNextModified) {
        storage.FTileCount =
            std::max(storage.FTileCount, page->FTileNo + page->FMemorySize / tileSize);
    }
    if (!storage.FReadOnly && storage.FShortened) {
        try {
            storage.FFileSystem->SetFileSize(storage.FFileHdl,
                                             int64_t{storage.FTileCount} * tileSize);
        } catch (const Exception& e) {
            FPageManager.Raise<ETdbPageManager>(u"Saving tile", e.Message());
        }
    }
    storage.MoveToEndOfModified(0);
    for (TTdbStoragePage* page = storage.FFirstModifiedPage; page != nullptr;
         page = page->FNextModified) {
        if (page->FClientHdl.load(std::memory_order_relaxed) <= 0) {
            continue;
        }
        std::span<const std::byte> data(page->FMemory.get(),
                                        static_cast<size_t>(page->FMemorySize));
        if (storage.FEncryption) {
            auto& scratch = FPageManager.FScratch;
            if (scratch.size() < data.size()) {
                scratch.resize(data.size());
            }
            std::memcpy(scratch.data(), data.data(), data.size());
            for (size_t at = 0; at < data.size(); at += static_cast<size_t>(tileSize)) {
                storage.FEncryption->EncryptBlock(
                    std::span(scratch.data() + at, static_cast<size_t>(tileSize)));
            }
            data = std::span<const std::byte>(scratch.data(), data.size());
        }
        const int32_t written = storage.FFileSystem->FileWrite(
            storage.FFileHdl, int64_t{page->FTileNo} * tileSize, data);
        if (written != page->FMemorySize) {
            FPageManager.Raise<ETdbPageManager>(u"Saving tile", u"Cannot write tile to storage");
        }
    }
    if (durable && !storage.FFileSystem->SyncData(storage.FFileHdl)) {
        FPageManager.Raise<ETdbPageManager>(
            u"Saving storage " + QuotedText(storage.FName),
            FFileSystem.GetErrorMessage(FFileSystem.GetLastError()));
    }
}

void TTdbClientStorage::MarkWritten() {
    std::lock_guard lock(FPageManager.FCriticalSection);
    TTdbStorage& storage = OpenStorage(u"Saving tile");
    storage.FShortened = false;
    while (TTdbStoragePage* page = storage.FFirstModifiedPage) {
        if (page->FClientHdl.load(std::memory_order_relaxed) > 0) {
            page->FClientHdl.store(TTdbStoragePage::kClean, std::memory_order_relaxed);
        }
        storage.FFirstModifiedPage = page->FNextModified;
        page->FNextModified = nullptr;
        page->FOnModifiedList = false;
    }
}

int32_t TTdbClientStorage::FileHandle() const {
    std::lock_guard lock(FPageManager.FCriticalSection);
    return OpenStorage(u"Reaching storage").FFileHdl;
}

// Drops the buffers for which drop() holds: unpinned ones go to the pool, pinned ones become
// stale. Listed buffers among them must have been unlinked already.
template <typename Drop>
void TTdbPageManager::DropWhere(TTdbStorage& storage, Drop drop) {
    storage.RemoveIf(
        [&drop](TTdbStoragePage& page) {
            if (!drop(page)) {
                return false;
            }
            if (page.FLocks > 0) {
                page.FClientHdl.store(TTdbStoragePage::kStale, std::memory_order_relaxed);
                return false;
            }
            return true;
        },
        [this](std::unique_ptr<TTdbStoragePage> page) { ReturnBuffer(std::move(page)); });
}

void TTdbClientStorage::RecountTiles(TTdbStorage& storage) {
    int64_t size = 0;
    try {
        size = storage.FFileSystem->GetFileSize(storage.FFileHdl);
    } catch (const Exception& e) {
        FPageManager.Raise<ETdbPageManager>(u"Counting tiles of storage " + QuotedText(FName),
                                            e.Message());
    }
    storage.FTileCount = static_cast<int32_t>((size + storage.FTileSize - 1) / storage.FTileSize);
    storage.FShortened = false;
}

void TTdbClientStorage::Undo() {
    std::lock_guard lock(FPageManager.FCriticalSection);
    TTdbStorage& storage = OpenStorage(u"Undoing changes of storage");
    // The recount can fail; until it has succeeded, the changes stay listed for a later flush.
    RecountTiles(storage);
    storage.UnlinkModified([](const TTdbStoragePage&) { return true; });
    // Besides the changed buffers, fresh pages made beyond the end that the file never got
    // are gone as well.
    const int32_t tileSize = storage.FTileSize;
    const int32_t tileCount = storage.FTileCount;
    FPageManager.DropWhere(storage, [tileSize, tileCount](const TTdbStoragePage& page) {
        return page.FClientHdl.load(std::memory_order_relaxed) > 0 ||
               page.FTileNo + page.FMemorySize / tileSize > tileCount;
    });
}

void TTdbClientStorage::Invalidate(int64_t changeCount) {
    std::lock_guard lock(FPageManager.FCriticalSection);
    TTdbStorage& storage = OpenStorage(u"Invalidating storage");
    if (changeCount >= 0) {
        if (storage.FChangeGeneration >= changeCount)
            return;
        storage.FChangeGeneration = changeCount;
    }
    RecountTiles(storage);
    storage.UnlinkModified([](const TTdbStoragePage&) { return true; });
    FPageManager.DropWhere(storage, [](const TTdbStoragePage&) { return true; });
}

void TTdbClientStorage::MarkCurrent(int64_t changeCount) {
    std::lock_guard lock(FPageManager.FCriticalSection);
    TTdbStorage& storage = OpenStorage(u"Invalidating storage");
    storage.FChangeGeneration = std::max(storage.FChangeGeneration, changeCount);
}

void TTdbClientStorage::UpdateDir() {
    std::lock_guard lock(FPageManager.FCriticalSection);
    TTdbStorage& storage = OpenStorage(u"Updating directory of storage");
    // A created file is open exclusively until here; from now on it is shared as the storage is.
    if (!FFileSystem.SyncFile(storage.FFileHdl, storage.FName) ||
        !FFileSystem.RelaxShareMode(storage.FFileHdl,
                                    OpenMode(storage.FReadOnly, storage.FExclusive))) {
        FPageManager.Raise<ETdbPageManager>(
            u"Updating directory of storage " + QuotedText(storage.FName),
            FFileSystem.GetErrorMessage(FFileSystem.GetLastError()));
    }
}

void TTdbClientStorage::SetPageCount(int32_t pageCount) {
    std::lock_guard lock(FPageManager.FCriticalSection);
    TTdbStorage& storage = OpenStorage(u"Setting page count of storage");
    const int64_t pageSize = storage.FPageSize;
    const int64_t tileSize = storage.FTileSize;
    const int64_t tiles = pageCount <= 0 ? 0 : (pageCount * pageSize - 1) / tileSize + 1;
    if (pageCount < 0 || tiles > std::numeric_limits<int32_t>::max()) {
        FPageManager.Raise<ETdbPageManager>(u"Setting page count of storage " + QuotedText(FName),
                                            u"Page count " + NumberText(pageCount) + u" is invalid");
    }
    const auto newCount = static_cast<int32_t>(tiles);
    if (newCount == storage.FTileCount) {
        return;
    }
    if (FWorkPage) {
        FWorkPage->UnloadPage();
    }
    if (newCount < storage.FTileCount) {
        storage.FShortened = true;
        storage.UnlinkModified(
            [newCount](const TTdbStoragePage& page) { return page.FTileNo >= newCount; });
        FPageManager.DropWhere(
            storage, [newCount](const TTdbStoragePage& page) { return page.FTileNo >= newCount; });
    }
    storage.FTileCount = newCount;
}

void TTdbClientStorage::SetPageSize(int32_t pageSize) {
    std::lock_guard lock(FPageManager.FCriticalSection);
    const int32_t tileSize = FFileSystem.GetPageSize();
    if (!ValidPageSize(pageSize, tileSize)) {
        FPageManager.Raise<ETdbPageManager>(u"Setting page size of storage " + QuotedText(FName),
                                            u"Page size " + NumberText(pageSize) + u" is invalid");
    }
    if (IsOpen()) {
        TTdbStorage& storage = OpenStorage(u"Setting page size of storage");
        if (pageSize != storage.FPageSize) {
            const int32_t oldTiles = storage.TilesPerBuffer();
            const int32_t newTiles = pageSize > tileSize ? pageSize / tileSize : 1;
            if (oldTiles != newTiles) {
                // Buffers of the old shape cannot take the new pages; changed ones would be lost.
                if (storage.FFirstModifiedPage != nullptr) {
                    FPageManager.Raise<ETdbPageManager>(
                        u"Setting page size of storage " + QuotedText(FName),
                        u"Storage has unsaved changes");
                }
                FPageManager.DropWhere(storage, [](const TTdbStoragePage&) { return true; });
            }
            // The sites of this client address pages of the old size.
            for (TTdbStoragePageSite* site = FFirstSite; site != nullptr; site = site->FNextSite) {
                site->Release();
            }
            storage.FPageSize = pageSize;
        }
    }
    FPageSize = pageSize;
}

std::unique_ptr<TTdbStoragePageSite> TTdbClientStorage::CreatePageSite() {
    return std::make_unique<TTdbStoragePageSite>(*this);
}

std::unique_ptr<TTdbStoragePageSite> TTdbClientStorage::ReadPage(int32_t pageNo) {
    auto site = CreatePageSite();
    site->LoadPage(pageNo);
    return site;
}

std::unique_ptr<TTdbStoragePageSite> TTdbClientStorage::NewPage(int32_t pageNo) {
    auto site = CreatePageSite();
    site->InitPage(pageNo);
    return site;
}

int32_t TTdbClientStorage::ReadDirect(int64_t pos, std::span<std::byte> buffer) {
    std::lock_guard lock(FPageManager.FCriticalSection);
    TTdbStorage& storage = OpenStorage(u"Reading storage");
    const int32_t read = FFileSystem.FileRead(storage.FFileHdl, pos, buffer);
    if (read < 0) {
        FPageManager.Raise<ETdbPageManager>(
            u"Reading storage " + QuotedText(FName),
            FFileSystem.GetErrorMessage(FFileSystem.GetLastError()));
    }
    return read;
}

int32_t TTdbClientStorage::WriteDirect(int64_t pos, std::span<const std::byte> buffer) {
    std::lock_guard lock(FPageManager.FCriticalSection);
    TTdbStorage& storage = OpenStorage(u"Writing storage");
    const std::u16string context = u"Writing storage " + QuotedText(FName);
    if (FReadOnly || storage.FReadOnly) {
        FPageManager.Raise<ETdbPageManager>(context, u"Storage is read-only");
    }
    const int32_t written = FFileSystem.FileWrite(storage.FFileHdl, pos, buffer);
    if (written < 0) {
        FPageManager.Raise<ETdbPageManager>(
            context, FFileSystem.GetErrorMessage(FFileSystem.GetLastError()));
    }
    if (written == 0) {
        return 0;
    }
    const int64_t tileSize = storage.FTileSize;
    const int64_t end = pos + written;
    storage.FTileCount = std::max<int32_t>(storage.FTileCount,
                                           static_cast<int32_t>((end + tileSize - 1) / tileSize));
    // Keep the cache from holding older bytes than the file. Encrypted buffers hold plain text,
    // which raw bytes cannot patch: those copies are dropped unless they carry changes.
    const int32_t perBuffer = storage.TilesPerBuffer();
    const auto firstTile = static_cast<int32_t>(pos / tileSize);
    const auto lastTile = static_cast<int32_t>((end - 1) / tileSize);
    for (int32_t tile = firstTile - firstTile % perBuffer; tile <= lastTile; tile += perBuffer) {
        TTdbStoragePage* page = storage.Find(tile);
        if (page == nullptr) {
            continue;
        }
        const int64_t start = int64_t{tile} * tileSize;
        const int64_t from = std::max(start, pos);
        const int64_t to = std::min(start + page->FMemorySize, end);
        if (!storage.FEncryption) {
            std::memcpy(page->FMemory.get() + (from - start), buffer.data() + (from - pos),
                        static_cast<size_t>(to - from));
        } else if (page->FClientHdl.load(std::memory_order_relaxed) == TTdbStoragePage::kClean) {
            FPageManager.DropWhere(storage,
                                   [page](const TTdbStoragePage& p) { return &p == page; });
        }
    }
    return written;
}

int32_t TTdbClientStorage::GetPageSize() const {
    std::lock_guard lock(FPageManager.FCriticalSection);
    const TTdbStorage* storage = FPageManager.Storage(FStorageHdl);
    if (storage != nullptr) {
        return storage->FPageSize;
    }
    return FPageSize != 0 ? FPageSize : FFileSystem.GetPageSize();
}

int64_t TTdbClientStorage::GetSize() const {
    std::lock_guard lock(FPageManager.FCriticalSection);
    const TTdbStorage* storage = FPageManager.Storage(FStorageHdl);
    return storage != nullptr ? int64_t{storage->FTileCount} * storage->FTileSize : 0;
}

int32_t TTdbClientStorage::GetPageCount() const {
    std::lock_guard lock(FPageManager.FCriticalSection);
    const int64_t pageSize = GetPageSize();
    return static_cast<int32_t>((GetSize() + pageSize - 1) / pageSize);
}

// ---------------------------------------------------------------------------------------------
// Page sites

TTdbStoragePageSite::TTdbStoragePageSite(TTdbClientStorage& clientStorage)
    : FClientStorage(&clientStorage) {
    std::lock_guard lock(clientStorage.FPageManager.FCriticalSection);
    FNextSite = clientStorage.FFirstSite;
    if (FNextSite != nullptr) {
        FNextSite->FPrevSite = this;
    }
    clientStorage.FFirstSite = this;
}

TTdbStoragePageSite::~TTdbStoragePageSite() {
    if (FClientStorage != nullptr) {
        std::lock_guard lock(FClientStorage->FPageManager.FCriticalSection);
        Release();
        Detach();
    }
}

void TTdbStoragePageSite::Detach() {
    if (FClientStorage == nullptr) {
        return;
    }
    if (FPrevSite != nullptr) {
        FPrevSite->FNextSite = FNextSite;
    } else {
        FClientStorage->FFirstSite = FNextSite;
    }
    if (FNextSite != nullptr) {
        FNextSite->FPrevSite = FPrevSite;
    }
    FPrevSite = nullptr;
    FNextSite = nullptr;
    FClientStorage = nullptr;
}

std::unique_ptr<TTdbStoragePageSite> TTdbStoragePageSite::CreateSibling() const {
    if (FClientStorage == nullptr) {
        throw ETdbPageManager(u"Creating page site", u"Storage is not open");
    }
    return FClientStorage->CreatePageSite();
}

void TTdbStoragePageSite::Release() {
    TTdbStoragePage* page = FStorageTile;
    FStorageTile = nullptr;
    FPageNo = -1;
    FPageLen = 0;
    FTileOffset = 0;
    if (page == nullptr) {
        return;
    }
    --page->FLocks;
    if (page->FLocks == 0 &&
        page->FClientHdl.load(std::memory_order_relaxed) == TTdbStoragePage::kStale) {
        TTdbPageManager& pageManager = FClientStorage->FPageManager;
        TTdbStorage* storage = pageManager.Storage(page->FStorageHdl);
        if (storage != nullptr) {
            pageManager.ReturnBuffer(storage->Remove(page));
        }
    }
}

void TTdbStoragePageSite::LoadPage(int32_t pageNo) {
    Load(pageNo, false);
}

void TTdbStoragePageSite::InitPage(int32_t pageNo) {
    Load(pageNo, true);
}

void TTdbStoragePageSite::UnloadPage() {
    if (FClientStorage == nullptr) {
        return;
    }
    std::lock_guard lock(FClientStorage->FPageManager.FCriticalSection);
    Release();
}

void TTdbStoragePageSite::Load(int32_t pageNo, bool init) {
    if (FClientStorage == nullptr) {
        throw ETdbPageManager(u"Loading page " + NumberText(pageNo), u"Storage is not open");
    }
    TTdbClientStorage& client = *FClientStorage;
    TTdbPageManager& pageManager = client.FPageManager;
    std::lock_guard lock(pageManager.FCriticalSection);
    TTdbStorage* open = pageManager.Storage(client.FStorageHdl);
    if (open == nullptr) {
        client.OpenStorage(u"Loading page " + NumberText(pageNo) + u" of storage");  // raises
    }
    TTdbStorage& storage = *open;
    const int64_t pageSize = storage.FPageSize;
    const int64_t tileSize = storage.FTileSize;
    const int32_t perBuffer = storage.TilesPerBuffer();
    const int64_t bytePos = int64_t{pageNo} * pageSize;
    const int64_t pageEndTiles = (bytePos + pageSize + tileSize - 1) / tileSize;
    if (pageNo < 0 || (!init && pageNo >= storage.PageCount()) ||
        pageEndTiles > std::numeric_limits<int32_t>::max()) {
        pageManager.Raise<ETdbPageManager>(
            u"Loading page " + NumberText(pageNo) + u" of storage " + QuotedText(client.FName),
            u"Page no is invalid");
    }
    int32_t tile = static_cast<int32_t>(bytePos / tileSize);
    tile -= tile % perBuffer;
    const auto offset = static_cast<int32_t>(perBuffer == 1 ? bytePos % tileSize : 0);
    const int32_t bufferSize = storage.BufferSize();

    TTdbStoragePage* held = FStorageTile;
    TTdbStoragePage* page = nullptr;
    if (held != nullptr && held->FTileNo == tile && held->FMemorySize == bufferSize &&
        held->FClientHdl.load(std::memory_order_relaxed) != TTdbStoragePage::kStale) {
        page = held;
    } else {
        page = storage.Find(tile);
    }
    if (page == nullptr && held != nullptr && held->FTileNo == tile &&
        held->FMemorySize == bufferSize && held->FLocks == 1) {
        // The site's own stale copy is the only one and nobody else pins it: read it again
        // where it is.
        if (!ReadBuffer(storage, *held, client.FReadCount)) {
            pageManager.Raise<ETdbPageManager>(u"Reloading tile", u"Cannot read tile from storage");
        }
        held->FClientHdl.store(TTdbStoragePage::kClean, std::memory_order_relaxed);
        page = held;
    }
    if (page == nullptr) {
        std::unique_ptr<TTdbStoragePage> fresh = pageManager.TakeBuffer(bufferSize);
        fresh->FStorageHdl = client.FStorageHdl;
        fresh->FTileNo = tile;
        if (!ReadBuffer(storage, *fresh, client.FReadCount)) {
            pageManager.ReturnBuffer(std::move(fresh));
            pageManager.Raise<ETdbPageManager>(u"Loading tile", u"Cannot read tile from storage");
        }
        page = fresh.get();
        storage.Insert(std::move(fresh));
    }
    if (page != held) {
        ++page->FLocks;
        Release();
        FStorageTile = page;
    }
    FPageNo = pageNo;
    FTileOffset = offset;
    FPageLen = static_cast<int32_t>(pageSize);
    if (init) {
        storage.FTileCount = std::max(storage.FTileCount, static_cast<int32_t>(pageEndTiles));
    }
}

void TTdbStoragePageSite::MovePage(int32_t pageNo) {
    if (FClientStorage == nullptr) {
        throw ETdbPageManager(u"Moving page " + NumberText(pageNo), u"Storage is not open");
    }
    TTdbClientStorage& client = *FClientStorage;
    std::lock_guard lock(client.FPageManager.FCriticalSection);
    const std::byte* source = Address(0, FPageLen);
    if (pageNo == FPageNo) {
        return;
    }
    TTdbStoragePageSite& work = *client.FWorkPage;
    work.InitPage(pageNo);
    std::byte* target = work.WriteAddress(0, FPageLen);
    std::memmove(target, source, static_cast<size_t>(FPageLen));
    InitPage(pageNo);
    work.UnloadPage();
}

std::byte* TTdbStoragePageSite::SlowAddress(int32_t offset, int32_t count) {
    if (FClientStorage == nullptr) {
        throw ETdbPageManager(u"Accessing page " + NumberText(FPageNo), u"Storage is not open");
    }
    TTdbPageManager& pageManager = FClientStorage->FPageManager;
    std::lock_guard lock(pageManager.FCriticalSection);
    const auto context = [this](std::u16string_view what) {
        return std::u16string(what) + NumberText(FPageNo) + u" of storage " +
               QuotedText(FClientStorage->FName);
    };
    if (FStorageTile == nullptr) {
        pageManager.Raise<ETdbPageManager>(context(u"Accessing page "), u"No page is loaded");
    }
    if (FStorageTile->FClientHdl.load(std::memory_order_relaxed) == TTdbStoragePage::kStale) {
        if (FPageNo >= FClientStorage->GetPageCount()) {
            // The page went with the changes that made it. A failed read, on the other hand,
            // keeps the stale copy so that the next access tries again.
            std::u16string loading = context(u"Loading page ");
            Release();
            pageManager.Raise<ETdbPageManager>(std::move(loading), u"Page no is invalid");
        }
        Load(FPageNo, false);
    }
    if (offset < 0 || count < 0 || count > FPageLen - offset) {
        pageManager.Raise<ETdbPageManager>(context(u"Accessing page "),
                                           u"Offset " + NumberText(offset) + u" is out of range");
    }
    return FStorageTile->FMemory.get() + FTileOffset + offset;
}

std::byte* TTdbStoragePageSite::WriteAddress(int32_t offset, int32_t count) {
    std::byte* address = Address(offset, count);
    Modify();
    return address;
}

void TTdbStoragePageSite::Modify() {
    if (FClientStorage == nullptr) {
        throw ETdbPageManager(u"Modifying page " + NumberText(FPageNo), u"Storage is not open");
    }
    TTdbClientStorage& client = *FClientStorage;
    TTdbPageManager& pageManager = client.FPageManager;
    std::lock_guard lock(pageManager.FCriticalSection);
    Address(0, 0);  // raises without a page, reads a stale one again
    TTdbStoragePage& page = *FStorageTile;
    TTdbStorage* open = pageManager.Storage(client.FStorageHdl);
    if (open == nullptr) {
        client.OpenStorage(u"Modifying page " + NumberText(FPageNo) + u" of storage");  // raises
    }
    TTdbStorage& storage = *open;
    if (client.FReadOnly || storage.FReadOnly) {
        // Whatever was written through an address must not survive as if it were the file's.
        if (page.FClientHdl.load(std::memory_order_relaxed) == TTdbStoragePage::kClean) {
            page.FClientHdl.store(TTdbStoragePage::kStale, std::memory_order_relaxed);
        }
        pageManager.Raise<ETdbPageManager>(
            u"Modifying page " + NumberText(FPageNo) + u" of storage " + QuotedText(client.FName),
            u"Storage is read-only");
    }
    if (page.FClientHdl.load(std::memory_order_relaxed) == TTdbStoragePage::kClean) {
        // Session handles are positive; a client without one still marks its changes.
        const int32_t state = client.FPageManClientHdl > 0 ? client.FPageManClientHdl
                                                           : std::numeric_limits<int32_t>::max();
        page.FClientHdl.store(state, std::memory_order_relaxed);
        storage.PushModified(page);
    }
}

void TTdbStoragePageSite::CopyTo(int32_t offsetFrom, std::span<std::byte> dest) {
    const auto count = static_cast<int32_t>(std::min<size_t>(dest.size(), INT32_MAX));
    std::memcpy(dest.data(), Address(offsetFrom, count), static_cast<size_t>(count));
}

void TTdbStoragePageSite::WriteInt8(int32_t offset, int8_t value) {
    StoreLE<int8_t>(WriteAddress(offset, 1), value);
}

void TTdbStoragePageSite::WriteInt16(int32_t offset, int16_t value) {
    StoreLE<int16_t>(WriteAddress(offset, 2), value);
}

void TTdbStoragePageSite::WriteInt32(int32_t offset, int32_t value) {
    StoreLE<int32_t>(WriteAddress(offset, 4), value);
}

void TTdbStoragePageSite::WriteWPAnsiString(int32_t offset, std::string_view value) {
    const auto length = static_cast<int64_t>(value.size());
    const auto count = static_cast<int32_t>(std::min<int64_t>(2 + length, INT32_MAX));
    if (length > std::numeric_limits<uint16_t>::max()) {
        Address(offset, INT32_MAX);  // raises: no page holds it
    }
    std::byte* at = WriteAddress(offset, count);
    StoreLE<uint16_t>(at, static_cast<uint16_t>(length));
    std::memcpy(at + 2, value.data(), value.size());
}

void TTdbStoragePageSite::WriteWPWideString(int32_t offset, std::u16string_view value) {
    const auto length = static_cast<int64_t>(value.size());
    const auto count = static_cast<int32_t>(std::min<int64_t>(2 + 2 * length, INT32_MAX));
    if (length > std::numeric_limits<uint16_t>::max()) {
        Address(offset, INT32_MAX);
    }
    std::byte* at = WriteAddress(offset, count);
    StoreLE<uint16_t>(at, static_cast<uint16_t>(length));
    for (size_t i = 0; i < value.size(); ++i) {
        StoreLE<uint16_t>(at + 2 + 2 * i, static_cast<uint16_t>(value[i]));
    }
}

void TTdbStoragePageSite::Copy(int32_t offsetFrom, int32_t offsetTo, int32_t count) {
    const std::byte* from = Address(offsetFrom, count);
    std::byte* to = WriteAddress(offsetTo, count);
    std::memmove(to, from, static_cast<size_t>(count));
}

void TTdbStoragePageSite::CopyFrom(std::span<const std::byte> source, int32_t offsetTo) {
    const auto count = static_cast<int32_t>(std::min<size_t>(source.size(), INT32_MAX));
    std::byte* to = WriteAddress(offsetTo, count);
    std::memmove(to, source.data(), static_cast<size_t>(count));
}

void TTdbStoragePageSite::CopyFrom(TTdbStoragePageSite& source, int32_t offsetFrom,
                                   int32_t offsetTo, int32_t count) {
    const std::byte* from = source.Address(offsetFrom, count);
    std::byte* to = WriteAddress(offsetTo, count);
    std::memmove(to, from, static_cast<size_t>(count));
}

}  // namespace tdb
