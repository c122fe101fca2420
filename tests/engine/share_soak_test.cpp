// Processes sharing one table at random against a model of what it must hold: appends, replaces
// and deletes, some inside transactions that commit or roll back, each step under an explicit
// write lock so that the order of the steps is known. The kill runs end a random process at a
// random moment and check what a fresh session then finds; in the free runs every worker changes
// the table at its own pace. ZENKALO_SHARE_ROUNDS asks for more steps, ZENKALO_KILL_ROUNDS for
// more kill rounds, ZENKALO_SOAK_ROUNDS for more free rounds, than the few of a normal run.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../platform/test_support.h"
#include "engine/base_table.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "platform/text.h"
#include "probe_process.h"
#include "share_commands.h"
#include "storage/page_manager.h"
#include "table_audit.h"

namespace tdb {
namespace {

using testing::TempDir;
using testing::TProbeProcess;
using testing::TShareCommands;
using TRows = std::vector<audit::TRow>;

// Long enough for any lock wait of a probe, dead writers included.
constexpr int kAnswerMs = 30000;

// ZENKALO_SHARE_SEED replays a run whose seed a failure reported.
std::uint32_t Seed() {
    const char* text = std::getenv("ZENKALO_SHARE_SEED");
    return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10))
                           : static_cast<std::uint32_t>(std::random_device{}());
}

std::string Describe(const TRows& rows) {
    std::string text;
    for (const audit::TRow& row : rows)
        text += (text.empty() ? "" : ",") + std::to_string(row.Code);
    return "[" + text + "]";
}

// A session of the test's own process that looks at the table as a reader.
class TChecker {
public:
    TChecker(TTdbPageManager& pm, const std::u16string& directory) : session_(&pm) {
        EXPECT_EQ(session_.Initialize(1), 0);
        session_.Catalog().SetLocation(directory);
        EXPECT_EQ(session_.OpenDb(), 0) << LastError();
        const int rltnIdx =
            session_.Catalog().OpenTable(u"Shared", {}, kRightsWrite, false, false, false);
        EXPECT_GT(rltnIdx, 0) << LastError();
        if (rltnIdx > 0)
            table_ = dynamic_cast<TTdbBaseTable*>(session_.Catalog().GetRelation(rltnIdx));
    }
    ~TChecker() { session_.Uninitialize(); }

    bool Opened() const { return table_ != nullptr; }
    std::string LastError() { return ToUtf8(session_.Services().LastError().LastErrorMsg()); }

    // The records in record order under one read lock, with every index audited against them;
    // the failure, if any, in `failure`.
    TRows Read(std::string& failure) {
        TRows rows;
        if (table_->CheckUpdate() < 0 || table_->BeginRead(true) != 0) {
            failure = "no read lock: " + LastError();
            return rows;
        }
        rows = audit::ReadRows(*table_);
        if (static_cast<std::int32_t>(rows.size()) != table_->GetRecordCount())
            failure = "a record does not read: " + LastError();
        for (TTdbIndexNo no = 0; no <= table_->GetLastIndexNo() && failure.empty(); ++no)
            if (table_->GetIndexFile(no) != nullptr)
                failure = audit::IndexDisagreement(*table_, no);
        table_->EndRead();
        return rows;
    }

    std::int32_t Users() {
        TTdbTableUsage usage;
        table_->GetUsage(usage);
        return usage.UserCount;
    }

private:
    TTdbLocalSession session_;
    TTdbBaseTable* table_ = nullptr;
};

// Three probe processes on one table, and perhaps sessions of the test's own process beside
// them; the model of what the table holds, and the states it may hold after a kill: those since
// another session last read it.
class ShareSoakProcess : public ::testing::Test {
protected:
    static constexpr int kProbes = 3;

    void Start(std::uint32_t seed, int localSessions = 0) {
        rng_.seed(seed);
        for (int i = 0; i < kProbes; ++i)
            probes_.push_back(NewProbe(i == 0));
        for (int i = 0; i < localSessions; ++i) {
            locals_.push_back(std::make_unique<TShareCommands>(&pm_));
            ASSERT_EQ(locals_.back()->Run("open " + dir_.Path().string() + " Shared"), "ok");
        }
        checker_ = std::make_unique<TChecker>(pm_, dir_.Name());
        ASSERT_TRUE(checker_->Opened());
    }

    std::unique_ptr<TProbeProcess> NewProbe(bool create) {
        auto probe = std::make_unique<TProbeProcess>(ZENKALO_SHARE_PROBE);
        EXPECT_TRUE(probe->Started());
        EXPECT_EQ(probe->Ask((create ? "create " : "open ") + dir_.Path().string() + " Shared"),
                  "ok");
        return probe;
    }

    std::uint32_t Draw(std::uint32_t n) { return static_cast<std::uint32_t>(rng_() % n); }

    std::size_t Workers() const { return probes_.size() + locals_.size(); }

    // Probes come first, then the sessions of this process.
    std::string Ask(std::size_t worker, const std::string& command) {
        return worker < probes_.size() ? probes_[worker]->Ask(command)
                                       : locals_[worker - probes_.size()]->Run(command);
    }

    void Acknowledged(std::size_t worker, const std::string& command, const std::string& expected) {
        const std::string answer = Ask(worker, command);
        ASSERT_EQ(answer, expected) << command << " after " << log_;
        log_ += std::to_string(worker) + ":" + command + "; ";
        if (log_.size() > 2000)
            log_.erase(0, log_.size() - 2000);
    }

    // One random change to `rows` through the probe, which holds the write lock.
    void Change(std::size_t probe, TRows& rows) {
        const std::uint32_t kind = rows.empty() ? 0 : Draw(4);
        const std::uint32_t n = next_++;
        if (kind <= 1) {
            rows.push_back(audit::RowFor(n));
            Acknowledged(probe, "append " + std::to_string(n), "ok " + std::to_string(rows.size()));
            return;
        }
        const std::uint32_t recNo = 1 + Draw(static_cast<std::uint32_t>(rows.size()));
        if (kind == 2) {
            rows[recNo - 1] = audit::RowFor(n);
            Acknowledged(probe, "replace " + std::to_string(recNo) + " " + std::to_string(n), "ok");
            return;
        }
        // The last record moves into the deleted one's slot.
        rows[recNo - 1] = rows.back();
        rows.pop_back();
        Acknowledged(probe, "delete " + std::to_string(recNo), "ok");
    }

    void Commit(const TRows& rows) {
        model_ = rows;
        possible_.push_back(rows);
    }

    // A step of probe i: one to four changes under its write lock, alone or as a transaction
    // that commits or rolls back, sometimes followed by a pause.
    void Step(std::size_t i, bool mayBeTransaction = true, bool mayPause = true) {
        const std::size_t probe = i;
        const bool transaction = mayBeTransaction && Draw(3) == 0;
        if (transaction)
            Acknowledged(probe, "begin", "ok");
        Acknowledged(probe, "lock write wait", "ok");
        TRows rows = model_;
        const std::uint32_t changes = 1 + Draw(4);
        for (std::uint32_t c = 0; c < changes && !HasFatalFailure(); ++c) {
            Change(probe, rows);
            if (!transaction)
                Commit(rows);
        }
        Acknowledged(probe, "unlock write", "ok");
        if (transaction) {
            const bool commit = Draw(3) != 0;
            Acknowledged(probe, commit ? "commit" : "rollback", "ok");
            if (commit)
                Commit(rows);
        }
        if (mayPause && Draw(4) == 0)
            Acknowledged(probe, "sleep " + std::to_string(Draw(25)), "ok");
    }

    // Another session reads the table: it must be the model, and from now on it must stay.
    void Checkpoint(TChecker& checker) {
        std::string failure;
        const TRows rows = checker.Read(failure);
        ASSERT_EQ(failure, "") << log_;
        ASSERT_EQ(Describe(rows), Describe(model_)) << log_;
        ASSERT_EQ(rows, model_);
        possible_ = {model_};
    }

    // Probe i reads the table under a read lock: what it sees must stay as well.
    void ProbeCheckpoint(std::size_t i) {
        const std::size_t probe = i;
        std::string codes;
        for (const audit::TRow& row : model_)
            codes += (codes.empty() ? "" : ",") + std::to_string(row.Code);
        Acknowledged(probe, "lock read wait", "ok");
        Acknowledged(probe, "codes", codes.empty() ? "ok " : "ok " + codes);
        Acknowledged(probe, "unlock read", "ok");
        possible_ = {model_};
    }

    void Kill(std::size_t i) {
        log_ += "kill " + std::to_string(i) + "; ";
        probes_[i]->Kill();
        probes_[i].reset();
    }

    // What a fresh session finds after a kill: the dead session's entry gone, every index in
    // agreement, and one of the states since another session last read the table. That state
    // is the model from now on.
    void AfterKill(std::size_t dead) {
        TChecker fresh(pm_, dir_.Name());
        ASSERT_TRUE(fresh.Opened());
        // The live probes, this process's sessions, the checker and this fresh session.
        EXPECT_EQ(fresh.Users(), static_cast<std::int32_t>(Workers() - 1 + 2)) << log_;
        std::string failure;
        const TRows rows = fresh.Read(failure);
        ASSERT_EQ(failure, "") << log_;
        std::string candidates;
        for (const TRows& state : possible_)
            candidates += Describe(state) + " ";
        ASSERT_TRUE(std::find(possible_.begin(), possible_.end(), rows) != possible_.end())
            << "found " << Describe(rows) << " of " << candidates << "after " << log_;
        model_ = rows;
        possible_ = {rows};
        probes_[dead] = NewProbe(false);
        ASSERT_NO_FATAL_FAILURE(Checkpoint(*checker_));
    }

    TTdbPageManager pm_;
    TempDir dir_;
    std::mt19937 rng_;
    std::vector<std::unique_ptr<TProbeProcess>> probes_;
    std::vector<std::unique_ptr<TShareCommands>> locals_;
    std::unique_ptr<TChecker> checker_;
    TRows model_;
    std::vector<TRows> possible_{TRows{}};
    std::uint32_t next_ = 0;
    std::string log_;
};

TEST_F(ShareSoakProcess, RandomChangesOfThreeProcessesMatchTheModel) {
    const int steps = testing::CountFromEnvironment("ZENKALO_SHARE_ROUNDS", 120);
    const std::uint32_t seed = Seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    // Two sessions of this process share its cache beside the three processes.
    Start(seed, 2);
    ASSERT_FALSE(HasFatalFailure());
    for (int step = 0; step < steps; ++step) {
        ASSERT_NO_FATAL_FAILURE(Step(Draw(static_cast<std::uint32_t>(Workers()))));
        if (step % 20 == 19) {
            ASSERT_NO_FATAL_FAILURE(Checkpoint(*checker_));
        }
    }
    // The processes also see each other's work, after catching up with it.
    for (std::size_t i = 0; i < Workers(); ++i) {
        ASSERT_EQ(Ask(i, "refresh").substr(0, 2), "ok");
        ASSERT_EQ(Ask(i, "count"), "ok " + std::to_string(model_.size()));
        ASSERT_EQ(Ask(i, "audit"), "ok");
    }
    ASSERT_NO_FATAL_FAILURE(Checkpoint(*checker_));
    TChecker fresh(pm_, dir_.Name());
    std::string failure;
    EXPECT_EQ(fresh.Read(failure), model_);
    EXPECT_EQ(failure, "");
}

// The processes and a session of this process change the table at once, each at its own pace,
// through accessors and without explicit locks. After each round the record count is what the
// appends and deletes add up to, every index equals the table, and no step waited past the
// locking time-out. ZENKALO_SOAK_ROUNDS asks for a longer run.
TEST_F(ShareSoakProcess, FreeRunningProcessesKeepTheCountAndEveryIndex) {
    const int rounds = testing::CountFromEnvironment("ZENKALO_SOAK_ROUNDS", 100);
    constexpr int kSteps = 60;
    const std::uint32_t seed = Seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    Start(seed, 1);
    ASSERT_FALSE(HasFatalFailure());
    std::int64_t expected = 0;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Rows no other worker appends: each worker and round has its own range of numbers.
        const auto churn = [&](std::size_t worker) {
            return "churn " + std::to_string(kSteps) + " " +
                   std::to_string((seed % 1000 + round * Workers() + worker) * 1000);
        };
        for (std::size_t i = 0; i < probes_.size(); ++i)
            probes_[i]->Send(churn(i));
        std::string local;
        std::thread beside([&] { local = locals_[0]->Run(churn(probes_.size())); });
        std::vector<std::string> answers;
        for (auto& probe : probes_)
            answers.push_back(probe->AnswerWithin(2 * kAnswerMs));
        beside.join();
        answers.push_back(local);
        for (const std::string& answer : answers) {
            std::istringstream in(answer);
            std::string ok;
            std::int64_t appended = -1;
            std::int64_t deleted = -1;
            in >> ok >> appended >> deleted;
            ASSERT_EQ(ok, "ok") << answer;
            expected += appended - deleted;
        }
        std::string failure;
        const TRows rows = checker_->Read(failure);
        ASSERT_EQ(failure, "");
        ASSERT_EQ(static_cast<std::int64_t>(rows.size()), expected);
        for (std::size_t i = 0; i < Workers(); ++i)
            ASSERT_EQ(Ask(i, "audit"), "ok") << "worker " << i;
    }
}

TEST_F(ShareSoakProcess, AKilledProcessLosesNothingAnotherSessionSaw) {
    const int rounds = testing::CountFromEnvironment("ZENKALO_KILL_ROUNDS", 4);
    const std::uint32_t seed = Seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    Start(seed, 1);
    ASSERT_FALSE(HasFatalFailure());
    for (int round = 0; round < rounds; ++round) {
        const std::uint32_t steps = 3 + Draw(12);
        for (std::uint32_t step = 0; step < steps; ++step) {
            ASSERT_NO_FATAL_FAILURE(Step(Draw(static_cast<std::uint32_t>(Workers()))));
            if (Draw(4) == 0) {
                ASSERT_NO_FATAL_FAILURE(Checkpoint(*checker_));
            } else if (Draw(4) == 0) {
                ASSERT_NO_FATAL_FAILURE(
                    ProbeCheckpoint(Draw(static_cast<std::uint32_t>(Workers()))));
            }
        }
        const std::size_t victim = Draw(kProbes);
        const std::size_t waiter = (victim + 1 + Draw(kProbes - 1)) % kProbes;
        bool waiting = false;
        switch (Draw(3)) {
            case 0: {
                // In the middle of a transaction, maybe with another process waiting for the table.
                const std::size_t probe = victim;
                Acknowledged(probe, "begin", "ok");
                Acknowledged(probe, "lock write wait", "ok");
                TRows rows = model_;
                for (std::uint32_t c = 1 + Draw(3); c > 0; --c)
                    ASSERT_NO_FATAL_FAILURE(Change(probe, rows));
                waiting = Draw(2) == 0;
                if (waiting)
                    probes_[waiter]->Send("lock write wait");
                break;
            }
            case 1:
                // Right after it let go of its write lock, before or while the lock goes back.
                ASSERT_NO_FATAL_FAILURE(Step(victim, false, false));
                break;
            default:
                // At an idle moment, the lock perhaps given back already.
                ASSERT_NO_FATAL_FAILURE(Step(victim));
                Acknowledged(victim, "sleep " + std::to_string(Draw(30)), "ok");
                break;
        }
        Kill(victim);
        if (waiting) {
            // The waiting process finds the holder dead and gets the table.
            EXPECT_EQ(probes_[waiter]->AnswerWithin(kAnswerMs), "ok") << log_;
            Acknowledged(waiter, "unlock write", "ok");
        }
        ASSERT_NO_FATAL_FAILURE(AfterKill(victim));
    }
    for (std::size_t i = 0; i < Workers(); ++i)
        ASSERT_NO_FATAL_FAILURE(Step(i));
    ASSERT_NO_FATAL_FAILURE(Checkpoint(*checker_));
    // Every process has written since: the log of a killed transaction went with the first.
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Shared.tdbr"));
}

// What a process leaves behind when it closes or dies at an awkward moment.
class ShareLeftoversProcess : public ShareSoakProcess {
protected:
    std::string Codes(std::uint32_t first, std::uint32_t count) {
        std::string codes;
        for (std::uint32_t n = first; n < first + count; ++n)
            codes += (codes.empty() ? "" : ",") + std::to_string(audit::RowFor(n).Code);
        return "ok " + codes;
    }
};

TEST_F(ShareLeftoversProcess, ARecordLockOfADeadProcessIsFreedForALiveOne) {
    auto p = NewProbe(true);
    auto q = NewProbe(false);
    for (int n = 0; n < 4; ++n)
        ASSERT_EQ(p->Ask("append " + std::to_string(n)), "ok " + std::to_string(n + 1));
    ASSERT_EQ(p->Ask("unlock write"), "ok");
    ASSERT_EQ(p->Ask("sleep 50"), "ok");
    ASSERT_EQ(p->Ask("edit 3"), "ok");
    ASSERT_EQ(q->Ask("refresh"), "ok 1");
    ASSERT_EQ(q->Ask("edit 3").substr(0, 4), "fail");
    p->Kill();
    // Another process that was already there gets the record, without opening anew.
    EXPECT_EQ(q->Ask("edit 3"), "ok");
    EXPECT_EQ(q->Ask("endedit 3"), "ok");
    EXPECT_EQ(q->Ask("usage").substr(0, 5), "ok 1 ");  // itself alone
}

TEST_F(ShareLeftoversProcess, ClosingWithLocksHeldGivesThemBackAndKeepsWhatWasWritten) {
    auto p = NewProbe(true);
    auto q = NewProbe(false);
    ASSERT_EQ(q->Ask("attempts 40"), "ok");
    // Under a write lock of its own, with a record locked as well.
    ASSERT_EQ(p->Ask("lock write wait"), "ok");
    ASSERT_EQ(p->Ask("append 1"), "ok 1");
    ASSERT_EQ(p->Ask("append 2"), "ok 2");
    ASSERT_EQ(p->Ask("edit 1"), "ok");
    ASSERT_EQ(p->Ask("close"), "ok");
    EXPECT_EQ(q->Ask("lock write nowait"), "ok");
    EXPECT_EQ(q->Ask("codes"), Codes(1, 2));
    EXPECT_EQ(q->Ask("audit"), "ok");
    EXPECT_EQ(q->Ask("unlock write"), "ok");
    EXPECT_EQ(q->Ask("edit 1"), "ok");
    EXPECT_EQ(q->Ask("endedit 1"), "ok");
    EXPECT_EQ(q->Ask("usage").substr(0, 5), "ok 1 ");  // itself alone

    // Inside a transaction and a read lock: the transaction is taken back.
    ASSERT_EQ(p->Ask("open " + dir_.Path().string() + " Shared"), "ok");
    ASSERT_EQ(p->Ask("begin"), "ok");
    ASSERT_EQ(p->Ask("append 3"), "ok 3");
    ASSERT_EQ(p->Ask("delete 1"), "ok");
    ASSERT_EQ(p->Ask("lock read wait"), "ok");
    ASSERT_EQ(p->Ask("close"), "ok");
    EXPECT_EQ(q->Ask("lock write nowait"), "ok");
    EXPECT_EQ(q->Ask("codes"), Codes(1, 2));
    EXPECT_EQ(q->Ask("audit"), "ok");
    EXPECT_EQ(q->Ask("append 4"), "ok 3");
    EXPECT_EQ(q->Ask("unlock write"), "ok");
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Shared.tdbr"));
}

TEST_F(ShareLeftoversProcess, AReaderThatWaitsForAWriterSeesWhatTheWriterLeft) {
    Start(1, 1);
    ASSERT_FALSE(HasFatalFailure());
    const std::size_t local = kProbes;
    // The checker catches up with the table, and a session of this process writes after it:
    // the shared cache is current with that write.
    ASSERT_NO_FATAL_FAILURE(Checkpoint(*checker_));
    TRows rows = model_;
    ASSERT_NO_FATAL_FAILURE(Change(local, rows));
    Commit(rows);
    Acknowledged(0, "sleep 100", "ok");
    // Another process writes and keeps its write lock while the checker asks for changes.
    Acknowledged(0, "lock write wait", "ok");
    ASSERT_NO_FATAL_FAILURE(Change(0, rows));
    Commit(rows);
    TRows seen;
    std::string failure;
    std::thread reader([&] { seen = checker_->Read(failure); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Acknowledged(0, "unlock write", "ok");
    reader.join();
    EXPECT_EQ(failure, "");
    EXPECT_EQ(Describe(seen), Describe(model_));
}

TEST_F(ShareLeftoversProcess, ACommitThatCannotWriteLeavesTheTransactionToCommitOrRollBack) {
    for (const bool again : {true, false}) {
        SCOPED_TRACE(again ? "committed again" : "rolled back");
        const std::string table = again ? "Again" : "Back";
        const auto directory = dir_.Path().string();
        TProbeProcess p(ZENKALO_SHARE_PROBE);
        TProbeProcess q(ZENKALO_SHARE_PROBE);
        ASSERT_EQ(p.Ask("create " + directory + " " + table), "ok");
        ASSERT_EQ(q.Ask("open " + directory + " " + table), "ok");
        ASSERT_EQ(p.Ask("append 0"), "ok 1");
        ASSERT_EQ(p.Ask("sleep 50"), "ok");
        std::uintmax_t size = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
            if (entry.path().filename().string().starts_with(table))
                size = std::max(size, entry.file_size());
        ASSERT_EQ(p.Ask("begin"), "ok");
        for (int n = 1; n <= 300; ++n)
            ASSERT_EQ(p.Ask("append " + std::to_string(n)), "ok " + std::to_string(n + 1));
        // The files cannot grow as the transaction needs, as on a full disk.
        ASSERT_EQ(p.Ask("limit " + std::to_string(size + 4096)), "ok");
        EXPECT_EQ(p.Ask("commit").substr(0, 4), "fail");
        ASSERT_EQ(p.Ask("limit 0"), "ok");
        // The transaction still runs and keeps the table from the others.
        EXPECT_EQ(q.Ask("lock read nowait").substr(0, 4), "fail");
        EXPECT_TRUE(std::filesystem::exists(dir_.Path() / (table + ".tdbr")));
        ASSERT_EQ(p.Ask(again ? "commit" : "rollback"), "ok");
        const std::string kept = again ? "ok 301" : "ok 1";
        EXPECT_EQ(p.Ask("count"), kept);
        EXPECT_FALSE(std::filesystem::exists(dir_.Path() / (table + ".tdbr")));
        // Later changes reach the others again once released.
        ASSERT_EQ(p.Ask("append 1000").substr(0, 2), "ok");
        ASSERT_EQ(p.Ask("sleep 50"), "ok");
        EXPECT_EQ(q.Ask("refresh"), "ok 1");
        EXPECT_EQ(q.Ask("count"), again ? "ok 302" : "ok 2");
        EXPECT_EQ(q.Ask("audit"), "ok");
        EXPECT_EQ(p.Ask("audit"), "ok");
    }
}

}  // namespace
}  // namespace tdb
