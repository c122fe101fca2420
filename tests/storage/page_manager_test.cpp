// The page cache: sharing one storage per file, page-to-tile mapping, flush, undo, invalidation
// and page counts, encryption of tiles, the cache limit, failures of the file system, and what a
// second process sees.
#include "storage/page_manager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/text.h"
#include "storage/os_file_system.h"
#include "fault_file_system.h"
#include "recording_log.h"
#include "test_support.h"

extern char** environ;

namespace tdb {
namespace {

using tdb::testing::FaultFileSystem;
using tdb::testing::ProbeProcess;
using tdb::testing::ReadBytes;
using tdb::testing::RecordingLog;
using tdb::testing::TempDir;
using tdb::testing::WriteBytes;

constexpr int32_t kTile = 8192;

// A length-preserving test cipher, so encrypted tiles are easy to recognise on disk.
class XorEncryption : public TTdbEncryption {
public:
    explicit XorEncryption(uint8_t key) : key_(std::byte{key}) {}
    void EncryptBlock(std::span<std::byte> data) override {
        for (auto& b : data) {
            b ^= key_;
        }
    }
    void DecryptBlock(std::span<std::byte> data) override { EncryptBlock(data); }

private:
    std::byte key_;
};

TTdbEncryptionFactory Xor(uint8_t key) {
    return [key] { return std::make_unique<XorEncryption>(key); };
}

// The int32 the test files hold at every multiple of 4: its own position.
std::string PatternBytes(int64_t size) {
    std::string bytes(static_cast<size_t>(size), '\0');
    for (int64_t pos = 0; pos + 4 <= size; pos += 4) {
        StoreLE<int32_t>(bytes.data() + pos, static_cast<int32_t>(pos));
    }
    return bytes;
}

int32_t IntAt(const std::string& bytes, int64_t pos) {
    return LoadLE<int32_t>(bytes.data() + pos);
}

std::string Message(const std::exception& e) {
    return e.what();
}

class PageManagerTest : public ::testing::Test {
protected:
    PageManagerTest() {
        pm_.RegisterClient(1, 4096);
        pm_.SetLog(&log_);
    }
    ~PageManagerTest() override { pm_.SetLog(nullptr); }

    std::filesystem::path Path(const std::string& name) const { return dir_.Path() / name; }

    void MakeFile(const std::string& name, int64_t size) {
        WriteBytes(Path(name), PatternBytes(size));
    }

    std::unique_ptr<TTdbClientStorage> Client(const std::string& name, int32_t pageSize = 0,
                                              int32_t clientHdl = 1) {
        auto client = std::make_unique<TTdbClientStorage>(pm_, fs_, clientHdl, nullptr);
        client->SetName(FromUtf8(name));
        if (pageSize != 0) {
            client->SetPageSize(pageSize);
        }
        return client;
    }

    std::unique_ptr<TTdbClientStorage> Opened(const std::string& name, int32_t pageSize = 0,
                                              int32_t clientHdl = 1) {
        auto client = Client(name, pageSize, clientHdl);
        client->Open(false, false);
        return client;
    }

    TempDir dir_;
    FaultFileSystem fs_{dir_.Name()};
    RecordingLog log_;
    TTdbPageManager pm_;
};

TEST_F(PageManagerTest, ClientsOfOneFileShareOneStorageAndItsPageSize) {
    MakeFile("data.bin", 4 * kTile);
    std::filesystem::create_hard_link(Path("data.bin"), Path("link.bin"));
    auto first = Opened("data.bin", 4096);
    auto second = Client("link.bin", 0, 2);  // another name of the same file
    second->Open(false, false);
    EXPECT_EQ(pm_.OpenStorageCount(), 1);
    EXPECT_EQ(second->GetPageSize(), 4096);
    EXPECT_EQ(second->GetPageCount(), 8);
    EXPECT_TRUE(log_.Has(1, u"Storage \"data.bin\" opened."));

    // What one client changes the other reads from the same buffer, before any flush.
    auto writer = first->ReadPage(3);
    writer->WriteInt32(8, 0x1234);
    auto reader = second->ReadPage(3);
    EXPECT_EQ(reader->ReadInt32(8), 0x1234);
    EXPECT_EQ(second->ReadCount(), 0);

    // The last close returns every buffer to the pool without writing.
    writer.reset();
    reader.reset();
    first->Close();
    EXPECT_EQ(pm_.OpenStorageCount(), 1);
    second->Close();
    EXPECT_EQ(pm_.OpenStorageCount(), 0);
    EXPECT_EQ(pm_.PooledSize(), pm_.CacheSize());
    EXPECT_EQ(IntAt(ReadBytes(Path("data.bin")), 3 * 4096 + 8), 3 * 4096 + 8);

    // The freed slot is taken again instead of growing the list.
    auto created = Client("new.bin");
    created->NewStorage();
    EXPECT_EQ(pm_.StorageSlotCount(), 1);
    EXPECT_EQ(created->StorageHdl(), 1);
}

TEST_F(PageManagerTest, FilesWhoseNamesDifferOnlyInCaseAreTwoStorages) {
    WriteBytes(Path("a.bin"), std::string(kTile, 'a'));
    WriteBytes(Path("A.bin"), std::string(kTile, 'A'));
    auto lower = Opened("a.bin");
    auto upper = Opened("A.bin");
    EXPECT_EQ(pm_.OpenStorageCount(), 2);
    EXPECT_EQ(lower->ReadPage(0)->ReadInt8(0), 'a');
    EXPECT_EQ(upper->ReadPage(0)->ReadInt8(0), 'A');
    upper->ReadPage(0)->WriteInt8(1, 'B');
    upper->Flush();
    EXPECT_EQ(ReadBytes(Path("A.bin")).substr(0, 3), "ABA");
    EXPECT_EQ(ReadBytes(Path("a.bin")), std::string(kTile, 'a'));
}

TEST_F(PageManagerTest, AnExclusiveClientKeepsOthersOut) {
    MakeFile("data.bin", kTile);
    const struct {
        bool firstExclusive;
        bool secondExclusive;
    } cases[] = {{true, false}, {false, true}, {true, true}};
    for (const auto& c : cases) {
        auto first = Client("data.bin");
        first->Open(false, c.firstExclusive);
        auto second = Client("data.bin", 0, 2);
        try {
            second->Open(false, c.secondExclusive);
            ADD_FAILURE() << "opened twice with an exclusive client";
        } catch (const ETdbPMStorageAccessDenied& e) {
            EXPECT_EQ(Message(e),
                      "Cannot open storage \"data.bin\": May not be opened twice if one is "
                      "exclusive");
        }
        EXPECT_FALSE(second->IsOpen());
        EXPECT_EQ(pm_.OpenStorageCount(), 1);
    }
    EXPECT_EQ(pm_.OpenStorageCount(), 0);
}

TEST_F(PageManagerTest, OpenFailuresNameTheFile) {
    try {
        Client("missing.bin")->Open(false, false);
        ADD_FAILURE() << "opened a missing file";
    } catch (const ETdbPMStorageNotFound& e) {
        EXPECT_EQ(Message(e), "Storage \"missing.bin\" not found");
    }
    EXPECT_TRUE(log_.Has(3, u"Storage \"missing.bin\" not found"));

    // Another process holding the file exclusively.
    MakeFile("held.bin", kTile);
    ProbeProcess holder({"open", ToUtf8(dir_.Name("held.bin")), "18"});
    ASSERT_EQ(holder.Answers().at(0), "open ok");
    try {
        Client("held.bin")->Open(true, false);
        ADD_FAILURE() << "opened a file another process holds exclusively";
    } catch (const ETdbPMStorageAccessDenied& e) {
        EXPECT_EQ(Message(e).rfind("Cannot open storage \"held.bin\": ", 0), 0u) << Message(e);
    }
    EXPECT_EQ(pm_.OpenStorageCount(), 0);
}

TEST_F(PageManagerTest, LoadPageChecksTheRangeAndInitPageGrows) {
    MakeFile("data.bin", 2 * kTile);
    auto client = Opened("data.bin");
    auto site = client->CreatePageSite();
    for (int32_t pageNo : {2, 100, -1}) {
        try {
            site->LoadPage(pageNo);
            ADD_FAILURE() << "loaded page " << pageNo;
        } catch (const ETdbPageManager& e) {
            EXPECT_EQ(Message(e), "Loading page " + std::to_string(pageNo) +
                                      " of storage \"data.bin\": Page no is invalid");
        }
    }
    EXPECT_EQ(site->PageNo(), -1);
    EXPECT_THROW(site->ReadInt32(0), ETdbPageManager);  // nothing loaded

    site->InitPage(2);
    EXPECT_EQ(client->GetPageCount(), 3);
    EXPECT_EQ(site->ReadInt32(100), 0);  // a fresh page is zeros, not a recycled buffer
    site->WriteInt32(100, 77);
    client->Flush();
    const std::string bytes = ReadBytes(Path("data.bin"));
    ASSERT_EQ(bytes.size(), 3u * kTile);
    EXPECT_EQ(IntAt(bytes, 2 * kTile + 100), 77);
    EXPECT_EQ(IntAt(bytes, 2 * kTile + 104), 0);
}

TEST_F(PageManagerTest, SmallPagesShareTilesAndLargePagesSpanThem) {
    MakeFile("data.bin", 8 * kTile);
    {
        auto client = Opened("data.bin", 4096);
        EXPECT_EQ(client->GetPageCount(), 16);
        const struct {
            int32_t page;
            int64_t filePos;
        } cases[] = {{0, 0}, {1, 4096}, {2, kTile}, {15, 7 * kTile + 4096}};
        for (const auto& c : cases) {
            auto site = client->ReadPage(c.page);
            EXPECT_EQ(site->ReadInt32(0), c.filePos) << c.page;
            EXPECT_EQ(site->ReadInt32(4092), c.filePos + 4092) << c.page;
            EXPECT_THROW(site->ReadInt32(4093), ETdbPageManager);  // beyond the page
        }
        // Pages 0 and 1 come from one tile read.
        auto zero = client->ReadPage(0);
        auto one = client->ReadPage(1);
        EXPECT_EQ(one->GetAddress(0) - zero->GetAddress(0), 4096);
        one->WriteInt32(0, -5);
        client->Flush();
        EXPECT_EQ(IntAt(ReadBytes(Path("data.bin")), 4096), -5);
        EXPECT_EQ(IntAt(ReadBytes(Path("data.bin")), 0), 0);
    }
    {
        auto client = Opened("data.bin", 16384);
        EXPECT_EQ(client->GetPageCount(), 4);
        const int32_t before = client->ReadCount();
        auto site = client->ReadPage(1);
        EXPECT_EQ(client->ReadCount() - before, 2);  // both tiles of the page
        EXPECT_EQ(site->ReadInt32(0), 16384);
        EXPECT_EQ(site->ReadInt32(kTile), 16384 + kTile);
        EXPECT_EQ(site->ReadInt32(16380), 32764);
        site->WriteInt32(kTile + 4, 9);
        client->Flush();
        EXPECT_EQ(IntAt(ReadBytes(Path("data.bin")), 16384 + kTile + 4), 9);
    }
}

TEST_F(PageManagerTest, SetPageCountCutsTheFileAtTheNextFlush) {
    MakeFile("data.bin", 10 * kTile);
    auto client = Opened("data.bin", 4096);
    auto beyond = client->ReadPage(15);
    auto kept = client->ReadPage(4);
    client->SetPageCount(5);
    EXPECT_EQ(client->GetSize(), 24576);
    EXPECT_EQ(client->GetPageCount(), 6);  // three tiles hold six pages of 4096
    EXPECT_EQ(ReadBytes(Path("data.bin")).size(), 10u * kTile);
    client->Flush();
    EXPECT_EQ(ReadBytes(Path("data.bin")).size(), 24576u);

    // A site left on a page that is gone finds out on its next access and is emptied.
    EXPECT_EQ(kept->ReadInt32(0), 4 * 4096);
    try {
        beyond->ReadInt32(0);
        ADD_FAILURE() << "read a page beyond the end";
    } catch (const ETdbPageManager& e) {
        EXPECT_EQ(e.Reason(), u"Page no is invalid");
    }
    EXPECT_EQ(beyond->PageNo(), -1);

    client->SetPageCount(0);
    EXPECT_EQ(client->GetPageCount(), 0);
    EXPECT_THROW(client->SetPageCount(-1), ETdbPageManager);
}

TEST_F(PageManagerTest, UndoThrowsChangesAwayAlsoUnderAPinnedSite) {
    MakeFile("data.bin", 4 * kTile);
    const std::string before = ReadBytes(Path("data.bin"));
    auto client = Opened("data.bin");
    auto pinned = client->ReadPage(1);
    pinned->WriteInt32(0, 111);
    client->ReadPage(2)->WriteInt32(0, 222);    // unpinned at once
    pinned->GetMemory()[16] = std::byte{0x77};  // a write through the address...
    pinned->Modify();                           // ...that says so
    client->Undo();

    EXPECT_EQ(ReadBytes(Path("data.bin")), before);
    EXPECT_EQ(pinned->ReadInt32(0), kTile);
    EXPECT_EQ(pinned->ReadInt32(16), kTile + 16);
    EXPECT_EQ(client->ReadPage(2)->ReadInt32(0), 2 * kTile);
    // Nothing is left to write.
    client->Flush();
    EXPECT_EQ(ReadBytes(Path("data.bin")), before);
}

TEST_F(PageManagerTest, UndoOfPagesGrownBeyondTheFileLeavesNoGarbage) {
    MakeFile("data.bin", 2 * kTile);
    auto client = Opened("data.bin");
    auto site = client->NewPage(5);
    site->WriteInt32(0, 0x7777);
    auto fresh = client->NewPage(4);  // never written
    fresh->UnloadPage();
    client->Undo();
    EXPECT_EQ(client->GetPageCount(), 2);
    EXPECT_THROW(site->ReadInt32(0), ETdbPageManager);
    EXPECT_EQ(site->PageNo(), -1);
    site->InitPage(5);
    EXPECT_EQ(site->ReadInt32(0), 0);
    EXPECT_EQ(client->GetPageCount(), 6);
    client->Flush();
    EXPECT_EQ(ReadBytes(Path("data.bin")).size(), 2u * kTile);  // nothing was written
}

TEST_F(PageManagerTest, AStorageThatGrowsFromNothingKeepsFindingItsPages) {
    auto client = Client("grown.bin");
    client->NewStorage();
    constexpr int32_t kPages = 300;  // far more than the buckets it was made with
    for (int32_t page = 0; page < kPages; ++page) {
        client->NewPage(page)->WriteInt32(0, page * 3);
    }
    for (int32_t page = 0; page < kPages; ++page) {
        ASSERT_EQ(client->ReadPage(page)->ReadInt32(0), page * 3) << page;
    }
    client->Flush();
    client->Invalidate();
    const int32_t before = client->ReadCount();
    for (int pass = 0; pass < 2; ++pass) {
        for (int32_t page = kPages - 1; page >= 0; --page) {
            ASSERT_EQ(client->ReadPage(page)->ReadInt32(0), page * 3) << page;
        }
    }
    EXPECT_EQ(client->ReadCount() - before, kPages);  // the second pass hits
}

TEST_F(PageManagerTest, FlushWritesEveryClientsChangesAndInvalidateRereads) {
    MakeFile("data.bin", 4 * kTile);
    auto first = Opened("data.bin", 0, 1);
    auto second = Opened("data.bin", 0, 2);
    first->ReadPage(0)->WriteInt32(0, 10);
    second->ReadPage(3)->WriteInt32(0, 30);
    first->Flush();
    std::string bytes = ReadBytes(Path("data.bin"));
    EXPECT_EQ(IntAt(bytes, 0), 10);
    EXPECT_EQ(IntAt(bytes, 3 * kTile), 30);

    // Another writer changes the file behind the cache.
    auto site = first->ReadPage(1);
    StoreLE<int32_t>(bytes.data() + kTile, 99);
    WriteBytes(Path("data.bin"), bytes + std::string(kTile, '\1'));
    EXPECT_EQ(site->ReadInt32(0), kTile);
    EXPECT_EQ(first->GetPageCount(), 4);
    first->Invalidate();
    EXPECT_EQ(site->ReadInt32(0), 99);
    EXPECT_EQ(first->GetPageCount(), 5);
}

TEST_F(PageManagerTest, TilesAreEncryptedOnTheWayOutAndDecryptedOnTheWayIn) {
    MakeFile("index.bin", 0);
    auto client = Client("index.bin");
    client->SetEncryptionFactory(Xor(0x5A));
    client->NewStorage();
    client->NewPage(1)->WriteInt32(0, 0x01020304);
    client->Flush();
    const std::string bytes = ReadBytes(Path("index.bin"));
    ASSERT_EQ(bytes.size(), 2u * kTile);
    EXPECT_EQ(static_cast<uint8_t>(bytes[kTile]), 0x04 ^ 0x5A);
    EXPECT_EQ(static_cast<uint8_t>(bytes[kTile + 4]), 0x5A);  // zeros, encrypted
    // The cache keeps plain text after the write.
    EXPECT_EQ(client->ReadPage(1)->ReadInt32(0), 0x01020304);
    client->Close();

    auto reader = Client("index.bin");
    reader->SetEncryptionFactory(Xor(0x5A));
    reader->Open(true, false);
    EXPECT_EQ(reader->ReadPage(1)->ReadInt32(0), 0x01020304);

    // A second client must bring the same encryption, or none when the storage has none.
    const struct { TTdbEncryptionFactory factory; } wrong[] = {{Xor(0x33)}, {nullptr}};
    for (const auto& w : wrong) {
        auto other = Client("index.bin", 0, 2);
        other->SetEncryptionFactory(w.factory);
        try {
            other->Open(true, false);
            ADD_FAILURE() << "opened with a different encryption";
        } catch (const ETdbPMStorageAccessDenied& e) {
            EXPECT_EQ(e.Reason(), u"Wrong encryption");
        }
    }
    reader->Close();
    MakeFile("plain.bin", kTile);
    auto plain = Opened("plain.bin");
    auto encrypted = Client("plain.bin", 0, 2);
    encrypted->SetEncryptionFactory(Xor(1));
    EXPECT_THROW(encrypted->Open(false, false), ETdbPMStorageAccessDenied);
}

TEST_F(PageManagerTest, CacheStaysWithinItsLimitAndNeverRecyclesPinnedPages) {
    pm_.UnregisterClient(1, 4096);
    pm_.RegisterClient(1, 16 * kTile / 1024);
    MakeFile("data.bin", 128 * kTile);
    auto client = Opened("data.bin");
    // Pinned pages with unflushed changes: neither may be freed, pooled or reused.
    std::vector<std::unique_ptr<TTdbStoragePageSite>> pinned;
    for (int32_t page : {3, 40, 77, 120}) {
        pinned.push_back(client->ReadPage(page));
        pinned.back()->WriteInt32(12, -page);
    }
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int32_t> pageOf(0, 127);
    auto roaming = client->CreatePageSite();
    for (int step = 0; step < 2000; ++step) {
        const int32_t page = pageOf(random);
        roaming->LoadPage(page);
        ASSERT_EQ(roaming->ReadInt32(8), page * kTile + 8) << step;
        ASSERT_LE(pm_.CacheSize(), pm_.CacheLimit() + kTile) << step;
    }
    for (size_t i = 0; i < pinned.size(); ++i) {
        const int32_t page = pinned[i]->PageNo();
        EXPECT_EQ(pinned[i]->ReadInt32(12), -page);
        EXPECT_EQ(pinned[i]->ReadInt32(16), page * kTile + 16);
    }
    EXPECT_LT(client->ReadCount(), 2000);  // hits happen

    // Pinned pages beyond the limit are kept and the cache says so.
    pinned.clear();
    for (int32_t page = 0; page < 20; ++page) {
        pinned.push_back(client->ReadPage(page));
    }
    EXPECT_TRUE(log_.Has(2, u"Cache size is over limit (131072) but cannot be reduced"));
    EXPECT_GE(pm_.CacheSize(), 20 * kTile);
    for (int32_t page = 0; page < 20; ++page) {
        EXPECT_EQ(pinned[static_cast<size_t>(page)]->ReadInt32(0), page * kTile);
    }
    // Unregistering trims at once what is no longer in use.
    pinned.clear();
    roaming.reset();
    pm_.UnregisterClient(1, 16 * kTile / 1024);
    EXPECT_EQ(pm_.CacheLimit(), 0);
    EXPECT_LE(pm_.CacheSize(), 4 * kTile);  // only the changed pages stay
}

TEST_F(PageManagerTest, AFailedTileReadLeavesTheCacheUsable) {
    MakeFile("data.bin", 4 * kTile);
    auto client = Opened("data.bin");
    auto site = client->ReadPage(0);
    const int64_t cached = pm_.CacheSize();
    fs_.readsLeft = 0;
    try {
        site->LoadPage(2);
        ADD_FAILURE() << "a failing read loaded the page";
    } catch (const ETdbPageManager& e) {
        EXPECT_EQ(Message(e), "Loading tile: Cannot read tile from storage");
    }
    EXPECT_TRUE(log_.Has(3, u"Loading tile: Cannot read tile from storage"));
    EXPECT_EQ(site->PageNo(), 0);  // still holds what it had
    EXPECT_EQ(site->ReadInt32(4), 4);
    fs_.readsLeft = -1;
    site->LoadPage(2);
    EXPECT_EQ(site->ReadInt32(4), 2 * kTile + 4);
    EXPECT_LE(pm_.CacheSize(), cached + kTile);  // the failed buffer was reused

    // A stale page that cannot be read again stays stale and says so.
    site->WriteInt32(0, 5);
    client->Undo();
    fs_.readsLeft = 0;
    try {
        site->ReadInt32(0);
        ADD_FAILURE() << "read a stale page without reading it again";
    } catch (const ETdbPageManager& e) {
        EXPECT_EQ(Message(e), "Reloading tile: Cannot read tile from storage");
    }
    fs_.readsLeft = -1;
    EXPECT_EQ(site->ReadInt32(0), 2 * kTile);
}

TEST_F(PageManagerTest, AFlushThatFailsHalfwayKeepsTheRestModified) {
    MakeFile("data.bin", 4 * kTile);
    auto client = Opened("data.bin");
    for (int32_t page = 2; page >= 0; --page) {
        client->ReadPage(page)->WriteInt32(0, 1000 + page);
    }
    fs_.writesLeft = 1;
    try {
        client->Flush();
        ADD_FAILURE() << "a failing write flushed";
    } catch (const ETdbPageManager& e) {
        EXPECT_EQ(Message(e), "Saving tile: Cannot write tile to storage");
    }
    std::string bytes = ReadBytes(Path("data.bin"));
    int written = 0;
    for (int32_t page = 0; page < 3; ++page) {
        written += IntAt(bytes, page * kTile) == 1000 + page ? 1 : 0;
    }
    EXPECT_EQ(written, 1);
    EXPECT_EQ(IntAt(bytes, 0), 0) << "the first tile, where headers live, is written last";
    fs_.writesLeft = -1;
    client->Flush();
    bytes = ReadBytes(Path("data.bin"));
    for (int32_t page = 0; page < 3; ++page) {
        EXPECT_EQ(IntAt(bytes, page * kTile), 1000 + page);
    }
}

// Until the file's size is known again, the changes must stay where a flush finds them.
TEST_F(PageManagerTest, AFailedUndoOrInvalidateKeepsTheChangesForTheNextFlush) {
    MakeFile("data.bin", 2 * kTile);
    auto client = Opened("data.bin");
    for (const bool invalidate : {false, true}) {
        const int32_t value = invalidate ? 77 : 66;
        client->ReadPage(1)->WriteInt32(0, value);
        fs_.sizesLeft = 0;
        try {
            invalidate ? client->Invalidate() : client->Undo();
            ADD_FAILURE() << "a failing recount went through";
        } catch (const ETdbPageManager& e) {
            EXPECT_NE(Message(e).find("Counting tiles"), std::string::npos) << Message(e);
        }
        fs_.sizesLeft = -1;
        client->Flush();
        EXPECT_EQ(IntAt(ReadBytes(Path("data.bin")), kTile), value) << invalidate;
    }
}

// Another process may have grown the file since this one last looked; a flush that has nothing
// to cut must leave its tiles alone.
TEST_F(PageManagerTest, AFlushCutsOnlyWhatThisStorageShortened) {
    MakeFile("data.bin", 2 * kTile);
    auto client = Opened("data.bin");
    EXPECT_EQ(client->ReadPage(0)->ReadInt32(4), 4);
    WriteBytes(Path("data.bin"), PatternBytes(5 * kTile));  // the other process
    client->Flush();
    EXPECT_EQ(ReadBytes(Path("data.bin")).size(), 5u * kTile);
    client->ReadPage(1)->WriteInt32(0, 9);
    client->Flush();
    EXPECT_EQ(ReadBytes(Path("data.bin")).size(), 5u * kTile);

    // What this storage cut itself goes at the next flush, and only once.
    client->Invalidate();
    client->SetPageCount(3);
    client->Flush();
    EXPECT_EQ(ReadBytes(Path("data.bin")).size(), 3u * kTile);
    WriteBytes(Path("data.bin"), PatternBytes(4 * kTile));
    client->Flush();
    EXPECT_EQ(ReadBytes(Path("data.bin")).size(), 4u * kTile);
}

TEST_F(PageManagerTest, SitesAndStoragesCleanUpInAnyOrder) {
    MakeFile("data.bin", 2 * kTile);
    auto client = Opened("data.bin");
    auto site = client->ReadPage(1);
    site->WriteInt32(0, 42);
    auto sibling = site->CreateSibling();
    sibling->LoadPage(1);
    client.reset();  // closes, dropping the unflushed change
    EXPECT_EQ(pm_.OpenStorageCount(), 0);
    EXPECT_EQ(IntAt(ReadBytes(Path("data.bin")), kTile), kTile);
    EXPECT_EQ(site->PageNo(), -1);
    EXPECT_THROW(site->LoadPage(0), ETdbPageManager);
    EXPECT_THROW(site->ReadInt32(0), ETdbPageManager);
    site.reset();
    sibling.reset();
    EXPECT_EQ(pm_.PooledSize(), pm_.CacheSize());

    // Closing empties the sites of the client, which can load again after reopening.
    auto reopened = Opened("data.bin");
    auto held = reopened->ReadPage(0);
    reopened->Close();
    EXPECT_EQ(held->PageNo(), -1);
    EXPECT_THROW(reopened->Flush(), ETdbPageManager);
    reopened->Open(true, false);
    held->LoadPage(1);
    EXPECT_EQ(held->ReadInt32(0), kTile);
}

TEST_F(PageManagerTest, PageWritesStayInsideThePage) {
    MakeFile("data.bin", 2 * kTile);
    auto client = Opened("data.bin", 4096);
    auto site = client->NewPage(1);
    site->WriteInt8(0, -1);
    site->WriteInt16(1, -2);
    site->WriteInt32(3, -3);
    site->WriteWPAnsiString(100, "abc");
    site->WriteWPWideString(200, u"ő\u0151x");
    EXPECT_EQ(site->ReadInt8(0), -1);
    EXPECT_EQ(site->ReadInt16(1), -2);
    EXPECT_EQ(site->ReadInt32(3), -3);
    EXPECT_EQ(site->ReadInt16(100), 3);
    EXPECT_EQ(site->ReadInt8(104), 'c');
    EXPECT_EQ(site->ReadInt16(200), 3);
    EXPECT_EQ(site->ReadInt16(202), 0x151);
    EXPECT_EQ(site->ReadInt16(206), 'x');

    site->Copy(100, 102, 5);  // overlapping
    EXPECT_EQ(site->ReadInt16(102), 3);
    std::vector<std::byte> out(3);
    site->CopyTo(104, out);
    EXPECT_EQ(out[0], std::byte{'a'});

    auto other = client->NewPage(2);
    other->CopyFrom(*site, 200, 10, 8);
    EXPECT_EQ(other->ReadInt16(12), 0x151);
    const std::byte raw[] = {std::byte{1}, std::byte{2}};
    other->CopyFrom(raw, 4094);
    EXPECT_EQ(other->ReadInt16(4094), 0x0201);

    // Out of the page: refused, and nothing changes.
    EXPECT_THROW(site->WriteInt32(4093, 1), ETdbPageManager);
    EXPECT_THROW(site->WriteInt8(-1, 1), ETdbPageManager);
    EXPECT_THROW(other->CopyFrom(raw, 4095), ETdbPageManager);
    EXPECT_THROW(site->WriteWPAnsiString(4094, "a"), ETdbPageManager);
    EXPECT_THROW(site->WriteWPAnsiString(0, std::string(70000, 'a')), ETdbPageManager);
    EXPECT_EQ(site->ReadInt32(4092), 4096 + 4092);

    // Moving a page copies its bytes and follows them.
    site->MovePage(3);
    EXPECT_EQ(site->PageNo(), 3);
    EXPECT_EQ(site->ReadInt32(3), -3);
    client->Flush();
    EXPECT_EQ(IntAt(ReadBytes(Path("data.bin")), kTile + 4096 + 3), -3);
}

TEST_F(PageManagerTest, ReadOnlyClientsCannotChangePages) {
    MakeFile("data.bin", 2 * kTile);
    auto reader = Client("data.bin");
    reader->Open(true, false);
    auto site = reader->ReadPage(0);
    try {
        site->WriteInt32(0, 1);
        ADD_FAILURE() << "wrote through a read-only client";
    } catch (const ETdbPageManager& e) {
        EXPECT_EQ(e.Reason(), u"Storage is read-only");
    }
    site->GetMemory()[0] = std::byte{9};  // behind the cache's back
    EXPECT_THROW(site->Modify(), ETdbPageManager);
    EXPECT_EQ(site->ReadInt32(0), 0);  // read again from the file
    EXPECT_THROW(reader->WriteDirect(0, std::span<const std::byte>()), ETdbPageManager);

    // A writer joining a read-only storage gets a handle that may write.
    auto writer = Opened("data.bin", 0, 2);
    writer->ReadPage(1)->WriteInt32(0, 5);
    writer->Flush();
    EXPECT_EQ(IntAt(ReadBytes(Path("data.bin")), kTile), 5);
}

TEST_F(PageManagerTest, DirectTransfersKeepTheCacheInStep) {
    MakeFile("data.bin", 2 * kTile);
    auto client = Opened("data.bin");
    auto site = client->ReadPage(0);
    std::byte value[4];
    StoreLE<int32_t>(value, 4711);
    EXPECT_EQ(client->WriteDirect(kTile - 2, value), 4);  // straddles two tiles
    EXPECT_EQ(site->ReadInt16(kTile - 2), 4711);

    EXPECT_EQ(client->WriteDirect(3 * kTile, value), 4);
    EXPECT_EQ(client->GetPageCount(), 4);
    client->Flush();  // does not cut away what was written directly
    EXPECT_EQ(ReadBytes(Path("data.bin")).size(), 3u * kTile + 4);

    std::byte back[4];
    EXPECT_EQ(client->ReadDirect(3 * kTile, back), 4);
    EXPECT_EQ(LoadLE<int32_t>(back), 4711);
    EXPECT_EQ(client->ReadDirect(10 * kTile, back), 0);
}

TEST_F(PageManagerTest, PageSizesMustFitTheTiles) {
    MakeFile("data.bin", 4 * kTile);
    for (int32_t bad : {0, -4096, 3000, 12288}) {
        EXPECT_THROW(Client("data.bin")->SetPageSize(bad), ETdbPageManager) << bad;
    }
    auto client = Opened("data.bin", 4096);
    auto site = client->ReadPage(3);
    site->WriteInt32(0, 1);
    try {
        client->SetPageSize(16384);
        ADD_FAILURE() << "changed the buffer shape under unsaved changes";
    } catch (const ETdbPageManager& e) {
        EXPECT_EQ(e.Reason(), u"Storage has unsaved changes");
    }
    client->Flush();
    client->SetPageSize(16384);
    EXPECT_EQ(site->PageNo(), -1);
    EXPECT_EQ(client->GetPageCount(), 2);
    site->LoadPage(0);
    EXPECT_EQ(site->ReadInt32(12288), 1);
}

TEST_F(PageManagerTest, UpdateDirKeepsTheStorageWorking) {
    auto client = Client("data.bin");
    client->NewStorage();
    client->NewPage(0)->WriteInt32(0, 3);
    client->Flush();
    ProbeProcess early({"open", ToUtf8(dir_.Name("data.bin")), "66"});
    EXPECT_EQ(early.Answers().at(0), "open error 32") << "a file is created exclusive";
    const int closes = fs_.closes;
    const int opens = fs_.opens;
    client->UpdateDir();
    EXPECT_EQ(fs_.syncs, 1);
    EXPECT_EQ(fs_.closes, closes) << "the handle, its locks and markers stay";
    EXPECT_EQ(fs_.opens, opens);
    // From now on another process may open the file too.
    ProbeProcess other({"open", ToUtf8(dir_.Name("data.bin")), "66"});
    EXPECT_EQ(other.Answers().at(0), "open ok");

    // A sync that fails says so and leaves the storage as it was.
    fs_.syncsLeft = 0;
    try {
        client->UpdateDir();
        ADD_FAILURE() << "a failed sync went unreported";
    } catch (const ETdbPageManager& e) {
        EXPECT_NE(Message(e).find("Updating directory of storage"), std::string::npos);
    }
    fs_.syncsLeft = -1;
    client->NewPage(1)->WriteInt32(0, 4);
    client->Flush();
    EXPECT_EQ(ReadBytes(Path("data.bin")).size(), 2u * kTile);
}

TEST_F(PageManagerTest, NewStorageRefusesAFileThatIsOpen) {
    MakeFile("data.bin", kTile);
    auto open = Opened("data.bin");
    try {
        Client("data.bin")->NewStorage();
        ADD_FAILURE() << "emptied an open file";
    } catch (const ETdbPageManager& e) {
        EXPECT_EQ(e.Context(), u"Cannot create storage data.bin");
    }
    EXPECT_EQ(open->ReadPage(0)->ReadInt32(4), 4);

    auto nowhere = Client("no/such/dir/x.bin");
    try {
        nowhere->NewStorage();
        ADD_FAILURE() << "created a file in a missing directory";
    } catch (const ETdbPageManager& e) {
        EXPECT_EQ(Message(e).rfind("Cannot create storage no/such/dir/x.bin: Error ", 0), 0u);
    }
    // The list grows only when no slot is free, and says so.
    EXPECT_TRUE(log_.Has(2, u"There are 1 open storages"));
}

// Suites named "...Threads" also run under ThreadSanitizer.
using PageManagerThreads = PageManagerTest;

// Sessions that hold read locks read shared buffers without the manager's lock while another
// session invalidates them (another process changed the file): nobody may write those bytes in
// place under a reader, and every read sees the file's bytes.
TEST_F(PageManagerThreads, ReadersKeepReadingWhileAnotherSessionInvalidates) {
    MakeFile("data.bin", 4 * kTile);
    auto invalidating = Opened("data.bin", 0, 1);
    auto reading = Opened("data.bin", 0, 2);
    auto own = invalidating->ReadPage(1);
    auto shared = reading->ReadPage(1);
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::thread reader([&] {
        int32_t other = 0;
        while (!done.load()) {
            for (int32_t at = 0; at < kTile; at += 512) {
                if (shared->ReadInt32(at) != kTile + at) {
                    ++wrong;
                }
            }
            other = (other + 1) % 4;
            shared->LoadPage(other);
            shared->LoadPage(1);
        }
    });
    for (int round = 0; round < 300; ++round) {
        invalidating->Invalidate();
        if (own->ReadInt32(8) != kTile + 8) {
            ++wrong;
        }
    }
    done = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(PageManagerFileSystemsTest, FileSystemsAreNamedAndCounted) {
    TTdbPageManager pm;
    auto fs = std::make_unique<TdwOSFileSystem>(u"/base");
    TdwFileSystem* raw = fs.get();
    EXPECT_TRUE(pm.AddFileSystem(u"Main", std::move(fs)));
    EXPECT_FALSE(pm.AddFileSystem(u"MAIN", std::make_unique<TdwOSFileSystem>()));
    TdwOSFileSystem unregistered(u"/elsewhere");
    EXPECT_EQ(pm.GetFileSystem(u"other"), nullptr);
    EXPECT_EQ(pm.GetFileSystem(u"main"), raw);
    EXPECT_EQ(pm.GetFileSystem(u"Main"), raw);
    pm.ReleaseFileSystem(raw);
    EXPECT_EQ(pm.GetFileSystem(u"main"), raw);
    pm.ReleaseFileSystem(raw);
    pm.ReleaseFileSystem(raw);  // the last reference frees it
    EXPECT_EQ(pm.GetFileSystem(u"main"), nullptr);
    try {
        pm.ReleaseFileSystem(&unregistered);
        ADD_FAILURE() << "released an unregistered file system";
    } catch (const ETdbPageManager& e) {
        EXPECT_EQ(Message(e), "Releasing file system: File system \"/elsewhere\" not fond");
    }
}

// The page probe in a child process, talked to line by line.
class PageProbe {
public:
    PageProbe() {
        int toChild[2];
        int fromChild[2];
        EXPECT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
        char name[] = ZENKALO_PAGE_PROBE;
        char* argv[] = {name, nullptr};
        EXPECT_EQ(::posix_spawn(&pid_, ZENKALO_PAGE_PROBE, &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(toChild[0]);
        ::close(fromChild[1]);
        in_ = ::fdopen(fromChild[0], "r");
        out_ = ::fdopen(toChild[1], "w");
    }
    ~PageProbe() {
        std::fclose(out_);
        std::fclose(in_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }

    std::string Ask(const std::string& command) {
        std::fprintf(out_, "%s\n", command.c_str());
        std::fflush(out_);
        char line[512];
        if (std::fgets(line, sizeof line, in_) == nullptr) {
            return "no answer";
        }
        std::string answer(line);
        while (!answer.empty() && answer.back() == '\n') {
            answer.pop_back();
        }
        return answer;
    }

private:
    pid_t pid_ = -1;
    FILE* in_ = nullptr;
    FILE* out_ = nullptr;
};

TEST_F(PageManagerTest, AnotherProcessSeesChangesAfterFlushAndItsOwnInvalidate) {
    MakeFile("shared.bin", 4 * kTile);
    auto client = Opened("shared.bin", 4096);
    PageProbe probe;
    ASSERT_EQ(probe.Ask("open " + ToUtf8(dir_.Name("shared.bin")) + " 4096"), "ok");
    EXPECT_EQ(probe.Ask("read 3 8"), std::to_string(3 * 4096 + 8));

    auto site = client->ReadPage(3);
    site->WriteInt32(8, 555);
    EXPECT_EQ(probe.Ask("invalidate"), "ok");
    EXPECT_EQ(probe.Ask("read 3 8"), std::to_string(3 * 4096 + 8));  // not flushed yet

    client->Flush();
    EXPECT_EQ(probe.Ask("read 3 8"), std::to_string(3 * 4096 + 8));  // its cache still has it
    EXPECT_EQ(probe.Ask("invalidate"), "ok");
    EXPECT_EQ(probe.Ask("read 3 8"), "555");

    // And the other way round, including a page beyond our end.
    EXPECT_EQ(probe.Ask("write 9 0 777"), "ok");
    EXPECT_EQ(probe.Ask("flush"), "ok");
    EXPECT_THROW(site->LoadPage(9), ETdbPageManager);
    client->Invalidate();
    EXPECT_EQ(client->GetPageCount(), 10);
    site->LoadPage(9);
    EXPECT_EQ(site->ReadInt32(0), 777);
}

}  // namespace
}  // namespace tdb
