// The lock file of a shared table: its images, the transition rules between table-lock levels,
// record locks, the change counter, the move file, hostile files, and sessions of other
// processes that die while they hold locks.
#include "engine/lock_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../platform/test_support.h"
#include "../storage/fault_file_system.h"
#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "platform/text.h"
#include "probe_process.h"
#include "storage/os_file_system.h"

namespace tdb {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

constexpr std::int16_t kLevel = 6;

std::string HeaderBytes(const TTdbTableLockData& header) {
    std::array<std::byte, TTdbTableLockData::kSize> image{};
    header.Store(image);
    return std::string(reinterpret_cast<const char*>(image.data()), image.size());
}

std::string EntryBytes(const TTdbSessionLockData& entry) {
    std::array<std::byte, TTdbSessionLockData::kSize> image{};
    entry.Store(image);
    return std::string(reinterpret_cast<const char*>(image.data()), image.size());
}

TTdbTableLockData HeaderOf(const std::string& bytes) {
    TTdbTableLockData header;
    std::array<std::byte, TTdbTableLockData::kSize> image{};
    std::memcpy(image.data(), bytes.data(), image.size());
    header.Load(image);
    return header;
}

TTdbSessionLockData EntryOf(const std::string& bytes, std::size_t index) {
    TTdbSessionLockData entry;
    std::array<std::byte, TTdbSessionLockData::kSize> image{};
    std::memcpy(image.data(), bytes.data() + 30 + 56 * index, image.size());
    entry.Load(image);
    return entry;
}

// Runs an engine call and answers its error code (0 when it succeeded).
template <typename Call>
int ErrorCodeOf(Call call) {
    try {
        call();
    } catch (const ETdbEngine& error) {
        return error.Code();
    }
    return 0;
}

// ---- Images and names ----

TEST(LockFileImages, HeaderLaysOutItsFieldsLittleEndian) {
    TTdbTableLockData header;
    header.ChangeCount = 0x0102030405060708;
    header.IndexCount = 3;
    header.ReadLocks = 4;
    header.UpgradeLocks = 1;
    header.WriteLocks = 0;
    header.LockWaiters = 2;
    header.WriteWaiters = 1;
    header.ItemCount = 0x1234;
    header.SessionCount = 5;
    const std::string bytes = HeaderBytes(header);
    ASSERT_EQ(bytes.size(), 30u);
    EXPECT_EQ(bytes.substr(0, 6), std::string("\x55\xCF\x4B\x83\x07\x00", 6));
    EXPECT_EQ(bytes.substr(6, 8), std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
    EXPECT_EQ(bytes.substr(14, 16),
              std::string("\x03\x00\x04\x00\x01\x00\x00\x00\x02\x00\x01\x00\x34\x12\x05\x00", 16));
    const TTdbTableLockData back = HeaderOf(bytes);
    EXPECT_EQ(HeaderBytes(back), bytes);
}

TEST(LockFileImages, EntryKeepsNameLocksRecordAndVitalSign) {
    TTdbSessionLockData entry;
    entry.Id = 0x1122334455667788;
    entry.Name = "Posta 1";
    entry.TableLock = tltUpgrade;
    entry.DesiredLock = tltWrite;
    entry.EditRecNo = 0x01020304;
    entry.VitalSign = 255;
    const std::string bytes = EntryBytes(entry);
    ASSERT_EQ(bytes.size(), 56u);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x88\x77\x66\x55\x44\x33\x22\x11", 8));
    EXPECT_EQ(bytes[8], 7);
    EXPECT_EQ(bytes.substr(9, 7), "Posta 1");
    EXPECT_EQ(bytes[49], 2);
    EXPECT_EQ(bytes[50], 3);
    EXPECT_EQ(bytes.substr(51, 4), std::string("\x04\x03\x02\x01", 4));
    EXPECT_EQ(static_cast<unsigned char>(bytes[55]), 255);

    std::string hostile = bytes;
    hostile[8] = static_cast<char>(200);  // a length beyond the field is cut to it
    std::array<std::byte, 56> image{};
    std::memcpy(image.data(), hostile.data(), 56);
    TTdbSessionLockData back;
    back.Load(image);
    EXPECT_EQ(back.Name.size(), 40u);
    back.Load(std::span<const std::byte, 56>(reinterpret_cast<const std::byte*>(bytes.data()), 56));
    EXPECT_EQ(EntryBytes(back), bytes);
}

TEST(LockFileImages, FileNamesFollowTheTableKind) {
    struct Case {
        std::u16string base;
        std::int16_t level;
        bool rel;
        std::u16string lock;
        std::u16string move;
    };
    const Case cases[] = {
        {u"db/Irsz", 6, false, u"db/Irsz.tdbl", u"db/Irsz.tdbv"},
        {u"db/Irsz", 6, true, u"db/Irsz.tdbl", u"db/Irsz.tdbv"},
        {u"db/Irsz", 4, false, u"db/Irsz.net", u"db/Irsz.mov"},
        {u"db/Col", 4, true, u"db/Col.rnt", u"db/Col.rmv"},
        {u"db/Irsz.v2", 4, false, u"db/Irsz.v2.net", u"db/Irsz.mov"},
        {u"db.d/Irsz", 6, false, u"db.d/Irsz.tdbl", u"db.d/Irsz.tdbv"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TTdbLockFile::LockFileName(c.base, c.level, c.rel), c.lock) << ToUtf8(c.base);
        EXPECT_EQ(TTdbLockFile::MoveFileName(c.base, c.level, c.rel), c.move) << ToUtf8(c.base);
    }
}

// ---- Sessions in one process: every lock-file object has its own handle ----

class LockFileTest : public ::testing::Test {
protected:
    std::unique_ptr<TTdbLockFile> Session(std::uint64_t id, std::u16string name = u"Station") {
        auto session = std::make_unique<TTdbLockFile>(fileSystem_);
        session->SetSessionId(id);
        session->SetSessionName(std::move(name));
        session->SetWaitAttempts(3);
        return session;
    }
    std::unique_ptr<TTdbLockFile> LoggedIn(std::uint64_t id) {
        auto session = Session(id);
        session->LogIn(base_, kLevel, false);
        return session;
    }
    std::filesystem::path LockPath() const { return dir_.Path() / "Irsz.tdbl"; }
    std::filesystem::path MovePath() const { return dir_.Path() / "Irsz.tdbv"; }
    TTdbTableUsage Usage(TTdbLockFile& session) {
        TTdbTableUsage usage;
        session.GetLockInfo(usage);
        return usage;
    }
    // Overwrites bytes of the lock file behind the sessions' backs.
    void Patch(std::size_t offset, const std::string& bytes) {
        std::string file = ReadBytes(LockPath());
        file.replace(offset, bytes.size(), bytes);
        WriteBytes(LockPath(), file);
    }

    TempDir dir_;
    TdwOSFileSystem fileSystem_;
    std::u16string base_ = dir_.Name("Irsz");
};

TEST_F(LockFileTest, LoginWritesHeaderAndOneEntryPerSession) {
    auto a = Session(11, u"K\u00F6zpont \u0151 \u20AC");
    a->LogIn(base_, kLevel, false);
    auto b = LoggedIn(22);
    const std::string file = ReadBytes(LockPath());
    ASSERT_EQ(file.size(), 30u + 2 * 56);
    const TTdbTableLockData header = HeaderOf(file);
    EXPECT_EQ(header.Tag, TTdbTableLockData::kTag);
    EXPECT_EQ(header.ItemCount, 2);
    EXPECT_EQ(header.SessionCount, 2);
    EXPECT_EQ(EntryOf(file, 0).Id, 11u);
    EXPECT_EQ(EntryOf(file, 0).Name, "K\xF6zpont ? \x80");  // cp1252, '?' where it has none
    EXPECT_EQ(EntryOf(file, 0).VitalSign, 255);
    EXPECT_EQ(EntryOf(file, 1).Id, 22u);
    EXPECT_TRUE(std::filesystem::exists(MovePath()));

    // A freed entry is taken again by the next login instead of growing the file.
    a->LogOut();
    auto c = LoggedIn(33);
    const std::string again = ReadBytes(LockPath());
    EXPECT_EQ(again.size(), 30u + 2 * 56);
    EXPECT_EQ(EntryOf(again, 0).Id, 33u);

    const TTdbTableUsage usage = Usage(*b);
    EXPECT_EQ(usage.UserCount, 2);
    ASSERT_EQ(usage.Entries.size(), 2u);
    EXPECT_EQ(usage.Entries[1].StationName, u"Station");
    EXPECT_EQ(usage.Entries[1].StationNo, 22u);
    EXPECT_TRUE(usage.Entries[1].InUse);
}

TEST_F(LockFileTest, NamesLongerThanTheFieldAreCut) {
    auto a = Session(1, std::u16string(60, u'\u00E1'));
    a->LogIn(base_, kLevel, false);
    const TTdbTableUsage usage = Usage(*a);
    ASSERT_EQ(usage.Entries.size(), 1u);
    EXPECT_EQ(usage.Entries[0].StationName, std::u16string(40, u'\u00E1'));
}

TEST_F(LockFileTest, TransitionRulesAgainstAnotherSession) {
    struct Case {
        TTdbTableLockType other;  // what session B holds
        TTdbTableLockType from;   // what A holds before
        TTdbTableLockType to;
        bool allowed;
        int reads, upgrades, writes;  // the header's counts afterwards
    };
    const Case cases[] = {
        {tltNone, tltNone, tltRead, true, 1, 0, 0},
        {tltNone, tltNone, tltUpgrade, true, 0, 1, 0},
        {tltNone, tltNone, tltWrite, true, 0, 0, 1},
        {tltNone, tltRead, tltUpgrade, true, 0, 1, 0},
        {tltNone, tltRead, tltWrite, true, 0, 0, 1},
        {tltNone, tltUpgrade, tltWrite, true, 0, 0, 1},
        {tltRead, tltNone, tltRead, true, 2, 0, 0},
        {tltRead, tltNone, tltUpgrade, true, 1, 1, 0},
        {tltRead, tltRead, tltUpgrade, true, 1, 1, 0},
        {tltRead, tltNone, tltWrite, false, 1, 0, 0},
        {tltRead, tltRead, tltWrite, false, 2, 0, 0},
        {tltRead, tltUpgrade, tltWrite, false, 1, 1, 0},
        {tltUpgrade, tltNone, tltRead, true, 1, 1, 0},
        {tltUpgrade, tltNone, tltUpgrade, false, 0, 1, 0},
        {tltUpgrade, tltRead, tltUpgrade, false, 1, 1, 0},
        {tltUpgrade, tltRead, tltWrite, false, 1, 1, 0},
        {tltWrite, tltNone, tltRead, false, 0, 0, 1},
        {tltWrite, tltNone, tltUpgrade, false, 0, 0, 1},
        {tltWrite, tltNone, tltWrite, false, 0, 0, 1},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("case " + std::to_string(row++));
        TempDir dir;
        const std::u16string base = dir.Name("T");
        auto a = Session(1);
        auto b = Session(2);
        a->LogIn(base, kLevel, false);
        b->LogIn(base, kLevel, false);
        if (c.from != tltNone) {
            ASSERT_TRUE(a->LockTable(tltNone, c.from, true));
        }
        if (c.other != tltNone) {
            ASSERT_TRUE(b->LockTable(tltNone, c.other, true));
        }
        EXPECT_EQ(a->LockTable(c.from, c.to, true), c.allowed);
        EXPECT_EQ(a->TableLock(), c.allowed ? c.to : c.from);
        const TTdbTableUsage usage = Usage(*b);
        EXPECT_EQ(usage.ReadCount, c.reads);
        EXPECT_EQ(usage.UpgradeCount, c.upgrades);
        EXPECT_EQ(usage.WriteCount, c.writes);
        // The header agrees with the entries: a session check finds nothing to correct.
        EXPECT_EQ(usage.Entries[0].Lock, (c.allowed ? c.to : c.from) == tltWrite
                                             ? -1
                                             : static_cast<int>(c.allowed ? c.to : c.from));
    }
}

TEST_F(LockFileTest, AWaitGivesUpAndTakesItsAnnouncementBack) {
    auto a = LoggedIn(1);
    auto b = LoggedIn(2);
    ASSERT_TRUE(b->LockTable(tltNone, tltWrite, true));
    EXPECT_FALSE(a->LockTable(tltNone, tltWrite, false));
    EXPECT_FALSE(a->LockTable(tltNone, tltRead, false));
    const TTdbTableUsage usage = Usage(*b);
    EXPECT_EQ(usage.WaitCount, 0);
    EXPECT_EQ(usage.WaitWriteCount, 0);
    EXPECT_EQ(ReadBytes(LockPath())[30 + 50], 0);  // A's entry no longer wants anything
    b->UnlockTable(tltWrite, tltNone);
    EXPECT_TRUE(a->LockTable(tltNone, tltRead, false));
}

TEST_F(LockFileTest, ReleasingUpgradeOrWriteIsAChangeForOthersOnly) {
    auto a = LoggedIn(1);
    auto b = LoggedIn(2);
    EXPECT_FALSE(a->CheckUpdate());
    ASSERT_TRUE(a->LockTable(tltNone, tltRead, true));
    a->UnlockTable(tltRead, tltNone);
    EXPECT_FALSE(b->CheckUpdate());  // a read changes nothing

    ASSERT_TRUE(a->LockTable(tltNone, tltWrite, true));
    a->UnlockTable(tltWrite, tltRead);
    EXPECT_EQ(a->TableLock(), tltRead);
    EXPECT_EQ(a->TableChangeCount(), 1);
    EXPECT_EQ(a->SessionChangeCount(), 1);
    EXPECT_FALSE(a->CheckUpdate());
    EXPECT_TRUE(b->CheckUpdate());
    b->SetSessionChangeCount(b->TableChangeCount());
    EXPECT_FALSE(b->CheckUpdate());

    a->UnlockTable(tltRead, tltNone);
    ASSERT_TRUE(a->LockTable(tltNone, tltUpgrade, true));
    ASSERT_TRUE(a->LockTable(tltUpgrade, tltWrite, true));  // the upgrade's release counts
    a->UnlockTable(tltWrite, tltNone);
    EXPECT_EQ(a->TableChangeCount(), 3);
    EXPECT_FALSE(a->CheckUpdate());
    EXPECT_TRUE(b->CheckUpdate());

    // A change of B that A has not seen stays visible after A's own release.
    ASSERT_TRUE(b->LockTable(tltNone, tltWrite, true));
    b->UnlockTable(tltWrite, tltNone);
    ASSERT_TRUE(a->LockTable(tltNone, tltUpgrade, true));
    a->UnlockTable(tltUpgrade, tltNone);
    EXPECT_TRUE(a->CheckUpdate());
}

TEST_F(LockFileTest, RecordLocks) {
    auto a = LoggedIn(1);
    auto b = LoggedIn(2);
    EXPECT_TRUE(a->LockRecord(5));
    EXPECT_FALSE(b->LockRecord(5));
    EXPECT_TRUE(b->LockRecord(6));
    EXPECT_EQ(b->GetLockedRecord(), 6);
    EXPECT_FALSE(b->LockRecord(0));

    // The record B edits moved to slot 8: A's lock of 8 is refused, 6 is free.
    a->SwitchRecordLock(6, 8);
    EXPECT_EQ(Usage(*a).Entries[1].RecNo, 8);
    b->CheckUpdate();  // B learns it when it next enters the file
    EXPECT_EQ(b->GetLockedRecord(), 8);
    EXPECT_FALSE(a->LockRecord(8));
    EXPECT_TRUE(a->LockRecord(6));  // the one record lock of A moves from 5 to 6
    EXPECT_TRUE(b->LockRecord(5));
    a->UnlockRecord(6);
    EXPECT_EQ(a->GetLockedRecord(), 0);
    b->UnlockRecord(5);
    EXPECT_TRUE(a->LockRecord(5));
    a->UnlockRecord(5);

    // Another session's write lock refuses record locks; the writer's own are allowed.
    ASSERT_TRUE(b->LockTable(tltNone, tltWrite, true));
    EXPECT_FALSE(a->LockRecord(7));
    EXPECT_TRUE(b->LockRecord(7));
}

TEST_F(LockFileTest, ExclusiveOnlyAloneAndHoldsTheFileUntilReleased) {
    auto a = LoggedIn(1);
    auto b = LoggedIn(2);
    EXPECT_FALSE(a->LockExclusive());
    b->LogOut();
    ASSERT_TRUE(a->LockExclusive());
    // Nothing else gets into the file meanwhile: a login gives up with "table locked".
    auto c = Session(3);
    EXPECT_EQ(ErrorCodeOf([&] { c->LogIn(base_, kLevel, false); }), kTdbErrTableLocked);
    EXPECT_FALSE(c->LoggedIn());
    // The holder itself goes on working (nested entering).
    EXPECT_TRUE(a->LockTable(tltNone, tltWrite, true));
    a->UnlockTable(tltWrite, tltNone);
    a->UnlockExclusive();
    c->LogIn(base_, kLevel, false);
    EXPECT_EQ(c->SessionCount(), 2);
}

TEST_F(LockFileTest, LastLogoutDeletesLockAndMoveFile) {
    auto a = LoggedIn(1);
    auto b = LoggedIn(2);
    b->LogOut();
    EXPECT_FALSE(b->LoggedIn());
    EXPECT_TRUE(std::filesystem::exists(LockPath()));
    EXPECT_TRUE(std::filesystem::exists(MovePath()));
    a.reset();  // the destructor logs out
    EXPECT_FALSE(std::filesystem::exists(LockPath()));
    EXPECT_FALSE(std::filesystem::exists(MovePath()));
}

TEST_F(LockFileTest, MovePairsReachTheOtherSessionsOnly) {
    auto a = LoggedIn(1);
    auto b = LoggedIn(2);
    std::int32_t from = 0;
    std::int32_t to = 0;
    a->AddRecordMove(9, 4);
    EXPECT_EQ(ReadBytes(MovePath()), std::string("\x04\0\0\0\x09\0\0\0", 8));
    EXPECT_FALSE(a->ReadRecordMove(from, to));
    ASSERT_TRUE(b->ReadRecordMove(from, to));
    EXPECT_EQ(from, 9);
    EXPECT_EQ(to, 4);
    EXPECT_FALSE(b->ReadRecordMove(from, to));

    // Both append before reading: each reads the other's pair and skips its own.
    a->AddRecordMove(12, 2);
    b->AddRecordMove(13, 3);
    ASSERT_TRUE(a->ReadRecordMove(from, to));
    EXPECT_EQ(from, 13);
    EXPECT_FALSE(a->ReadRecordMove(from, to));
    ASSERT_TRUE(b->ReadRecordMove(from, to));
    EXPECT_EQ(from, 12);
    EXPECT_FALSE(b->ReadRecordMove(from, to));

    // A pair still being written is left for later; a session logging in later starts at the end.
    std::string file = ReadBytes(MovePath());
    WriteBytes(MovePath(), file + std::string("\x07\0\0", 3));
    EXPECT_FALSE(b->ReadRecordMove(from, to));
    WriteBytes(MovePath(), file + std::string("\x07\0\0\0\x0B\0\0\0", 8));
    ASSERT_TRUE(b->ReadRecordMove(from, to));
    EXPECT_EQ(from, 11);
    EXPECT_EQ(to, 7);
    auto c = LoggedIn(3);
    EXPECT_FALSE(c->ReadRecordMove(from, to));
}

TEST_F(LockFileTest, IndexCountIsSharedThroughTheHeader) {
    auto a = LoggedIn(1);
    auto b = LoggedIn(2);
    a->WriteIndexCount(4);
    EXPECT_FALSE(b->CheckUpdate());  // entering re-reads the header
    EXPECT_EQ(b->TableIndexCount(), 4);
}

// ---- Files that are not what they should be ----

TEST_F(LockFileTest, ForeignTagOrVersionIsRefusedUntilDeleted) {
    for (const std::string& patch :
         {std::string("\x55\xCF\x4B\x84", 4), std::string("\x55\xCF\x4B\x83\x06\x00", 6)}) {
        TTdbTableLockData header;
        std::string bytes = HeaderBytes(header);
        bytes.replace(0, patch.size(), patch);
        WriteBytes(LockPath(), bytes);
        auto a = Session(1);
        EXPECT_EQ(ErrorCodeOf([&] { a->LogIn(base_, kLevel, false); }), kTdbErrInvalidLockFile);
        EXPECT_FALSE(a->LoggedIn());
        EXPECT_EQ(ReadBytes(LockPath()), bytes);  // left as it was
    }
    std::filesystem::remove(LockPath());
    auto a = LoggedIn(1);
    EXPECT_TRUE(a->LoggedIn());
}

TEST_F(LockFileTest, ShortOrOverstatedFilesAreRepairedOrRefused) {
    // A header shorter than its 30 bytes is refused.
    WriteBytes(LockPath(), std::string("\x55\xCF\x4B\x83\x07", 5));
    auto a = Session(1);
    EXPECT_EQ(ErrorCodeOf([&] { a->LogIn(base_, kLevel, false); }), kTdbErrLogin);
    EXPECT_FALSE(a->LoggedIn());

    // An empty file is what a creator that died before writing the header leaves.
    WriteBytes(LockPath(), "");
    a->LogIn(base_, kLevel, false);
    EXPECT_EQ(a->SessionCount(), 1);
    a->LogOut();

    // 65535 entries announced by a bare header, and a half entry: cut to what the file holds.
    TTdbTableLockData header;
    header.ItemCount = 65535;
    header.SessionCount = 9;
    header.ReadLocks = 3;
    WriteBytes(LockPath(), HeaderBytes(header) + std::string(20, '\x01'));
    a->LogIn(base_, kLevel, false);
    const std::string file = ReadBytes(LockPath());
    EXPECT_EQ(file.size(), 30u + 56);
    const TTdbTableLockData repaired = HeaderOf(file);
    EXPECT_EQ(repaired.ItemCount, 1);
    EXPECT_EQ(repaired.SessionCount, 1);
    EXPECT_EQ(repaired.ReadLocks, 0);
}

TEST_F(LockFileTest, ContradictoryEntriesOfLiveSessionsAreANetworkError) {
    struct Case {
        std::uint8_t first, second;
    };
    // read + write, upgrade + write, write + write, two upgrades, an unknown level
    const Case cases[] = {{tltWrite, tltRead},  {tltRead, tltWrite},      {tltWrite, tltUpgrade},
                          {tltWrite, tltWrite}, {tltUpgrade, tltUpgrade}, {tltNone, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + "/" + std::to_string(c.second));
        auto a = LoggedIn(1);
        auto b = LoggedIn(2);
        Patch(30 + 49, std::string(1, static_cast<char>(c.first)));
        Patch(30 + 56 + 49, std::string(1, static_cast<char>(c.second)));
        auto c3 = Session(3);
        int code = 0;
        try {
            c3->LogIn(base_, kLevel, false);
        } catch (const ETdbEngine& error) {
            code = error.Code();
            EXPECT_EQ(ToUtf8(error.Message()), "Unknown network error");
        }
        EXPECT_EQ(code, kTdbErrNetwork);
        EXPECT_FALSE(c3->LoggedIn());
        EXPECT_EQ(ErrorCodeOf([&] { a->LockExclusive(); }), kTdbErrNetwork);
        Patch(30 + 49, std::string(1, '\0'));
        Patch(30 + 56 + 49, std::string(1, '\0'));
    }
}

TEST_F(LockFileTest, LockFileThatCannotBeCreatedIsNoWriteAccess) {
    WriteBytes(dir_.Path() / "plain", "not a directory");
    auto a = Session(1);
    EXPECT_EQ(ErrorCodeOf([&] { a->LogIn(dir_.Name("plain/sub/Irsz"), kLevel, false); }),
              kTdbErrNoWriteAccess);
    // A missing directory is made.
    a->LogIn(dir_.Name("new/deeper/Irsz"), kLevel, false);
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "new/deeper/Irsz.tdbl"));
}

// ---- A session in another process ----

// The lock-file probe as a child whose commands are sent one line at a time.
class LockProbe : public testing::TProbeProcess {
public:
    LockProbe(const std::string& base, std::uint64_t id)
        : TProbeProcess(ZENKALO_LOCK_FILE_PROBE, {base, std::to_string(id), "probe"}) {}
};

TEST_F(LockFileTest, ProbeSessionsShareLocksAcrossProcesses) {
    auto a = LoggedIn(1);
    LockProbe probe(ToUtf8(base_), 2);
    ASSERT_TRUE(probe.Started());
    EXPECT_EQ(probe.Ask("attempts 400"), "ok");
    EXPECT_EQ(probe.Ask("login"), "ok");
    EXPECT_EQ(a->SessionCount(), 1);  // as last read
    EXPECT_FALSE(a->LockExclusive());
    EXPECT_EQ(a->SessionCount(), 2);
    ASSERT_TRUE(a->LockTable(tltNone, tltRead, true));
    EXPECT_EQ(probe.Ask("lock none write"), "false");
    EXPECT_EQ(probe.Ask("record 3"), "true");
    EXPECT_FALSE(a->LockRecord(3));
    a->AddRecordMove(20, 3);
    a->SwitchRecordLock(3, 20);
    EXPECT_EQ(probe.Ask("readmove"), "20 3");
    EXPECT_EQ(probe.Ask("readmove"), "none");
    a->UnlockTable(tltRead, tltNone);
    EXPECT_EQ(probe.Ask("lock none write"), "true");
    EXPECT_EQ(probe.Ask("unlock write none"), "ok");
    EXPECT_TRUE(a->CheckUpdate());
    EXPECT_TRUE(a->LockRecord(3));
    EXPECT_FALSE(a->LockRecord(20));
    EXPECT_EQ(probe.Ask("logout"), "ok");
    EXPECT_TRUE(a->LockRecord(20));
}

// A killed session keeps nothing: whichever session check runs next clears its entry and its
// counts and reports the death, with the mutex held so that the handler can work on the file.
TEST_F(LockFileTest, AKilledSessionIsClearedByTheNextSessionCheck) {
    enum class Trigger { Login, LockWait, RecordLock, Exclusive };
    for (const Trigger trigger :
         {Trigger::Login, Trigger::LockWait, Trigger::RecordLock, Trigger::Exclusive}) {
        SCOPED_TRACE(static_cast<int>(trigger));
        TempDir dir;
        const std::u16string base = dir.Name("T");
        auto a = Session(1);
        int hijacks = 0;
        a->SetOnHijack([&] {
            ++hijacks;
            a->WriteIndexCount(2);  // nested entering works while the handler runs
        });
        a->LogIn(base, kLevel, false);
        LockProbe probe(ToUtf8(base), 2);
        ASSERT_TRUE(probe.Started());
        ASSERT_EQ(probe.Ask("login"), "ok");
        const bool writer = trigger == Trigger::LockWait;
        ASSERT_EQ(probe.Ask(writer ? "lock none write" : "lock none read"), "true");
        ASSERT_EQ(probe.Ask("record 5"), "true");
        EXPECT_FALSE(a->LockRecord(5));
        probe.Kill();

        bool answer = false;
        std::unique_ptr<TTdbLockFile> c;
        switch (trigger) {
            case Trigger::Login: {
                c = Session(3);
                int cHijacks = 0;
                c->SetOnHijack([&] { ++cHijacks; });
                c->LogIn(base, kLevel, false);
                EXPECT_EQ(cHijacks, 1);
                answer = c->SessionCount() == 2;
                hijacks = cHijacks;
                break;
            }
            case Trigger::LockWait:
                answer = a->LockTable(tltNone, tltWrite, false);
                EXPECT_TRUE(a->CheckUpdate());  // what the dead writer wrote must be re-read
                break;
            case Trigger::RecordLock:
                answer = a->LockRecord(5);
                break;
            case Trigger::Exclusive:
                answer = a->LockExclusive();
                a->UnlockExclusive();
                break;
        }
        EXPECT_TRUE(answer);
        EXPECT_EQ(hijacks, 1);
        const TTdbTableUsage usage = Usage(*a);
        EXPECT_EQ(usage.ReadCount, 0);
        EXPECT_EQ(usage.WriteCount, writer ? 1 : 0);  // A's own write lock only
        ASSERT_GE(usage.Entries.size(), 2u);
        EXPECT_EQ(usage.Entries[1].StationNo, trigger == Trigger::Login ? 3u : 0u);
        EXPECT_NE(usage.Entries[1].RecNo, 5);
    }
}

// A lock-file write refused in the middle of a lock change: the entry and the header never
// disagree in a way that lets two writers in or hides a writer's change from the others.
TEST_F(LockFileTest, ARefusedWriteInALockChangeNeitherAdmitsTwoWritersNorHidesAChange) {
    struct Case {
        const char* what;
        bool releasing;   // the refused write is in the release, else in the locking
        int writeToFail;  // 0: the entry, 1: the header
        TTdbTableLockType heldAfter;
    };
    const Case cases[] = {
        {"locking, entry refused", false, 0, tltNone},
        {"locking, header refused", false, 1, tltNone},
        {"release, entry refused", true, 0, tltWrite},
        {"release, header refused", true, 1, tltNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::u16string base = dir.Name("T");
        testing::FaultFileSystem faults;
        TTdbLockFile a(faults);
        a.SetSessionId(1);
        a.SetWaitAttempts(3);
        a.LogIn(base, kLevel, false);
        auto b = Session(2);
        b->LogIn(base, kLevel, false);
        const auto entryOfA = [&] {
            return EntryOf(ReadBytes(dir.Path() / "T.tdbl"), 0).TableLock;
        };

        if (c.releasing) {
            ASSERT_TRUE(a.LockTable(tltNone, tltWrite, true));
        }
        faults.writeToFail = c.writeToFail;
        if (c.releasing)
            EXPECT_THROW(a.UnlockTable(tltWrite, tltNone), ETdbEngine);
        else
            EXPECT_THROW(a.LockTable(tltNone, tltWrite, true), ETdbEngine);
        EXPECT_EQ(a.TableLock(), c.heldAfter);
        EXPECT_EQ(entryOfA(), c.heldAfter);

        if (c.heldAfter == tltWrite) {
            // Still held, in the file as here: the others stay out until the release is tried
            // again.
            EXPECT_FALSE(b->LockTable(tltNone, tltRead, true));
            a.UnlockTable(tltWrite, tltNone);
        }
        ASSERT_TRUE(b->LockTable(tltNone, tltWrite, false));
        // Whatever A wrote under its write lock is news for B.
        EXPECT_EQ(b->CheckUpdate(), c.releasing);
        b->UnlockTable(tltWrite, tltNone);
        EXPECT_EQ(Usage(*b).WriteCount, 0);
    }
}

// ---- Threads: each session on its own thread, as sessions of one process are ----

TEST(LockFileThreads, AWaitingWriterBlocksNewReadersAndGetsTheLockWhenTheyLeave) {
    TempDir dir;
    TdwOSFileSystem fileSystem;
    const std::u16string base = dir.Name("T");
    auto make = [&](std::uint64_t id) {
        auto session = std::make_unique<TTdbLockFile>(fileSystem);
        session->SetSessionId(id);
        session->SetWaitAttempts(3);
        session->LogIn(base, kLevel, false);
        return session;
    };
    auto readerA = make(1);
    auto readerB = make(2);
    auto latecomer = make(3);
    auto writer = make(4);
    writer->SetWaitAttempts(20000);
    ASSERT_TRUE(readerA->LockTable(tltNone, tltRead, true));
    ASSERT_TRUE(readerB->LockTable(tltNone, tltRead, true));

    std::atomic<int> result{-1};
    std::thread waiting([&] { result = writer->LockTable(tltNone, tltWrite, false) ? 1 : 0; });
    TTdbTableUsage usage;
    for (int i = 0; i < 2000 && usage.WaitWriteCount == 0; ++i) {
        latecomer->GetLockInfo(usage);
        if (usage.WaitWriteCount == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(usage.WaitWriteCount, 1);
    EXPECT_EQ(usage.WaitCount, 1);
    EXPECT_FALSE(latecomer->LockTable(tltNone, tltRead, true));
    EXPECT_EQ(result.load(), -1);

    readerA->UnlockTable(tltRead, tltNone);
    readerB->UnlockTable(tltRead, tltNone);
    waiting.join();
    EXPECT_EQ(result.load(), 1);
    latecomer->GetLockInfo(usage);
    EXPECT_EQ(usage.WaitWriteCount, 0);
    EXPECT_EQ(usage.WriteCount, 1);
    writer->UnlockTable(tltWrite, tltNone);
    EXPECT_TRUE(latecomer->LockTable(tltNone, tltRead, true));
    EXPECT_TRUE(latecomer->CheckUpdate());
}

TEST(LockFileThreads, ConcurrentSessionsKeepTheCountsExact) {
    TempDir dir;
    TdwOSFileSystem fileSystem;
    const std::u16string base = dir.Name("T");
    constexpr int kSessions = 4;
    constexpr int kRounds = 30;
    std::vector<std::unique_ptr<TTdbLockFile>> sessions;
    for (int i = 0; i < kSessions; ++i) {
        sessions.push_back(std::make_unique<TTdbLockFile>(fileSystem));
        sessions.back()->SetSessionId(static_cast<std::uint64_t>(i + 1));
        sessions.back()->LogIn(base, kLevel, false);
    }
    std::atomic<int> writersInside{0};
    std::atomic<int> readersInside{0};
    std::atomic<int> writes{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kSessions; ++i) {
        threads.emplace_back([&, i] {
            TTdbLockFile& session = *sessions[static_cast<std::size_t>(i)];
            for (int round = 0; round < kRounds; ++round) {
                const TTdbTableLockType level = (round + i) % 3 == 0 ? tltWrite : tltRead;
                if (!session.LockTable(tltNone, level, false))
                    continue;
                if (level == tltWrite) {
                    if (writersInside.fetch_add(1) != 0 || readersInside.load() != 0)
                        overlap = true;
                    ++writes;
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    writersInside.fetch_sub(1);
                } else {
                    readersInside.fetch_add(1);
                    if (writersInside.load() != 0)
                        overlap = true;
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    readersInside.fetch_sub(1);
                }
                session.UnlockTable(level, tltNone);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_FALSE(overlap.load());
    TTdbTableUsage usage;
    sessions[0]->GetLockInfo(usage);
    EXPECT_EQ(usage.ReadCount + usage.UpgradeCount + usage.WriteCount, 0);
    EXPECT_EQ(usage.WaitCount, 0);
    EXPECT_EQ(usage.UserCount, kSessions);
    EXPECT_GT(writes.load(), 0);
    EXPECT_EQ(usage.UpdateCount, static_cast<std::uint32_t>(writes.load()));
}

}  // namespace
}  // namespace tdb
