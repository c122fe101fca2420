// Tables shared through their lock files: sessions of one process and of several processes,
// record locks, other sessions' changes, dead sessions, and transactions.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../platform/test_support.h"
#include "base/engine_errors.h"
#include "engine/base_table.h"
#include "engine/catalog.h"
#include "engine/lock_file.h"
#include "engine/session.h"
#include "platform/text.h"
#include "probe_process.h"
#include "recording_listener.h"
#include "storage/page_manager.h"
#include "table_audit.h"

namespace tdb {
namespace {

using testing::TempDir;
using testing::TRecordingListener;
using testing::TProbeProcess;
using namespace std::chrono_literals;

// Long enough for the unlock thread to give an idle table's locks back.
constexpr auto kReleaseTime = 100ms;

// One user of the database: a session with the audit table open shared.
class TUser {
public:
    TUser(TTdbPageManager& pm, const std::u16string& directory, bool create = false)
        : session_(&pm) {
        EXPECT_EQ(session_.Initialize(1), 0);
        session_.Catalog().SetLocation(directory);
        EXPECT_EQ(session_.OpenDb(), 0) << LastError();
        if (create) {
            TTdbCreateTableArgs args = audit::AuditTableArgs(u"Shared");
            EXPECT_EQ(session_.Catalog().CreateTable(args), 0) << LastError();
        }
        const int rltnIdx =
            session_.Catalog().OpenTable(u"Shared", {}, kRightsWrite, false, false, false);
        EXPECT_GT(rltnIdx, 0) << LastError();
        if (rltnIdx > 0) {
            table_ = dynamic_cast<TTdbBaseTable*>(session_.Catalog().GetRelation(rltnIdx));
            table_->SetLockWaitAttempts(40);
        }
    }
    ~TUser() { session_.Uninitialize(); }

    TTdbBaseTable& Table() { return *table_; }
    TTdbCatalog& Catalog() { return session_.Catalog(); }
    std::string LastError() {
        return ToUtf8(session_.Services().LastError().LastErrorMsg());
    }
    std::int16_t LastCode() { return session_.Services().LastError().LastErrorCode(); }

    std::int32_t Append(std::uint32_t n) {
        std::vector<std::byte> record(static_cast<std::size_t>(table_->GetRecordSize()));
        EXPECT_EQ(table_->InitRecord(record, true), 0) << LastError();
        audit::SetRow(*table_, record, audit::RowFor(n));
        TTdbBlobDataList blobs;
        return table_->AppendRecord(record, blobs);
    }
    std::int16_t Replace(std::int32_t recNo, std::uint32_t n) {
        std::vector<std::byte> stored(static_cast<std::size_t>(table_->GetRecordSize()));
        EXPECT_EQ(table_->ReadRecord(recNo, stored), 0) << LastError();
        std::vector<std::byte> record = stored;
        audit::SetRow(*table_, record, audit::RowFor(n));
        TTdbBlobDataList blobs;
        return table_->ReplaceRecord(record, stored, recNo, blobs);
    }
    std::int16_t Delete(std::int32_t recNo) {
        std::vector<std::byte> stored(static_cast<std::size_t>(table_->GetRecordSize()));
        EXPECT_EQ(table_->ReadRecord(recNo, stored), 0) << LastError();
        return table_->DeleteRecord(stored, recNo);
    }
    std::int32_t Count() {
        EXPECT_EQ(table_->BeginRead(true), 0) << LastError();
        const std::int32_t count = table_->GetRecordCount();
        table_->EndRead();
        return count;
    }
    // What a cursor sees when it goes to the first record: another session's changes too.
    std::vector<std::int32_t> Codes() {
        EXPECT_GE(table_->CheckUpdate(), 0) << LastError();
        std::vector<std::int32_t> codes;
        for (const audit::TRow& row : audit::ReadRows(*table_))
            codes.push_back(row.Code);
        return codes;
    }
    // Empty when every index agrees with the table.
    std::string Audit() {
        EXPECT_GE(table_->CheckUpdate(), 0) << LastError();
        for (TTdbIndexNo no = 0; no <= table_->GetLastIndexNo(); ++no)
            if (table_->GetIndexFile(no) != nullptr)
                if (std::string d = audit::IndexDisagreement(*table_, no); !d.empty())
                    return d;
        return {};
    }

private:
    TTdbLocalSession session_;
    TTdbBaseTable* table_ = nullptr;
};

std::vector<std::int32_t> CodesOf(std::uint32_t first, std::uint32_t count) {
    std::vector<std::int32_t> codes;
    for (std::uint32_t n = first; n < first + count; ++n)
        codes.push_back(audit::RowFor(n).Code);
    return codes;
}

// Records what the table tells its accessors.
class ShareTest : public ::testing::Test {
protected:
    std::unique_ptr<TUser> NewUser(bool create = false) {
        return std::make_unique<TUser>(pm_, dir_.Name(), create);
    }
    std::filesystem::path File(const std::string& name) { return dir_.Path() / name; }
    std::string Directory() { return dir_.Path().string(); }

    TTdbPageManager pm_;
    TempDir dir_;
};

TEST_F(ShareTest, TwoSessionsOfOneProcessAreTwoUsers) {
    auto a = NewUser(true);
    auto b = NewUser();
    for (std::uint32_t n = 0; n < 5; ++n)
        ASSERT_GT(a->Append(n), 0) << a->LastError();

    TTdbTableUsage usage;
    a->Table().GetUsage(usage);
    EXPECT_EQ(usage.UserCount, 2);
    ASSERT_EQ(usage.Entries.size(), 2u);
    EXPECT_NE(usage.Entries[0].StationNo, usage.Entries[1].StationNo);

    // A holds its write lock until the unlock thread gives it back: B is refused meanwhile.
    ASSERT_EQ(a->Table().BeginWrite(true), 0);
    EXPECT_EQ(b->Table().BeginRead(false), -kTdbErrTableLocked);
    EXPECT_EQ(b->LastCode(), kTdbErrTableLocked);
    a->Table().EndWrite();
    std::this_thread::sleep_for(kReleaseTime);
    EXPECT_EQ(b->Count(), 5);
    EXPECT_EQ(b->Codes(), CodesOf(0, 5));
    EXPECT_EQ(b->Audit(), "");
}

TEST_F(ShareTest, ARecordEditedByOneSessionIsRefusedToAnother) {
    auto a = NewUser(true);
    auto b = NewUser();
    for (std::uint32_t n = 0; n < 8; ++n)
        ASSERT_GT(a->Append(n), 0);
    // Nobody locks a record while another session holds the table for writing.
    EXPECT_EQ(b->Table().CheckEdit(5, nullptr), -kTdbErrRecordBeingEdited);
    std::this_thread::sleep_for(kReleaseTime);
    ASSERT_EQ(a->Table().CheckEdit(5, nullptr), 0);
    EXPECT_EQ(b->Table().CheckEdit(5, nullptr), -kTdbErrRecordBeingEdited);
    ASSERT_EQ(b->Table().CheckEdit(6, nullptr), 0);
    // One record lock per table and session.
    EXPECT_EQ(a->Table().CheckEdit(7, nullptr), -kTdbErrRecordBeingEdited);

    // Another accessor of the same table editing the record counts as well.
    TRecordingListener other;
    other.Editing = 3;
    b->Table().AddAccessor(&other);
    b->Table().EndEdit(6);
    EXPECT_EQ(b->Table().CheckEdit(3, nullptr), -kTdbErrRecordBeingEdited);
    b->Table().RemoveAccessor(&other);

    // Editing retries until the session's locking time-out: in vain while A keeps the record,
    // with success once A lets it go.
    b->Table().Services().FLockingTimeout = 250;
    EXPECT_EQ(b->Table().CheckEditWaiting(5, nullptr), -kTdbErrRecordBeingEdited);
    b->Table().Services().FLockingTimeout = 20000;
    std::thread releaser([&] {
        std::this_thread::sleep_for(150ms);
        a->Table().EndEdit(5);
    });
    EXPECT_EQ(b->Table().CheckEditWaiting(5, nullptr), 0) << b->LastError();
    releaser.join();
    b->Table().EndEdit(5);
}

TEST_F(ShareTest, AnotherSessionsChangesAndMovesReachTheReader) {
    auto a = NewUser(true);
    auto b = NewUser();
    for (std::uint32_t n = 0; n < 10; ++n)
        ASSERT_GT(b->Append(n), 0);
    std::this_thread::sleep_for(kReleaseTime);
    ASSERT_EQ(a->Count(), 10);
    TRecordingListener listener;
    a->Table().AddAccessor(&listener);
    std::this_thread::sleep_for(kReleaseTime);
    EXPECT_EQ(a->Table().CheckUpdate(), 0);

    // B deletes record 3: its last record moves into the slot, and A's accessors follow.
    ASSERT_EQ(b->Delete(3), 0) << b->LastError();
    std::this_thread::sleep_for(kReleaseTime);
    EXPECT_EQ(a->Table().CheckUpdate(), 1);
    EXPECT_EQ(listener.Moves, (std::vector<std::pair<std::int32_t, std::int32_t>>{{3, 10}}));
    EXPECT_GE(listener.Changes, 1);
    EXPECT_EQ(a->Count(), 9);
    std::vector<std::int32_t> expected = CodesOf(0, 10);
    expected[2] = expected[9];
    expected.pop_back();
    EXPECT_EQ(a->Codes(), expected);
    EXPECT_EQ(a->Audit(), "");

    // Deleting the last record moves nothing, and the move file still tells of the delete.
    ASSERT_EQ(b->Delete(9), 0) << b->LastError();
    std::this_thread::sleep_for(kReleaseTime);
    EXPECT_EQ(a->Table().CheckUpdate(), 1);
    EXPECT_EQ(listener.Moves,
              (std::vector<std::pair<std::int32_t, std::int32_t>>{{3, 10}, {9, 9}}));
    expected.pop_back();
    EXPECT_EQ(a->Codes(), expected);
    EXPECT_EQ(a->Audit(), "");
    a->Table().RemoveAccessor(&listener);
}

TEST_F(ShareTest, TheLastSessionToCloseRemovesTheLockAndMoveFiles) {
    auto a = NewUser(true);
    auto b = NewUser();
    EXPECT_TRUE(std::filesystem::exists(File("Shared.tdbl")));
    EXPECT_TRUE(std::filesystem::exists(File("Shared.tdbv")));
    a.reset();
    EXPECT_TRUE(std::filesystem::exists(File("Shared.tdbl")));
    b.reset();
    EXPECT_FALSE(std::filesystem::exists(File("Shared.tdbl")));
    EXPECT_FALSE(std::filesystem::exists(File("Shared.tdbv")));
}

TEST_F(ShareTest, ALockFileOfAnotherKindRefusesEveryOpen) {
    NewUser(true).reset();
    for (const std::string& image : {std::string("\x56\xCF\x4B\x83\x07\x00", 6) + std::string(24, '\0'),
                                     std::string("\x55\xCF\x4B\x83\x06\x00", 6) + std::string(24, '\0')}) {
        testing::WriteBytes(File("Shared.tdbl"), image);
        TTdbLocalSession session(&pm_);
        ASSERT_EQ(session.Initialize(1), 0);
        session.Catalog().SetLocation(dir_.Name());
        ASSERT_EQ(session.OpenDb(), 0);
        EXPECT_LT(session.Catalog().OpenTable(u"Shared", {}, kRightsWrite, false, false, false), 0);
        EXPECT_EQ(session.Services().LastError().LastErrorCode(), kTdbErrInvalidLockFile);
        session.Uninitialize();
    }
    std::filesystem::remove(File("Shared.tdbl"));
    auto a = NewUser();
    EXPECT_EQ(a->Count(), 0);
}

TEST_F(ShareTest, ATransactionRollsBackAndCommits) {
    auto a = NewUser(true);
    auto b = NewUser();
    for (std::uint32_t n = 0; n < 6; ++n)
        ASSERT_GT(a->Append(n), 0);

    ASSERT_EQ(a->Catalog().BeginTransaction(), 0);
    EXPECT_EQ(a->Catalog().BeginTransaction(), -kTdbErrTransactionRunning);
    ASSERT_GT(a->Append(100), 0);
    ASSERT_EQ(a->Replace(2, 101), 0);
    ASSERT_EQ(a->Delete(1), 0) << a->LastError();
    ASSERT_EQ(a->Delete(a->Table().GetRecordCount()), 0) << a->LastError();
    EXPECT_TRUE(std::filesystem::exists(File("Shared.tdbr")));
    // The transaction holds the table: the other session waits in vain.
    EXPECT_EQ(b->Table().BeginRead(true), -kTdbErrTableLocked);
    // Locks still held end the transaction with an error and leave it running.
    ASSERT_EQ(a->Table().BeginRead(true), 0);
    EXPECT_EQ(a->Catalog().EndTransaction(false), -kTdbErrLocksOnTable);
    a->Table().EndRead();
    ASSERT_EQ(a->Catalog().EndTransaction(false), 0) << a->LastError();
    EXPECT_FALSE(std::filesystem::exists(File("Shared.tdbr")));
    EXPECT_EQ(a->Codes(), CodesOf(0, 6));
    EXPECT_EQ(a->Audit(), "");

    ASSERT_EQ(a->Catalog().BeginTransaction(), 0);
    ASSERT_GT(a->Append(200), 0);
    ASSERT_EQ(a->Delete(2), 0) << a->LastError();
    ASSERT_EQ(a->Catalog().EndTransaction(true), 0) << a->LastError();
    EXPECT_FALSE(std::filesystem::exists(File("Shared.tdbr")));
    std::this_thread::sleep_for(kReleaseTime);
    std::vector<std::int32_t> expected = CodesOf(0, 6);
    expected.push_back(audit::RowFor(200).Code);
    expected[1] = expected.back();
    expected.pop_back();
    EXPECT_EQ(b->Codes(), expected);
    EXPECT_EQ(b->Audit(), "");

    // A session that closes in the middle of a transaction takes its changes back.
    ASSERT_EQ(a->Catalog().BeginTransaction(), 0);
    ASSERT_GT(a->Append(300), 0);
    a.reset();
    EXPECT_FALSE(std::filesystem::exists(File("Shared.tdbr")));
    EXPECT_EQ(b->Codes(), expected);
    EXPECT_EQ(b->Audit(), "");
}

TEST_F(ShareTest, ALockSetIsTakenWholeOrNotAtAll) {
    auto a = NewUser(true);
    auto b = NewUser();
    TTdbCreateTableArgs args = audit::AuditTableArgs(u"Other");
    ASSERT_EQ(a->Catalog().CreateTable(args), 0) << a->LastError();
    const int otherA = a->Catalog().OpenTable(u"Other", {}, kRightsWrite, false, false, false);
    const int otherB = b->Catalog().OpenTable(u"Other", {}, kRightsWrite, false, false, false);
    ASSERT_GT(otherA, 0);
    ASSERT_GT(otherB, 0);
    auto& otherTableA = dynamic_cast<TTdbBaseTable&>(*a->Catalog().GetRelation(otherA));
    otherTableA.SetLockWaitAttempts(40);
    const auto shared = static_cast<std::int16_t>(a->Table().RltnIdx());

    ASSERT_EQ(b->Catalog().GetRelation(otherB)->BeginWrite(true), 0);
    const std::vector<std::int16_t> both{shared, 0, static_cast<std::int16_t>(otherA), -1, shared};
    EXPECT_EQ(a->Catalog().AcquireWriteLocks(both), -kTdbErrTableLocked);
    EXPECT_EQ(a->Table().CountWriteLocks(), 0);
    b->Catalog().GetRelation(otherB)->EndWrite();
    std::this_thread::sleep_for(kReleaseTime);

    ASSERT_EQ(a->Catalog().AcquireReadLocks(both), 0) << a->LastError();
    EXPECT_EQ(a->Table().CountReadLocks(), 1);  // the entry after the end mark is not taken
    EXPECT_EQ(otherTableA.CountReadLocks(), 1);
    a->Table().EndRead();
    otherTableA.EndRead();
}

TEST_F(ShareTest, RepeatableReadsKeepTheTableFromWritersUntilTheTransactionEnds) {
    auto a = NewUser(true);
    auto b = NewUser();
    ASSERT_GT(b->Append(1), 0);
    std::this_thread::sleep_for(kReleaseTime);
    ASSERT_EQ(a->Catalog().BeginTransaction(), 0);
    a->Table().Services().FIsolationLevel = tilRepeatableRead;
    EXPECT_EQ(a->Count(), 1);
    EXPECT_EQ(a->Table().CountReadLocks(), 0);  // kept, not held by the caller
    std::this_thread::sleep_for(kReleaseTime);
    EXPECT_EQ(b->Table().BeginWrite(false), -kTdbErrTableLocked);
    ASSERT_EQ(a->Catalog().EndTransaction(true), 0) << a->LastError();
    std::this_thread::sleep_for(kReleaseTime);
    ASSERT_EQ(b->Table().BeginWrite(false), 0) << b->LastError();
    b->Table().EndWrite();
}

// Sessions in threads of their own, with the unlock threads of their catalogs giving locks back
// behind them: under ThreadSanitizer too.
using ShareThreads = ShareTest;

TEST_F(ShareThreads, SessionsInThreadsAppendAndReadOneTable) {
    auto creator = NewUser(true);
    constexpr int kUsers = 3;
    constexpr std::uint32_t kAppends = 40;
    std::vector<std::unique_ptr<TUser>> users;
    for (int i = 0; i < kUsers; ++i) {
        users.push_back(NewUser());
        users.back()->Table().SetLockWaitAttempts(TTdbLockFile::kDefaultWaitAttempts);
    }
    std::vector<std::thread> threads;
    std::vector<std::string> failures(kUsers);
    for (int i = 0; i < kUsers; ++i) {
        threads.emplace_back([&, i] {
            TUser& user = *users[static_cast<std::size_t>(i)];
            std::int32_t seen = 0;
            for (std::uint32_t n = 0; n < kAppends; ++n) {
                if (user.Append(static_cast<std::uint32_t>(i) * 1000 + n) < 1) {
                    failures[static_cast<std::size_t>(i)] = user.LastError();
                    return;
                }
                user.Table().CheckUpdate();
                const std::int32_t count = user.Count();
                // Records are only ever added: nobody sees the table shrink.
                if (count < seen || count < static_cast<std::int32_t>(n) + 1) {
                    failures[static_cast<std::size_t>(i)] = "count went back";
                    return;
                }
                seen = count;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const std::string& failure : failures)
        EXPECT_EQ(failure, "");
    std::this_thread::sleep_for(kReleaseTime);
    EXPECT_EQ(creator->Codes().size(), kUsers * kAppends);
    EXPECT_EQ(creator->Audit(), "");
}

// ---- Real processes ----

class ShareProcessTest : public ShareTest {
protected:
    std::unique_ptr<TProbeProcess> Probe(bool create = false) {
        auto probe = std::make_unique<TProbeProcess>(ZENKALO_SHARE_PROBE);
        EXPECT_TRUE(probe->Started());
        EXPECT_EQ(probe->Ask((create ? "create " : "open ") + Directory() + " Shared"), "ok");
        return probe;
    }
};

TEST_F(ShareProcessTest, AWaitingWriterBlocksNewReadersAndGetsTheTableWhenReadersLeave) {
    auto r1 = Probe(true);
    auto r2 = Probe();
    auto w = Probe();
    ASSERT_EQ(r1->Ask("append 1"), "ok 1");
    ASSERT_EQ(r1->Ask("lock read wait"), "ok");
    ASSERT_EQ(r2->Ask("lock read wait"), "ok");
    auto r3 = NewUser();
    w->Send("lock write wait");
    std::this_thread::sleep_for(50ms);
    // The waiting writer keeps new readers out, so it is not starved.
    EXPECT_EQ(r3->Table().BeginRead(false), -kTdbErrTableLocked);
    EXPECT_EQ(r1->Ask("unlock read"), "ok");
    EXPECT_EQ(r2->Ask("unlock read"), "ok");
    EXPECT_EQ(w->Answer(), "ok");
    ASSERT_EQ(w->Ask("append 2"), "ok 2");
    EXPECT_EQ(w->Ask("unlock write"), "ok");
    std::this_thread::sleep_for(kReleaseTime);
    EXPECT_EQ(r3->Count(), 2);
    EXPECT_EQ(r1->Ask("refresh"), "ok 1");
    EXPECT_EQ(r1->Ask("count"), "ok 2");
}

TEST_F(ShareProcessTest, AnotherProcessesAppendsAndMovesReachTheReader) {
    auto b = Probe(true);
    for (int n = 0; n < 10; ++n)
        ASSERT_EQ(b->Ask("append " + std::to_string(n)), "ok " + std::to_string(n + 1));
    std::this_thread::sleep_for(kReleaseTime);
    auto a = NewUser();
    TRecordingListener listener;
    a->Table().AddAccessor(&listener);
    EXPECT_EQ(a->Count(), 10);
    std::this_thread::sleep_for(kReleaseTime);

    ASSERT_EQ(b->Ask("append 10"), "ok 11");
    ASSERT_EQ(b->Ask("delete 4"), "ok");
    std::this_thread::sleep_for(kReleaseTime);
    EXPECT_EQ(a->Table().CheckUpdate(), 1);
    EXPECT_EQ(listener.Moves, (std::vector<std::pair<std::int32_t, std::int32_t>>{{4, 11}}));
    EXPECT_EQ(a->Table().CheckUpdate(), 0);
    std::vector<std::int32_t> expected = CodesOf(0, 11);
    expected[3] = expected[10];
    expected.pop_back();
    EXPECT_EQ(a->Codes(), expected);
    EXPECT_EQ(a->Audit(), "");
    a->Table().RemoveAccessor(&listener);
}

TEST_F(ShareProcessTest, ADeadSessionsEntryAndRecordLockAreCleared) {
    auto p = Probe(true);
    for (int n = 0; n < 6; ++n)
        ASSERT_EQ(p->Ask("append " + std::to_string(n)), "ok " + std::to_string(n + 1));
    ASSERT_EQ(p->Ask("sleep 100"), "ok");  // the records reach the file with the write lock
    ASSERT_EQ(p->Ask("edit 3"), "ok");
    ASSERT_EQ(p->Ask("lock read wait"), "ok");
    p->Kill();
    auto a = NewUser();
    TTdbTableUsage usage;
    a->Table().GetUsage(usage);
    EXPECT_EQ(usage.UserCount, 1);
    EXPECT_EQ(a->Table().CheckEdit(3, nullptr), 0);
    a->Table().EndEdit(3);
    EXPECT_EQ(a->Codes(), CodesOf(0, 6));
}

TEST_F(ShareProcessTest, AWriterKilledInsideATransactionLosesOnlyItsUnfinishedChanges) {
    auto a = NewUser(true);
    for (std::uint32_t n = 0; n < 8; ++n)
        ASSERT_GT(a->Append(n), 0);
    std::this_thread::sleep_for(kReleaseTime);
    auto p = Probe();
    ASSERT_EQ(p->Ask("refresh"), "ok 0");
    ASSERT_EQ(p->Ask("append 50"), "ok 9");  // committed: a write outside the transaction
    ASSERT_EQ(p->Ask("unlock write"), "ok");
    std::this_thread::sleep_for(kReleaseTime);
    ASSERT_EQ(a->Count(), 9);
    ASSERT_EQ(p->Ask("begin"), "ok");
    ASSERT_EQ(p->Ask("append 60"), "ok 10");
    ASSERT_EQ(p->Ask("replace 2 61"), "ok");
    ASSERT_EQ(p->Ask("delete 4"), "ok");
    ASSERT_TRUE(std::filesystem::exists(File("Shared.tdbr")));
    p->Kill();

    // The next lock wait finds the writer dead and clears its entry.
    std::vector<std::int32_t> expected = CodesOf(0, 8);
    expected.push_back(audit::RowFor(50).Code);
    EXPECT_EQ(a->Codes(), expected);
    EXPECT_EQ(a->Audit(), "");
    // The transaction's log goes with the next write lock.
    ASSERT_GT(a->Append(70), 0) << a->LastError();
    EXPECT_FALSE(std::filesystem::exists(File("Shared.tdbr")));
    expected.push_back(audit::RowFor(70).Code);
    EXPECT_EQ(a->Codes(), expected);
    EXPECT_EQ(a->Audit(), "");
}

}  // namespace
}  // namespace tdb
