// The files beside a shared table, seen from outside: readers of the lock file, the move file and
// the redo log written from their documented layouts alone check what real use leaves in them;
// damaged and hostile files and failing file-system calls must end in an engine error or a sound
// repair, and leave the table and its indexes in agreement.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../platform/test_support.h"
#include "base/engine_errors.h"
#include "engine/base_table.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "platform/exception.h"
#include "platform/text.h"
#include "recording_listener.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "table_audit.h"

namespace tdb {
namespace {

using testing::Le;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;
using namespace std::chrono_literals;

// Long enough for the unlock thread to give an idle table's locks back.
constexpr auto kReleaseTime = 100ms;

// ---- Readers of the layouts ----

struct TLockHeader {
    std::uint32_t Tag = 0;
    std::uint16_t Version = 0;
    std::int64_t ChangeCount = 0;
    std::uint16_t IndexCount = 0, ReadLocks = 0, UpgradeLocks = 0, WriteLocks = 0, LockWaiters = 0,
                  WriteWaiters = 0, ItemCount = 0, SessionCount = 0;
};

struct TLockEntry {
    std::uint64_t Id = 0;
    std::string Name;
    std::uint8_t TableLock = 0;
    std::uint8_t DesiredLock = 0;
    std::int32_t EditRecNo = 0;
    std::uint8_t VitalSign = 0;
};

struct TLockFileImage {
    std::string Raw;
    TLockHeader Header;
    std::vector<TLockEntry> Entries;
};

TLockFileImage ReadLockFile(const std::filesystem::path& path) {
    TLockFileImage image;
    image.Raw = ReadBytes(path);
    const std::string& b = image.Raw;
    if (b.size() < 30)
        return image;
    TLockHeader& h = image.Header;
    h.Tag = Le<std::uint32_t>(b, 0);
    h.Version = Le<std::uint16_t>(b, 4);
    h.ChangeCount = Le<std::int64_t>(b, 6);
    h.IndexCount = Le<std::uint16_t>(b, 14);
    h.ReadLocks = Le<std::uint16_t>(b, 16);
    h.UpgradeLocks = Le<std::uint16_t>(b, 18);
    h.WriteLocks = Le<std::uint16_t>(b, 20);
    h.LockWaiters = Le<std::uint16_t>(b, 22);
    h.WriteWaiters = Le<std::uint16_t>(b, 24);
    h.ItemCount = Le<std::uint16_t>(b, 26);
    h.SessionCount = Le<std::uint16_t>(b, 28);
    for (std::size_t pos = 30; pos + 56 <= b.size(); pos += 56) {
        TLockEntry& e = image.Entries.emplace_back();
        e.Id = Le<std::uint64_t>(b, pos);
        const std::size_t length = static_cast<unsigned char>(b[pos + 8]);
        e.Name = b.substr(pos + 9, std::min<std::size_t>(length, 40));
        e.TableLock = static_cast<std::uint8_t>(b[pos + 49]);
        e.DesiredLock = static_cast<std::uint8_t>(b[pos + 50]);
        e.EditRecNo = Le<std::int32_t>(b, pos + 51);
        e.VitalSign = static_cast<std::uint8_t>(b[pos + 55]);
    }
    return image;
}

// (to, from) as stored.
std::vector<std::pair<std::int32_t, std::int32_t>> ReadMoveFile(const std::filesystem::path& path) {
    const std::string b = ReadBytes(path);
    std::vector<std::pair<std::int32_t, std::int32_t>> pairs;
    for (std::size_t pos = 0; pos + 8 <= b.size(); pos += 8)
        pairs.emplace_back(Le<std::int32_t>(b, pos), Le<std::int32_t>(b, pos + 4));
    return pairs;
}

struct TRedoEntry {
    std::uint8_t Kind = 0;
    std::int32_t Number = 0;  // record number, or column number of a blob entry
    std::string Data;         // the old record image or the blob data
    std::uint32_t Trailing = 0;
};

// Read backwards through the trailing lengths, as a rollback does; empty with a reason in
// `failure` when the entries do not tile the file exactly.
std::vector<TRedoEntry> ReadRedoLog(const std::filesystem::path& path, std::size_t recordSize,
                                    std::string& failure) {
    const std::string b = ReadBytes(path);
    std::vector<TRedoEntry> entries;
    if (b.size() < 8 || Le<std::uint32_t>(b, 0) != 0xE0D0C0B0u || Le<std::uint32_t>(b, 4) != 0) {
        failure = "header";
        return {};
    }
    std::size_t end = b.size();
    while (end > 8) {
        const std::uint32_t length = Le<std::uint32_t>(b, end - 4);
        if (length < 9 || length > end - 8) {
            failure = "trailing length at " + std::to_string(end);
            return {};
        }
        TRedoEntry e;
        const std::size_t start = end - length;
        e.Kind = static_cast<std::uint8_t>(b[start]);
        e.Number = Le<std::int32_t>(b, start + 1);
        e.Data = b.substr(start + 5, length - 9);
        e.Trailing = length;
        const bool fits = e.Kind == 0   ? length == 9
                          : e.Kind <= 2 ? length == 9 + recordSize
                                        : e.Kind <= 4;
        if (!fits) {
            failure = "entry at " + std::to_string(start);
            return {};
        }
        entries.insert(entries.begin(), e);
        end = start;
    }
    return entries;
}

// Whether another handle holds a lock on the byte range of the file, asked of the kernel through
// a handle of our own.
bool RangeLocked(const std::filesystem::path& path, off_t start, off_t length) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    const bool locked = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    ::close(fd);
    return locked;
}

// Holds the vital-sign byte of an entry, as its live owner would.
class TVitalSignHolder {
public:
    TVitalSignHolder(const std::filesystem::path& path, int entry) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 30 + 56 * entry + 55;
        fl.l_len = 1;
        held_ = fd_ >= 0 && ::fcntl(fd_, F_OFD_SETLK, &fl) == 0;
    }
    ~TVitalSignHolder() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool Held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

std::string LockHeaderBytes(std::int64_t changeCount, std::uint16_t readLocks,
                            std::uint16_t upgradeLocks, std::uint16_t writeLocks,
                            std::uint16_t lockWaiters, std::uint16_t writeWaiters,
                            std::uint16_t itemCount, std::uint16_t sessionCount,
                            std::uint16_t indexCount = 0) {
    std::string b(30, '\0');
    const auto put = [&b](std::size_t pos, std::uint64_t value, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i)
            b[pos + i] = static_cast<char>(value >> (8 * i));
    };
    put(0, 0x834BCF55u, 4);
    put(4, 7, 2);
    put(6, static_cast<std::uint64_t>(changeCount), 8);
    put(14, indexCount, 2);
    put(16, readLocks, 2);
    put(18, upgradeLocks, 2);
    put(20, writeLocks, 2);
    put(22, lockWaiters, 2);
    put(24, writeWaiters, 2);
    put(26, itemCount, 2);
    put(28, sessionCount, 2);
    return b;
}

std::string LockEntryBytes(std::uint64_t id, const std::string& name, std::uint8_t tableLock,
                           std::uint8_t desiredLock, std::int32_t editRecNo) {
    std::string b(56, '\0');
    for (std::size_t i = 0; i < 8; ++i)
        b[i] = static_cast<char>(id >> (8 * i));
    b[8] = static_cast<char>(name.size());
    b.replace(9, name.size(), name);
    b[49] = static_cast<char>(tableLock);
    b[50] = static_cast<char>(desiredLock);
    for (std::size_t i = 0; i < 4; ++i)
        b[51 + i] = static_cast<char>(static_cast<std::uint32_t>(editRecNo) >> (8 * i));
    b[55] = static_cast<char>(255);
    return b;
}

// ---- A session with the audit table open shared ----

class TSharer {
public:
    TSharer(TTdbPageManager& pm, const std::u16string& directory, bool create,
            std::u16string stationName = {}, std::unique_ptr<TdwFileSystem> lockFileSystem = {})
        : session_(&pm) {
        EXPECT_EQ(session_.Initialize(1), 0);
        session_.Catalog().SetLocation(directory);
        EXPECT_EQ(session_.OpenDb(), 0) << LastError();
        if (!stationName.empty())
            session_.Services().FIDName = std::move(stationName);
        if (lockFileSystem)
            session_.Services().SetLockFileSystem(std::move(lockFileSystem));
        if (create) {
            TTdbCreateTableArgs args = audit::AuditTableArgs(u"Shared");
            EXPECT_EQ(session_.Catalog().CreateTable(args), 0) << LastError();
        }
        OpenResult = session_.Catalog().OpenTable(u"Shared", {}, kRightsWrite, false, false, false);
        if (OpenResult > 0) {
            table_ = dynamic_cast<TTdbBaseTable*>(session_.Catalog().GetRelation(OpenResult));
            table_->SetLockWaitAttempts(40);
        }
    }
    ~TSharer() { session_.Uninitialize(); }

    bool Open() const { return table_ != nullptr; }
    TTdbBaseTable& Table() { return *table_; }
    TTdbCatalog& Catalog() { return session_.Catalog(); }
    std::uint64_t Station() { return session_.Services().FStation; }
    std::string LastError() { return ToUtf8(session_.Services().LastError().LastErrorMsg()); }
    std::int16_t LastCode() { return session_.Services().LastError().LastErrorCode(); }

    std::int32_t Append(std::uint32_t n) {
        std::vector<std::byte> record(static_cast<std::size_t>(table_->GetRecordSize()));
        if (const std::int16_t init = table_->InitRecord(record, true); init != 0)
            return init < 0 ? init : -1;
        audit::SetRow(*table_, record, audit::RowFor(n));
        TTdbBlobDataList blobs;
        return table_->AppendRecord(record, blobs);
    }
    std::int16_t Replace(std::int32_t recNo, std::uint32_t n) {
        std::vector<std::byte> stored(static_cast<std::size_t>(table_->GetRecordSize()));
        if (const std::int16_t read = table_->ReadRecord(recNo, stored); read != 0)
            return read;
        std::vector<std::byte> record = stored;
        audit::SetRow(*table_, record, audit::RowFor(n));
        TTdbBlobDataList blobs;
        return table_->ReplaceRecord(record, stored, recNo, blobs);
    }

    std::int16_t Delete(std::int32_t recNo) {
        std::vector<std::byte> stored(static_cast<std::size_t>(table_->GetRecordSize()));
        if (const std::int16_t read = table_->ReadRecord(recNo, stored); read != 0)
            return read;
        return table_->DeleteRecord(stored, recNo);
    }

    std::string Image(std::int32_t recNo) {
        std::vector<std::byte> record(static_cast<std::size_t>(table_->GetRecordSize()));
        EXPECT_EQ(table_->BeginRead(true), 0) << LastError();
        EXPECT_EQ(table_->ReadRecord(recNo, record), 0);
        table_->EndRead();
        return std::string(reinterpret_cast<const char*>(record.data()), record.size());
    }
    std::int32_t Count() {
        if (table_->BeginRead(true) != 0)
            return -1;
        const std::int32_t count = table_->GetRecordCount();
        table_->EndRead();
        return count;
    }
    // Empty when every index agrees with the table (after catching up with other sessions).
    std::string Audit() {
        if (const std::int16_t update = table_->CheckUpdate(); update < 0)
            return "CheckUpdate failed with " + std::to_string(update) + ": " + LastError();
        if (table_->BeginRead(true) != 0)
            return "no read lock: " + LastError();
        std::string disagreement;
        for (TTdbIndexNo no = 0; no <= table_->GetLastIndexNo() && disagreement.empty(); ++no)
            if (table_->GetIndexFile(no) != nullptr)
                disagreement = audit::IndexDisagreement(*table_, no);
        table_->EndRead();
        return disagreement;
    }

    std::int32_t OpenResult = 0;

private:
    TTdbLocalSession session_;
    TTdbBaseTable* table_ = nullptr;
};

// Records what the table tells its accessors.
class SharingFilesTest : public ::testing::Test {
protected:
    std::unique_ptr<TSharer> NewSharer(bool create = false, std::u16string station = {},
                                       std::unique_ptr<TdwFileSystem> lockFs = {}) {
        return std::make_unique<TSharer>(pm_, dir_.Name(), create, std::move(station),
                                         std::move(lockFs));
    }
    std::filesystem::path File(const std::string& name) { return dir_.Path() / name; }
    std::filesystem::path LockPath() { return File("Shared.tdbl"); }
    std::filesystem::path MovePath() { return File("Shared.tdbv"); }
    std::filesystem::path RedoPath() { return File("Shared.tdbr"); }

public:
    std::filesystem::path LockFilePath() { return LockPath(); }

protected:
    // A table of `records` records, closed again.
    void MakeTable(std::uint32_t records) {
        auto maker = NewSharer(true);
        for (std::uint32_t n = 0; n < records; ++n)
            ASSERT_GT(maker->Append(n), 0) << maker->LastError();
    }

    // A session opens the table as it lies and uses it; empty when it could, else the engine
    // error the open ended in (which must be one of `allowed`). Afterwards the table's indexes
    // agree with it and, when the session was the last one, its sharing files are gone.
    std::string OpenAndUse(const std::vector<std::int16_t>& allowed, std::int32_t records) {
        std::int16_t code = 0;
        {
            auto s = NewSharer();
            if (!s->Open()) {
                code = s->LastCode();
                bool known = false;
                for (std::int16_t c : allowed)
                    known = known || c == code;
                if (!known)
                    return "unexpected error " + std::to_string(code) + ": " + s->LastError();
                return "error " + std::to_string(code);
            }
            if (s->Count() != records)
                return "count " + std::to_string(s->Count());
            const std::int32_t appended = s->Append(7777);
            if (appended != records + 1)
                return "append: " + std::to_string(appended) + " " + s->LastError();
            if (s->Table().DeleteRecordDirect(appended) != 0)
                return "delete: " + s->LastError();
            if (s->Table().CheckEdit(1, nullptr) != 0)
                return "edit: " + s->LastError();
            s->Table().EndEdit(1);
            if (std::string d = s->Audit(); !d.empty())
                return d;
        }
        if (std::filesystem::exists(LockPath()) || std::filesystem::exists(MovePath()))
            return "sharing files left behind";
        return {};
    }

    TTdbPageManager pm_;
    TempDir dir_;
};

// ---- What real use leaves in the files ----

TEST_F(SharingFilesTest, TheFilesHoldWhatTheSessionsDid) {
    MakeTable(10);
    auto a = NewSharer(false, u"P\u00E9cs-\u00DCgyf\u00E9l");
    auto b = NewSharer(false, u"Szeged");
    ASSERT_TRUE(a->Open() && b->Open());
    std::this_thread::sleep_for(kReleaseTime);  // the opens' read locks go back lazily

    TLockFileImage f = ReadLockFile(LockPath());
    ASSERT_EQ(f.Raw.size(), 30u + 2 * 56);
    EXPECT_EQ(f.Raw.substr(0, 6), std::string("\x55\xCF\x4B\x83\x07\x00", 6));
    EXPECT_EQ(f.Header.ItemCount, 2);
    EXPECT_EQ(f.Header.SessionCount, 2);
    EXPECT_EQ(f.Header.ReadLocks + f.Header.UpgradeLocks + f.Header.WriteLocks, 0);
    EXPECT_EQ(f.Header.LockWaiters + f.Header.WriteWaiters, 0);
    ASSERT_EQ(f.Entries.size(), 2u);
    EXPECT_EQ(f.Entries[0].Id, a->Station());
    EXPECT_EQ(f.Entries[0].Name,
              "P\xE9"
              "cs-\xDCgyf\xE9l");  // ANSI, Western code page
    EXPECT_EQ(f.Entries[1].Id, b->Station());
    EXPECT_EQ(f.Entries[1].Name, "Szeged");
    EXPECT_NE(a->Station(), b->Station());
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(f.Entries[i].VitalSign, 255);
        EXPECT_TRUE(RangeLocked(LockPath(), 30 + 56 * i + 55, 1)) << "entry " << i;
        EXPECT_EQ(f.Entries[i].TableLock, 0);
        EXPECT_EQ(f.Entries[i].EditRecNo, 0);
    }
    EXPECT_FALSE(RangeLocked(LockPath(), 0, 4));  // nobody sits in the file's mutex
    const std::int64_t changesBefore = f.Header.ChangeCount;

    // Record locks, then a read lock of A that B's write has to wait for.
    ASSERT_EQ(a->Table().CheckEdit(10, nullptr), 0) << a->LastError();
    ASSERT_EQ(b->Table().CheckEdit(5, nullptr), 0) << b->LastError();
    ASSERT_EQ(a->Table().BeginRead(true), 0);
    f = ReadLockFile(LockPath());
    EXPECT_EQ(f.Entries[0].EditRecNo, 10);
    EXPECT_EQ(f.Entries[1].EditRecNo, 5);
    EXPECT_EQ(f.Entries[0].TableLock, 1);
    EXPECT_EQ(f.Header.ReadLocks, 1);

    b->Table().SetLockWaitAttempts(2000);
    std::int16_t writeResult = 1;
    std::thread writer([&] { writeResult = b->Table().BeginWrite(true); });
    bool announced = false;
    for (int i = 0; i < 400 && !announced; ++i) {
        f = ReadLockFile(LockPath());
        announced = f.Entries.size() == 2 && f.Entries[1].DesiredLock == 3;
        if (!announced)
            std::this_thread::sleep_for(2ms);
    }
    EXPECT_TRUE(announced);
    EXPECT_EQ(f.Header.LockWaiters, 1);
    EXPECT_EQ(f.Header.WriteWaiters, 1);
    EXPECT_EQ(f.Entries[1].TableLock, 0);
    a->Table().EndRead();
    writer.join();
    ASSERT_EQ(writeResult, 0) << b->LastError();
    f = ReadLockFile(LockPath());
    EXPECT_EQ(f.Header.WriteLocks, 1);
    EXPECT_EQ(f.Header.ReadLocks, 0);
    EXPECT_EQ(f.Header.LockWaiters + f.Header.WriteWaiters, 0);
    EXPECT_EQ(f.Entries[0].TableLock, 0);
    EXPECT_EQ(f.Entries[1].TableLock, 3);
    EXPECT_EQ(f.Entries[1].DesiredLock, 0);

    // B deletes a middle record: the last one moves into its slot, A's record lock with it.
    ASSERT_EQ(b->Table().DeleteRecordDirect(3), 0) << b->LastError();
    b->Table().EndWrite();
    EXPECT_EQ(ReadMoveFile(MovePath()),
              (std::vector<std::pair<std::int32_t, std::int32_t>>{{3, 10}}));
    EXPECT_EQ(ReadBytes(MovePath()).size(), 8u);
    f = ReadLockFile(LockPath());
    EXPECT_EQ(f.Entries[0].EditRecNo, 3);
    std::this_thread::sleep_for(kReleaseTime);
    f = ReadLockFile(LockPath());
    EXPECT_EQ(f.Header.WriteLocks, 0);
    EXPECT_EQ(f.Entries[1].TableLock, 0);
    EXPECT_GT(f.Header.ChangeCount, changesBefore);  // giving up the write lock is a change
    a->Table().EndEdit(10);
    b->Table().EndEdit(5);
    f = ReadLockFile(LockPath());
    EXPECT_EQ(f.Entries[0].EditRecNo, 0);
    EXPECT_EQ(f.Entries[1].EditRecNo, 0);
    EXPECT_EQ(a->Table().CheckUpdate(), 1);

    // A transaction of A: its log holds every change with the old images, newest last.
    const std::string old2 = a->Image(2);
    const std::string old4 = a->Image(4);
    const auto recordSize = static_cast<std::size_t>(a->Table().GetRecordSize());
    ASSERT_EQ(a->Catalog().BeginTransaction(), 0);
    ASSERT_EQ(a->Append(100), 10) << a->LastError();
    ASSERT_EQ(a->Replace(2, 101), 0);
    ASSERT_EQ(a->Table().DeleteRecordDirect(4), 0);
    std::string failure;
    const std::vector<TRedoEntry> log = ReadRedoLog(RedoPath(), recordSize, failure);
    EXPECT_EQ(failure, "");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].Kind, 0);
    EXPECT_EQ(log[0].Number, 10);
    EXPECT_EQ(log[0].Trailing, 9u);
    EXPECT_EQ(log[1].Kind, 1);
    EXPECT_EQ(log[1].Number, 2);
    EXPECT_EQ(log[1].Data, old2);
    EXPECT_EQ(log[1].Trailing, 9 + recordSize);
    EXPECT_EQ(log[2].Kind, 2);
    EXPECT_EQ(log[2].Number, 4);
    EXPECT_EQ(log[2].Data, old4);
    EXPECT_EQ(log[2].Trailing, 9 + recordSize);
    EXPECT_EQ(ReadMoveFile(MovePath()),
              (std::vector<std::pair<std::int32_t, std::int32_t>>{{3, 10}, {4, 10}}));
    ASSERT_EQ(a->Catalog().EndTransaction(true), 0) << a->LastError();
    EXPECT_FALSE(std::filesystem::exists(RedoPath()));

    // B leaves: its entry is cleared but for the vital-sign byte, which nobody holds now.
    b.reset();
    f = ReadLockFile(LockPath());
    EXPECT_EQ(f.Header.SessionCount, 1);
    ASSERT_EQ(f.Entries.size(), 2u);
    EXPECT_EQ(f.Raw.substr(30 + 56, 55), std::string(55, '\0'));
    EXPECT_FALSE(RangeLocked(LockPath(), 30 + 56 + 55, 1));
    EXPECT_TRUE(RangeLocked(LockPath(), 30 + 55, 1));
    std::this_thread::sleep_for(kReleaseTime);
    EXPECT_EQ(a->Audit(), "");
}

// ---- Damaged and hostile lock files ----

TEST_F(SharingFilesTest, ALockFileCutAtAnyLengthIsRepairedOrRefused) {
    MakeTable(4);
    std::string image;
    {
        auto a = NewSharer();
        auto b = NewSharer();
        ASSERT_EQ(a->Table().CheckEdit(2, nullptr), 0);
        ASSERT_EQ(b->Table().BeginRead(true), 0);
        image = ReadBytes(LockPath());
        b->Table().EndRead();
        a->Table().EndEdit(2);
    }
    ASSERT_EQ(image.size(), 30u + 2 * 56);
    for (std::size_t length = 0; length <= image.size(); ++length) {
        SCOPED_TRACE(length);
        WriteBytes(LockPath(), image.substr(0, length));
        const std::string outcome = OpenAndUse({kTdbErrLogin, kTdbErrInvalidLockFile}, 4);
        // Without a whole header nothing can be trusted; from there on what is left is repaired.
        if (length == 0 || length >= 30)
            EXPECT_EQ(outcome, "");
        else
            EXPECT_EQ(outcome.rfind("error ", 0), 0u) << outcome;
    }
}

TEST_F(SharingFilesTest, RandomLockFilesEndInAnErrorOrARepair) {
    MakeTable(3);
    std::mt19937 random(20261210);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        std::string bytes(random() % 400, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        // Half of them behind a valid tag and version, so that the rest is read.
        if (round % 2 == 1 && bytes.size() >= 6)
            bytes.replace(0, 6, std::string("\x55\xCF\x4B\x83\x07\x00", 6));
        WriteBytes(LockPath(), bytes);
        const std::string outcome =
            OpenAndUse({kTdbErrLogin, kTdbErrInvalidLockFile, kTdbErrNetwork}, 3);
        EXPECT_TRUE(outcome.empty() || outcome.rfind("error ", 0) == 0) << outcome;
    }
}

TEST_F(SharingFilesTest, AbsurdCountsAreRecountedFromTheEntries) {
    MakeTable(3);
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    const std::string dead = LockEntryBytes(4242, "gone", 3, 3, 2);
    const std::string strange = LockEntryBytes(4343, "odd", 200, 9, -5);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"no entries counted many", LockHeaderBytes(0, 0, 0, 0, 0, 0, 65535, 65535)},
        {"locks of nobody", LockHeaderBytes(5, 65535, 65535, 65535, 65535, 65535, 0, 0)},
        {"a dead writer", LockHeaderBytes(5, 0, 0, 1, 1, 1, 1, 1) + dead},
        {"a dead entry with unknown levels", LockHeaderBytes(5, 0, 0, 0, 0, 0, 1, 1) + strange},
        {"entries beyond the count", LockHeaderBytes(5, 0, 0, 0, 0, 0, 0, 0) + dead + strange},
        {"the highest change count", LockHeaderBytes(kMax, 0, 0, 0, 0, 0, 0, 0)},
        {"a dead writer at the highest count", LockHeaderBytes(kMax, 0, 0, 1, 0, 0, 1, 1) + dead},
        {"the lowest change count", LockHeaderBytes(kMin, 0, 0, 0, 0, 0, 0, 0)},
        {"more indexes than the table has", LockHeaderBytes(5, 0, 0, 0, 0, 0, 0, 0, 65535)},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        WriteBytes(LockPath(), bytes);
        EXPECT_EQ(OpenAndUse({}, 3), "");
    }
}

TEST_F(SharingFilesTest, ChangesAreSeenAcrossTheTopOfTheChangeCount) {
    MakeTable(3);
    WriteBytes(LockPath(),
               LockHeaderBytes(std::numeric_limits<std::int64_t>::max() - 1, 0, 0, 0, 0, 0, 0, 0));
    auto a = NewSharer();
    auto b = NewSharer();
    ASSERT_TRUE(a->Open() && b->Open());
    std::this_thread::sleep_for(kReleaseTime);
    for (std::uint32_t n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        ASSERT_EQ(b->Append(100 + n), static_cast<std::int32_t>(4 + n)) << b->LastError();
        std::this_thread::sleep_for(kReleaseTime);
        EXPECT_EQ(a->Table().CheckUpdate(), 1);
        EXPECT_EQ(a->Table().CheckUpdate(), 0);
        EXPECT_EQ(a->Count(), static_cast<std::int32_t>(4 + n));
    }
    EXPECT_EQ(a->Audit(), "");
}

TEST_F(SharingFilesTest, AnOverstatedIndexCountIsNotAChangeForever) {
    MakeTable(3);
    WriteBytes(LockPath(), LockHeaderBytes(5, 0, 0, 0, 0, 0, 0, 0, 65535));
    auto a = NewSharer();
    ASSERT_TRUE(a->Open());
    a->Table().CheckUpdate();
    EXPECT_EQ(a->Table().CheckUpdate(), 0);
    EXPECT_EQ(a->Audit(), "");
}

TEST_F(SharingFilesTest, LiveEntriesThatContradictEachOtherAreANetworkError) {
    MakeTable(3);
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases = {
        {"an unknown lock level", {4}}, {"read and write", {1, 3}}, {"write and read", {3, 1}},
        {"two upgrades", {2, 2}},       {"two writes", {3, 3}},     {"upgrade and write", {2, 3}},
    };
    for (const auto& [name, levels] : cases) {
        SCOPED_TRACE(name);
        std::string bytes =
            LockHeaderBytes(1, 0, 0, 0, 0, 0, static_cast<std::uint16_t>(levels.size()), 0);
        for (std::size_t i = 0; i < levels.size(); ++i)
            bytes += LockEntryBytes(900 + i, "live", levels[i], 0, 0);
        WriteBytes(LockPath(), bytes);
        std::vector<std::unique_ptr<TVitalSignHolder>> holders;
        for (std::size_t i = 0; i < levels.size(); ++i) {
            holders.push_back(std::make_unique<TVitalSignHolder>(LockPath(), static_cast<int>(i)));
            ASSERT_TRUE(holders.back()->Held());
        }
        EXPECT_EQ(OpenAndUse({kTdbErrNetwork}, 3), "error 109");
        holders.clear();
        // Once their owners are gone the entries are cleared and the table opens.
        EXPECT_EQ(OpenAndUse({}, 3), "");
    }
}

// ---- Damaged move files ----

void AppendBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string PairBytes(std::int32_t to, std::int32_t from) {
    std::string b(8, '\0');
    for (std::size_t i = 0; i < 4; ++i) {
        b[i] = static_cast<char>(static_cast<std::uint32_t>(to) >> (8 * i));
        b[4 + i] = static_cast<char>(static_cast<std::uint32_t>(from) >> (8 * i));
    }
    return b;
}

TEST_F(SharingFilesTest, InvalidMovePairsAreAnErrorOnceAndLoseNothing) {
    constexpr std::int32_t kHuge = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t kLow = std::numeric_limits<std::int32_t>::min();
    // Record numbers start at 1; pairs that only look unusual (a record beyond today's count,
    // one that moved up) are passed on, for a number alone cannot prove them wrong.
    const std::vector<std::pair<std::pair<std::int32_t, std::int32_t>, bool>> pairs = {
        {{0, 5}, false},       {{5, 0}, false},    {{-3, 5}, false}, {{5, -3}, false},
        {{kLow, kLow}, false}, {{kHuge, 5}, true}, {{7, 7}, true},   {{9, 4}, true}};
    MakeTable(6);
    auto a = NewSharer();
    auto b = NewSharer();
    ASSERT_TRUE(a->Open() && b->Open());
    testing::TRecordingListener listener;
    a->Table().AddAccessor(&listener);
    std::vector<std::pair<std::int32_t, std::int32_t>> delivered;
    std::int32_t records = 6;
    for (const auto& [pair, valid] : pairs) {
        const auto [to, from] = pair;
        SCOPED_TRACE(std::to_string(to) + " from " + std::to_string(from));
        AppendBytes(MovePath(), PairBytes(to, from));
        ++records;
        ASSERT_EQ(b->Append(static_cast<std::uint32_t>(records)), records) << b->LastError();
        std::this_thread::sleep_for(kReleaseTime);
        EXPECT_EQ(a->Table().CheckUpdate(), valid ? 1 : -kTdbErrUnknown);
        if (valid)
            delivered.push_back(pair);
        EXPECT_EQ(listener.Moves, delivered);
        EXPECT_EQ(a->Table().CheckUpdate(), 0);
        EXPECT_EQ(a->Count(), records);
        EXPECT_EQ(a->Audit(), "");
    }
    // A real move after them still arrives.
    ASSERT_EQ(b->Table().DeleteRecordDirect(2), 0) << b->LastError();
    std::this_thread::sleep_for(kReleaseTime);
    EXPECT_EQ(a->Table().CheckUpdate(), 1);
    delivered.emplace_back(2, records);
    EXPECT_EQ(listener.Moves, delivered);
    EXPECT_EQ(a->Audit(), "");
    a->Table().RemoveAccessor(&listener);
}

TEST_F(SharingFilesTest, ATornLastMovePairIsOverwrittenByTheNextOne) {
    MakeTable(12);
    auto a = NewSharer();
    auto b = NewSharer();
    ASSERT_TRUE(a->Open() && b->Open());
    testing::TRecordingListener listener;
    a->Table().AddAccessor(&listener);
    std::vector<std::pair<std::int32_t, std::int32_t>> expected;
    std::int32_t records = 12;
    for (std::size_t torn = 1; torn < 8; torn += 3) {
        SCOPED_TRACE(torn);
        AppendBytes(MovePath(), std::string(torn, '\x7F'));
        ASSERT_EQ(b->Table().DeleteRecordDirect(1), 0) << b->LastError();
        expected.emplace_back(1, records--);
        std::this_thread::sleep_for(kReleaseTime);
        EXPECT_EQ(a->Table().CheckUpdate(), 1);
        EXPECT_EQ(listener.Moves, expected);
        EXPECT_EQ(ReadMoveFile(MovePath()), expected);
        EXPECT_EQ(ReadBytes(MovePath()).size() % 8, 0u);
        EXPECT_EQ(a->Count(), records);
        EXPECT_EQ(a->Audit(), "");
    }
    a->Table().RemoveAccessor(&listener);
}

TEST_F(SharingFilesTest, ARolledBackDeleteMovesTheDisplacedRecordBackForEverybody) {
    MakeTable(10);
    auto a = NewSharer();
    auto b = NewSharer();
    ASSERT_TRUE(a->Open() && b->Open());
    std::vector<std::string> images;
    for (std::int32_t recNo = 1; recNo <= 10; ++recNo)
        images.push_back(b->Image(recNo));
    std::this_thread::sleep_for(kReleaseTime);
    testing::TRecordingListener listener;
    b->Table().AddAccessor(&listener);

    ASSERT_EQ(a->Catalog().BeginTransaction(), 0);
    ASSERT_EQ(a->Table().DeleteRecordDirect(3), 0) << a->LastError();
    ASSERT_EQ(a->Catalog().EndTransaction(false), 0) << a->LastError();
    std::this_thread::sleep_for(kReleaseTime);
    EXPECT_EQ(b->Table().CheckUpdate(), 1);

    // Whoever follows the moves in order finds every record where it stands now.
    std::map<std::int32_t, std::int32_t> place;  // record's first number -> number believed
    for (std::int32_t recNo = 1; recNo <= 10; ++recNo)
        place[recNo] = recNo;
    for (const auto& [to, from] : listener.Moves)
        for (auto& [record, at] : place)
            if (at == from)
                at = to;
    for (std::int32_t recNo = 1; recNo <= 10; ++recNo) {
        if (recNo == 3)
            continue;  // it was deleted for a while: a follower may have let it go
        EXPECT_EQ(b->Image(place[recNo]), images[static_cast<std::size_t>(recNo - 1)])
            << "record " << recNo << " believed at " << place[recNo];
    }
    EXPECT_EQ(b->Audit(), "");
    b->Table().RemoveAccessor(&listener);
}

// ---- Left and damaged redo logs ----

TEST_F(SharingFilesTest, ALeftRedoLogOfAnyShapeIsDiscardedByTheNextOpen) {
    MakeTable(5);
    std::string valid;
    {
        auto a = NewSharer();
        auto b = NewSharer();
        ASSERT_EQ(a->Catalog().BeginTransaction(), 0);
        ASSERT_GT(a->Append(50), 0);
        ASSERT_EQ(a->Replace(1, 51), 0);
        ASSERT_EQ(a->Table().DeleteRecordDirect(2), 0);
        valid = ReadBytes(RedoPath());
        ASSERT_EQ(a->Catalog().EndTransaction(false), 0) << a->LastError();
    }
    std::mt19937 random(77);
    std::vector<std::pair<std::string, std::string>> logs = {
        {"empty", ""},
        {"short", "\xB0\xC0\xD0"},
        {"header only", valid.substr(0, 8)},
        {"torn", valid.substr(0, valid.size() - 3)},
        {"cut inside the first entry", valid.substr(0, 12)},
        {"whole", valid},
    };
    for (int i = 0; i < 6; ++i) {
        std::string bytes(random() % 2000, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        if (i % 2 == 1)
            bytes = valid.substr(0, 8) + bytes;  // behind a valid header
        logs.emplace_back("random " + std::to_string(i), bytes);
    }
    for (const auto& [name, bytes] : logs) {
        SCOPED_TRACE(name);
        WriteBytes(RedoPath(), bytes);
        {
            auto s = NewSharer();
            ASSERT_TRUE(s->Open()) << s->LastError();
            EXPECT_FALSE(std::filesystem::exists(RedoPath()));
            EXPECT_EQ(s->Count(), 5);
            EXPECT_EQ(s->Audit(), "");
        }
        EXPECT_EQ(OpenAndUse({}, 5), "");
    }
}

// ---- Failing file-system calls ----

// The operating system's file system, with the n-th read, write, size or lock call on a lock or
// move file failing (and, when sticky, every one after it).
class TSharingFaults : public TdwOSFileSystem {
public:
    enum TKind { fkRead, fkWrite, fkSize, fkLock, fkKinds };

    TSharingFaults(std::u16string_view base, TKind kind, int failAt, bool sticky)
        : TdwOSFileSystem(base), kind_(kind), failAt_(failAt), sticky_(sticky) {}

    int Calls() {
        std::lock_guard guard(mutex_);
        return calls_;
    }
    int Failures() {
        std::lock_guard guard(mutex_);
        return failures_;
    }

    int32_t CreateFile(std::u16string_view path) override {
        return Track(path, TdwOSFileSystem::CreateFile(path));
    }
    int32_t OpenFile(std::u16string_view path, int32_t mode) override {
        return Track(path, TdwOSFileSystem::OpenFile(path, mode));
    }
    void CloseFile(int32_t handle) override {
        {
            std::lock_guard guard(mutex_);
            sharing_.erase(handle);
        }
        TdwOSFileSystem::CloseFile(handle);
    }
    int32_t FileRead(int32_t handle, int64_t pos, std::span<std::byte> data) override {
        if (Fails(handle, fkRead))
            return -1;
        return TdwOSFileSystem::FileRead(handle, pos, data);
    }
    int32_t FileWrite(int32_t handle, int64_t pos, std::span<const std::byte> data) override {
        if (Fails(handle, fkWrite))
            return -1;
        return TdwOSFileSystem::FileWrite(handle, pos, data);
    }
    int64_t GetFileSize(int32_t handle) override {
        if (Fails(handle, fkSize))
            throw Exception(u"The size cannot be read");
        return TdwOSFileSystem::GetFileSize(handle);
    }
    int32_t LockFile(int32_t handle, int64_t start, int64_t end, bool writeLock) override {
        if (Fails(handle, fkLock))
            return -1;
        return TdwOSFileSystem::LockFile(handle, start, end, writeLock);
    }

private:
    int32_t Track(std::u16string_view path, int32_t handle) {
        const bool sharing = path.ends_with(u".tdbl") || path.ends_with(u".tdbv");
        if (handle >= 0 && sharing) {
            std::lock_guard guard(mutex_);
            sharing_.insert(handle);
        }
        return handle;
    }
    bool Fails(int32_t handle, TKind kind) {
        std::lock_guard guard(mutex_);
        if (kind != kind_ || sharing_.count(handle) == 0)
            return false;
        const int call = calls_++;
        if (call == failAt_ || (sticky_ && failAt_ >= 0 && call > failAt_)) {
            ++failures_;
            TdwOSFileSystem::SetLastError(5);
            return true;
        }
        return false;
    }

    std::mutex mutex_;
    std::set<int32_t> sharing_;
    TKind kind_;
    int failAt_;
    bool sticky_;
    int calls_ = 0;
    int failures_ = 0;
};

// Opening, locking, editing, deleting, catching up and closing through a failing file system:
// every step either works or reports an engine error, and afterwards clean sessions find the
// table whole. Answers the number of calls of the kind that the run made.
int FaultRun(SharingFilesTest& test, TTdbPageManager& pm, const std::u16string& directory,
             TSharingFaults::TKind kind, int failAt, bool sticky, std::string& failure) {
    std::int32_t records = 0;
    int calls = 0;
    std::vector<std::int16_t> codes;  // of the engine errors the steps ended in
    const auto step = [&codes](std::int32_t result) {
        if (result < 0)
            codes.push_back(static_cast<std::int16_t>(-result));
    };
    {
        auto b = std::make_unique<TSharer>(pm, directory, false);
        if (!b->Open()) {
            failure += "clean session does not open: " + b->LastError();
            return 0;
        }
        {
            auto faults = std::make_unique<TSharingFaults>(directory, kind, failAt, sticky);
            TSharingFaults* counter = faults.get();
            auto a = std::make_unique<TSharer>(pm, directory, false, u"", std::move(faults));
            if (a->Open()) {
                step(a->Append(9000));
                if (const std::int16_t edit = a->Table().CheckEdit(1, nullptr); edit == 0) {
                    step(a->Replace(1, 9050));
                    a->Table().EndEdit(1);
                } else {
                    step(edit);
                }
                step(a->Delete(1));
                step(a->Table().BeginRead(true));
                if (a->Table().CountReadLocks() > 0)
                    a->Table().EndRead();
                step(a->Table().CheckUpdate());
                std::this_thread::sleep_for(20ms);  // the unlock thread gives the locks back
            } else {
                codes.push_back(a->LastCode());
            }
            calls = counter->Calls();
            if (failAt >= 0 && failAt < calls && counter->Failures() == 0)
                failure += "the call never failed; ";
            for (const std::int16_t code : codes)
                if (code != kTdbErrLogin && code != kTdbErrTableLocked &&
                    code != kTdbErrRecordBeingEdited)
                    failure += "error " + std::to_string(code) + ": " + a->LastError() + "; ";
        }
        // The faulty session is gone; a writer left behind in the file is found dead.
        b->Table().SetLockWaitAttempts(400);
        const std::int32_t appended = b->Append(9100);
        if (appended <= 0)
            failure += "clean append: " + b->LastError() + "; ";
        if (std::string d = b->Audit(); !d.empty())
            failure += "after the run: " + d + "; ";
        records = b->Count();
    }
    {
        auto c = std::make_unique<TSharer>(pm, directory, false);
        if (!c->Open()) {
            failure += "fresh session does not open: " + c->LastError() + "; ";
            return calls;
        }
        if (c->Count() != records)
            failure += "fresh session counts " + std::to_string(c->Count()) + " for " +
                       std::to_string(records) + "; ";
        if (std::string d = c->Audit(); !d.empty())
            failure += "fresh session: " + d + "; ";
    }
    if (std::filesystem::exists(test.LockFilePath()))
        failure += "lock file left behind; ";
    return calls;
}

TEST_F(SharingFilesTest, FailingCallsOnTheSharingFilesEndInErrorsAndLeaveTheTableWhole) {
    MakeTable(5);
    const char* kindNames[] = {"read", "write", "size", "lock"};
    for (int kind = 0; kind < TSharingFaults::fkKinds; ++kind) {
        std::string failure;
        const int calls = FaultRun(*this, pm_, dir_.Name(),
                                   static_cast<TSharingFaults::TKind>(kind), -1, false, failure);
        ASSERT_EQ(failure, "") << kindNames[kind] << " without faults";
        ASSERT_GT(calls, 0) << kindNames[kind];
        for (const bool sticky : {false, true}) {
            // The unlock thread's timing varies the count a little: a few more runs cover it.
            for (int n = 0; n < calls + 3; ++n) {
                SCOPED_TRACE(std::string(kindNames[kind]) + " call " + std::to_string(n) +
                             (sticky ? " and after" : ""));
                failure.clear();
                FaultRun(*this, pm_, dir_.Name(), static_cast<TSharingFaults::TKind>(kind), n,
                         sticky, failure);
                EXPECT_EQ(failure, "");
            }
        }
    }
}

}  // namespace
}  // namespace tdb
