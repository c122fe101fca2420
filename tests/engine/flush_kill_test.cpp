// A process killed in the middle of a flush must leave a table that the next process opens with
// every index agreeing with it, holding exactly what some flush of the killed process wrote:
// nothing a finished flush wrote may be missing, and nothing may be torn. The probe kills itself
// at a chosen step of its file system, at every step of a few flushes and at random ones.
// ZENKALO_FLUSH_KILL_RUNS asks for more random runs than the few hundred of a normal run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../platform/test_support.h"
#include "engine/session.h"
#include "probe_process.h"
#include "storage/page_manager.h"
#include "table_audit.h"

namespace tdb {
namespace {

using testing::TempDir;

constexpr std::uint32_t kTemplateRows = 150;

// The probe's lines of output; it runs until it ends or kills itself.
std::vector<std::string> RunProbe(const std::filesystem::path& directory, std::uint32_t seed,
                                  long killAt, int batches, bool exclusive) {
    testing::TProbeProcess probe(ZENKALO_FLUSH_PROBE,
                                 {directory.string(), std::to_string(seed), std::to_string(killAt),
                                  std::to_string(batches), exclusive ? "exclusive" : "shared"});
    EXPECT_TRUE(probe.Started()) << "cannot start the flush probe";
    std::vector<std::string> lines;
    for (std::string line = probe.Answer(); !line.empty(); line = probe.Answer())
        lines.push_back(line);
    probe.Kill();  // it is gone already: this only collects it
    return lines;
}

// What the probe's lines allow the table to hold: the rows as of its last finished flush, or
// after any of the changes it announced since (the flush it died in may have landed, and the
// engine may have flushed on its own in between).
struct TOutcome {
    std::vector<std::vector<audit::TRow>> Acceptable;
    long Steps = -1;  // the probe was not killed
    std::string Failure;
};

TOutcome Replay(std::vector<audit::TRow> rows, const std::vector<std::string>& lines) {
    TOutcome outcome;
    outcome.Acceptable.push_back(rows);
    for (const std::string& line : lines) {
        char verb[16] = {};
        long first = 0;
        long second = 0;
        const int read = std::sscanf(line.c_str(), "%15s %ld %ld", verb, &first, &second);
        const std::string kind = read >= 1 ? verb : "";
        const auto recordAt = [&](long recNo) -> audit::TRow* {
            return recNo >= 1 && recNo <= static_cast<long>(rows.size())
                       ? &rows[static_cast<std::size_t>(recNo - 1)]
                       : nullptr;
        };
        if (kind == "append" && read == 2) {
            rows.push_back(audit::RowFor(static_cast<std::uint32_t>(first)));
        } else if (kind == "edit" && read == 3 && recordAt(first) != nullptr) {
            *recordAt(first) = audit::RowFor(static_cast<std::uint32_t>(second));
        } else if (kind == "delete" && read == 2 && recordAt(first) != nullptr) {
            *recordAt(first) = rows.back();
            rows.pop_back();
        } else if (kind == "flushed") {
            outcome.Acceptable.clear();
        } else if (kind == "steps" && read == 2) {
            outcome.Steps = first;
            continue;
        } else {
            outcome.Failure = line;
            break;
        }
        outcome.Acceptable.push_back(rows);
    }
    return outcome;
}

// A session of this process with T open, shared or exclusively.
class TReader {
public:
    TReader(const std::filesystem::path& db, bool exclusive) : session_(&pageManager_) {
        if (session_.Initialize(1) != 0) {
            error_ = "no session";
            return;
        }
        TTdbCatalog& catalog = session_.Catalog();
        catalog.SetLocation(FromUtf8(db.string()));
        catalog.SetExclusive(exclusive);
        if (session_.OpenDb() != 0) {
            error_ = "the database does not open: " + LastError();
            return;
        }
        rltnIdx_ = catalog.OpenTable(u"T", {}, TTdbCatalog::kAllWriteRights, false, false, false);
        if (rltnIdx_ <= 0)
            error_ = "the table does not open: " + LastError();
        else
            table_ = &dynamic_cast<TTdbBaseTable&>(*catalog.GetRelation(rltnIdx_));
        journal_ = db / "T.tdbj";
    }
    ~TReader() {
        if (table_ != nullptr)
            session_.Catalog().CloseRelation(rltnIdx_);
        session_.Uninitialize();
    }
    TReader(const TReader&) = delete;
    TReader& operator=(const TReader&) = delete;

    const std::string& Error() const { return error_; }
    TTdbBaseTable* Table() const { return table_; }

    // Empty when every index agrees with the table, the journal is gone and the table holds
    // one of the states the probe's lines allow; otherwise what is wrong.
    std::string Check(const TOutcome& outcome) {
        if (!outcome.Failure.empty())
            return "the probe said: " + outcome.Failure;
        if (table_ == nullptr)
            return error_;
        std::string wrong;
        for (TTdbIndexNo no = 0; wrong.empty() && no <= table_->GetLastIndexNo(); ++no)
            if (table_->GetIndexFile(no) != nullptr)
                wrong = audit::IndexDisagreement(*table_, no);
        if (wrong.empty() && std::filesystem::exists(journal_))
            wrong = "the journal is still there";
        if (wrong.empty()) {
            const std::vector<audit::TRow> rows = audit::ReadRows(*table_);
            bool found = false;
            for (const auto& acceptable : outcome.Acceptable)
                found = found || rows == acceptable;
            if (!found)
                wrong = "the table holds " + std::to_string(rows.size()) +
                        " records, none of the states its flushes allow (the last has " +
                        std::to_string(outcome.Acceptable.back().size()) + ")";
        }
        return wrong;
    }

private:
    std::string LastError() { return ToUtf8(session_.Services().LastError().LastErrorMsg()); }

    TTdbPageManager pageManager_;
    TTdbLocalSession session_;
    int rltnIdx_ = 0;
    TTdbBaseTable* table_ = nullptr;
    std::filesystem::path journal_;
    std::string error_;
};

class FlushKillTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        templateDir_ = new TempDir();
        TTdbPageManager pageManager;
        TTdbLocalSession session(&pageManager);
        ASSERT_EQ(session.Initialize(1), 0);
        session.Catalog().SetLocation(templateDir_->Name());
        session.Catalog().SetExclusive(true);
        ASSERT_EQ(session.OpenDb(), 0);
        TTdbCreateTableArgs args = audit::AuditTableArgs(u"T");
        ASSERT_EQ(session.Catalog().CreateTable(args), 0);
        const int rltnIdx = session.Catalog().OpenTable(u"T", {}, TTdbCatalog::kAllWriteRights,
                                                        false, false, false);
        ASSERT_GT(rltnIdx, 0);
        auto& table = dynamic_cast<TTdbBaseTable&>(*session.Catalog().GetRelation(rltnIdx));
        for (std::uint32_t n = 0; n < kTemplateRows; ++n)
            templateRows_.push_back(audit::RowFor(n));
        ASSERT_EQ(audit::AppendRows(table, templateRows_), "");
        ASSERT_EQ(table.Flush(false), 0);
        session.Catalog().CloseRelation(rltnIdx);
        session.Uninitialize();
    }
    static void TearDownTestSuite() {
        delete templateDir_;
        templateDir_ = nullptr;
        templateRows_.clear();
    }

    // A copy of the template database for one run.
    void Fresh() {
        std::filesystem::remove_all(run_.Path() / "db");
        std::filesystem::copy(templateDir_->Path(), run_.Path() / "db");
    }
    std::filesystem::path Db() const { return run_.Path() / "db"; }

    // Runs the probe on a fresh copy and checks what it left; the probe's steps when it was
    // not killed, else -1. A shared probe runs beside a session of this process that had the
    // table open all along, and with a shared reader that session looks first: its first lock
    // after the kill must put the files back and forget what it had cached.
    long RunAndCheck(std::uint32_t seed, long killAt, int batches, bool probeExclusive,
                     bool readerExclusive) {
        Fresh();
        std::unique_ptr<TReader> watcher;
        if (!probeExclusive && !readerExclusive) {
            watcher = std::make_unique<TReader>(Db(), false);
            EXPECT_EQ(watcher->Error(), "");
            if (watcher->Table() != nullptr) {
                EXPECT_EQ(audit::ReadRows(*watcher->Table()), templateRows_);
            }
        }
        const TOutcome outcome =
            Replay(templateRows_, RunProbe(Db(), seed, killAt, batches, probeExclusive));
        const std::string context = "seed " + std::to_string(seed) + ", killed at step " +
                                    std::to_string(killAt) + " of a " +
                                    (probeExclusive ? "exclusive" : "shared") + " probe, read " +
                                    (readerExclusive ? "exclusively" : "shared");
        if (watcher) {
            // No need to wait out the dead writer's lock: one refusal looks for dead sessions.
            if (watcher->Table() != nullptr)
                watcher->Table()->SetLockWaitAttempts(1);
            EXPECT_EQ(watcher->Check(outcome), "") << context << ", by a session open all along";
            watcher.reset();
        }
        TReader reader(Db(), readerExclusive);
        EXPECT_EQ(reader.Check(outcome), "") << context;
        return outcome.Steps;
    }

    static TempDir* templateDir_;
    static std::vector<audit::TRow> templateRows_;
    TempDir run_;
};

TempDir* FlushKillTest::templateDir_ = nullptr;
std::vector<audit::TRow> FlushKillTest::templateRows_;

int RandomRuns() { return testing::CountFromEnvironment("ZENKALO_FLUSH_KILL_RUNS", 200); }

TEST_F(FlushKillTest, AKillAtAnyStepOfAFlushLeavesTheStateBeforeOrAfterIt) {
    constexpr std::uint32_t kSeed = 11;
    constexpr int kBatches = 4;
    const long steps = RunAndCheck(kSeed, 0, kBatches, false, false);
    ASSERT_GT(steps, kBatches);
    for (long killAt = 1; killAt <= steps && !HasFailure(); ++killAt) {
        // The unlock thread gives the lazily kept lock back on its own time, so a run may write
        // the lock file once more or less than the first one did: a run may end before the last
        // step counted then, but only with fewer steps. Its state is checked either way.
        const long ended =
            RunAndCheck(kSeed, killAt, kBatches, killAt % 2 == 0, killAt / 2 % 2 == 0);
        if (ended != -1) {
            EXPECT_LT(ended, killAt) << "the probe was not killed at step " << killAt;
        }
    }
}

TEST_F(FlushKillTest, AKillAtARandomStepLeavesTheStateBeforeOrAfterTheFlush) {
    constexpr int kBatches = 8;
    std::mt19937 random(5);
    const int runs = RandomRuns();
    int killed = 0;
    for (int run = 0; run < runs && !HasFailure(); ++run) {
        // A batch takes about ten steps: most runs die somewhere in a flush.
        const long killAt = std::uniform_int_distribution<long>(1, 10 * kBatches)(random);
        if (RunAndCheck(2000u + static_cast<std::uint32_t>(run), killAt, kBatches, run % 2 == 0,
                        run % 4 < 2) < 0)
            ++killed;
    }
    EXPECT_GT(killed, runs / 2);
}

}  // namespace
}  // namespace tdb
