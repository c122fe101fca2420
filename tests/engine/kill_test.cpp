// A process working on a directory database is killed at random instants; what it leaves must
// open, every index must agree with its table, and no step it had finished may be lost. The
// probe runs a few times over the same directory, so that later runs also work on what killed
// ones left behind. ZENKALO_KILL_ROUNDS asks for more rounds than the few of a normal run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../platform/test_support.h"
#include "base/engine_errors.h"
#include "engine/session.h"
#include "storage/page_manager.h"
#include "table_audit.h"

extern char** environ;

namespace tdb {
namespace {

using testing::TempDir;

// What a table holds as far as the probe's steps can tell.
struct TTableState {
    std::vector<audit::TRow> Rows;
    std::set<std::u16string> Indexes;  // the user indexes
    bool operator==(const TTableState&) const = default;
};
using TDatabaseState = std::map<std::u16string, TTableState>;

std::string Describe(const TDatabaseState& state) {
    std::ostringstream text;
    for (const auto& [name, table] : state) {
        text << ToUtf8(name) << ": " << table.Rows.size() << " rows, indexes";
        for (const std::u16string& index : table.Indexes)
            text << " " << ToUtf8(index);
        text << "\n";
    }
    return text.str();
}

// Applies one step the probe announced with "begin".
void Apply(TDatabaseState& state, const std::string& step) {
    std::istringstream in(step);
    std::string verb, table;
    in >> verb >> table;
    const std::u16string name = FromUtf8(table);
    if (verb == "create") {
        state[name] = TTableState{{}, {u"ByCode", u"ByName"}};
    } else if (verb == "append") {
        std::uint32_t first = 0;
        std::uint32_t count = 0;
        in >> first >> count;
        for (std::uint32_t n = first; n < first + count; ++n)
            state[name].Rows.push_back(audit::RowFor(n));
    } else if (verb == "newindex") {
        std::string index;
        in >> index;
        state[name].Indexes.insert(FromUtf8(index));
    } else if (verb == "dropindex") {
        std::string index;
        in >> index;
        state[name].Indexes.erase(FromUtf8(index));
    } else if (verb == "clear") {
        state[name].Rows.clear();
    } else if (verb == "rename") {
        std::string target;
        in >> target;
        TTableState moved = std::move(state[name]);
        state.erase(name);
        state[FromUtf8(target)] = std::move(moved);
    } else if (verb == "delete") {
        state.erase(name);
    }
}

// Runs the probe over the directory and kills it after the delay (unless it ends before);
// its lines of output.
std::vector<std::string> RunAndKill(const std::string& directory, std::uint32_t seed, int steps,
                                    std::chrono::milliseconds delay) {
    int fromChild[2];
    EXPECT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    std::vector<std::string> args{ZENKALO_CATALOG_PROBE, directory, std::to_string(seed),
                                  std::to_string(steps)};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, ZENKALO_CATALOG_PROBE, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fromChild[1]);
    std::vector<std::string> lines;
    if (spawned != 0) {
        ::close(fromChild[0]);
        ADD_FAILURE() << "cannot start the catalog probe";
        return lines;
    }
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);  // a probe that ended already is a zombie until reaped: harmless
    int status = 0;
    while (::waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    FILE* in = ::fdopen(fromChild[0], "r");
    char line[512];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        std::string text(line);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        lines.push_back(text);
    }
    std::fclose(in);
    return lines;
}

int KillRounds() { return testing::CountFromEnvironment("ZENKALO_KILL_ROUNDS", 6); }

// Opens the database the way the next process would and reads what it holds; every table must
// open and every index agree with its table.
TDatabaseState ReadDatabase(const std::u16string& directory, const std::string& context,
                            int& lostUserIndexes) {
    TDatabaseState state;
    TTdbPageManager pageManager;
    TTdbLocalSession session(&pageManager);
    EXPECT_EQ(session.Initialize(1), 0);
    TTdbCatalog& catalog = session.Catalog();
    catalog.SetLocation(directory);
    catalog.SetExclusive(true);
    const auto lastError = [&] { return ToUtf8(session.Services().LastError().LastErrorMsg()); };
    EXPECT_EQ(session.OpenDb(), 0) << context << lastError();
    for (const std::u16string& name : catalog.GetTableNames()) {
        const int rltnIdx =
            catalog.OpenTable(name, {}, TTdbCatalog::kAllWriteRights, false, false, false);
        if (rltnIdx <= 0) {
            ADD_FAILURE() << context << ToUtf8(name) << " does not open: " << lastError();
            continue;
        }
        auto& table = dynamic_cast<TTdbBaseTable&>(*catalog.GetRelation(rltnIdx));
        TTableState& read = state[name];
        read.Rows = audit::ReadRows(table);
        EXPECT_EQ(static_cast<std::int32_t>(read.Rows.size()), table.GetRecordCount())
            << context << ToUtf8(name);
        for (TTdbIndexNo no = 0; no <= table.GetLastIndexNo(); ++no) {
            const TTdbIndexFile* index = table.GetIndexFile(no);
            if (index == nullptr)
                continue;
            if (index->Kind() == tikUser)
                read.Indexes.insert(index->Name());
            const std::string disagreement = audit::IndexDisagreement(table, no);
            // A user index whose file a killed flush or rename tore cannot be made again: its
            // definition lives in that file. It must be reported as lost, never used.
            if (!disagreement.empty() && index->Kind() == tikUser && index->IsLost()) {
                ++lostUserIndexes;
                EXPECT_FALSE(table.CheckIndexOpen(no, false));
                EXPECT_EQ(session.Services().LastError().LastErrorCode(), kTdbErrIndexCorrupt);
                continue;
            }
            EXPECT_EQ(disagreement, "") << context << ToUtf8(name) << ": " << lastError();
        }
        catalog.CloseRelation(rltnIdx);
    }
    session.Uninitialize();
    return state;
}

// What a killed process leaves, made on purpose: a database in a scratch directory.
class KillLeftovers : public ::testing::Test {
protected:
    KillLeftovers() : session_(&pm_) {
        EXPECT_EQ(session_.Initialize(1), 0);
        Catalog().SetLocation(dir_.Name());
        Catalog().SetExclusive(true);
        EXPECT_EQ(session_.OpenDb(), 0);
    }
    ~KillLeftovers() override { session_.Uninitialize(); }

    TTdbCatalog& Catalog() { return session_.Catalog(); }
    std::string LastError() { return ToUtf8(session_.Services().LastError().LastErrorMsg()); }
    TTdbBaseTable& Open(std::u16string_view name) {
        int rltnIdx = Catalog().FindRltnIdx(name);
        if (rltnIdx == 0)
            rltnIdx =
                Catalog().OpenTable(name, {}, TTdbCatalog::kAllWriteRights, false, false, false);
        EXPECT_GT(rltnIdx, 0) << LastError();
        return dynamic_cast<TTdbBaseTable&>(*Catalog().GetRelation(rltnIdx));
    }
    void Create(std::u16string name, std::uint32_t rows) {
        TTdbCreateTableArgs args = audit::AuditTableArgs(name);
        ASSERT_EQ(Catalog().CreateTable(args), 0) << LastError();
        TTdbBaseTable& table = Open(name);
        std::vector<audit::TRow> values;
        for (std::uint32_t n = 0; n < rows; ++n)
            values.push_back(audit::RowFor(n));
        ASSERT_EQ(audit::AppendRows(table, values), "");
        ASSERT_EQ(table.Flush(false), 0);
        Catalog().CloseRelation(table.RltnIdx());
    }
    void ExpectIndexesAgree(std::u16string_view name) {
        TTdbBaseTable& table = Open(name);
        EXPECT_EQ(table.GetIndexCount(), 3);
        for (TTdbIndexNo no = 0; no <= table.GetLastIndexNo(); ++no) {
            if (table.GetIndexFile(no) != nullptr) {
                EXPECT_EQ(audit::IndexDisagreement(table, no), "") << LastError();
            }
        }
        Catalog().CloseRelation(table.RltnIdx());
    }

    TTdbPageManager pm_;
    TempDir dir_;
    TTdbLocalSession session_;
};

// The data file was flushed, its indexes not: records were added, or the table emptied.
TEST_F(KillLeftovers, IndexesThatLagBehindTheirTableAreBuiltAgainOnOpen) {
    Create(u"T", 20);
    TTdbBaseTable* table = &Open(u"T");
    std::vector<std::byte> record(static_cast<std::size_t>(table->GetRecordSize()));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(table->InitRecord(record, true), 0);
        ASSERT_GT(table->DataFile()->InsertRecord(record), 0);
    }
    ASSERT_EQ(table->Flush(false), 0);
    Catalog().CloseRelation(table->RltnIdx());
    ExpectIndexesAgree(u"T");

    table = &Open(u"T");
    table->DataFile()->Clear();
    ASSERT_EQ(table->Flush(false), 0);
    Catalog().CloseRelation(table->RltnIdx());
    ExpectIndexesAgree(u"T");
    EXPECT_EQ(Open(u"T").GetRecordCount(), 0);
}

// A table deleted, renamed away or half made leaves index files under its name behind; they
// belong to nothing and must not stand in the way of the next table of that name.
TEST_F(KillLeftovers, IndexFilesWithoutTheirTableDoNotBlockItsName) {
    const auto leftover = [&](const std::string& file) {
        testing::WriteBytes(dir_.Path() / file, "left by a killed process");
    };
    leftover("T!ByName.tdbi");
    leftover("T.tdbt.new");  // a creation cut short
    leftover("T.tdbt.new!ByCode.tdbi");
    leftover("T!rel_Z!ByName.tdbi");  // another table's, whose name starts alike
    EXPECT_TRUE(Catalog().GetTableNames().empty());
    Create(u"T", 5);
    EXPECT_EQ(Catalog().GetTableNames(), std::vector<std::u16string>{u"T"});
    ExpectIndexesAgree(u"T");
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "T!rel_Z!ByName.tdbi"));
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "T.tdbt.new"));
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "T.tdbt.new!ByCode.tdbi"));

    leftover("U!ByCode.tdbi");
    ASSERT_EQ(Catalog().RenameTable(u"T", u"U", {}), 0) << LastError();
    ExpectIndexesAgree(u"U");
    EXPECT_EQ(audit::ReadRows(Open(u"U")).size(), 5u);
}

TEST(KillTest, AKilledProcessLeavesTablesThatOpenWithIndexesThatAgree) {
    constexpr int kRunsPerDirectory = 3;
    const int rounds = KillRounds();
    std::unique_ptr<TempDir> dir;
    TDatabaseState state;
    int lostUserIndexes = 0;
    for (int round = 0; round < rounds; ++round) {
        if (round % kRunsPerDirectory == 0) {
            dir = std::make_unique<TempDir>();
            state.clear();
        }
        std::mt19937 random(static_cast<std::uint32_t>(round));
        const auto delay =
            std::chrono::milliseconds(std::uniform_int_distribution<int>(30, 600)(random));
        const std::uint32_t seed = 7001u + static_cast<std::uint32_t>(round);
        const std::vector<std::string> lines = RunAndKill(dir->Path().string(), seed, 300, delay);
        const std::string context = "round " + std::to_string(round) + ", seed " +
                                    std::to_string(seed) + ", killed after " +
                                    std::to_string(delay.count()) + " ms: ";

        // The steps the probe finished, and the one it was in when it died.
        std::string pending;
        for (const std::string& line : lines) {
            ASSERT_NE(line.rfind("fail", 0), 0u) << context << line;
            if (line.rfind("begin ", 0) == 0) {
                pending = line.substr(6);
            } else if (line == "refused") {
                pending.clear();
            } else if (line == "done") {
                Apply(state, pending);
                pending.clear();
            }
        }
        TDatabaseState after = state;
        if (!pending.empty())
            Apply(after, pending);

        const TDatabaseState found =
            ReadDatabase(dir->Name(), context + "in \"" + pending + "\": ", lostUserIndexes);
        if (found == state)
            continue;
        if (!pending.empty() && found == after) {
            state = after;
            continue;
        }
        ADD_FAILURE() << context << "in the middle of \"" << pending << "\"\nfound:\n"
                      << Describe(found) << "finished steps make:\n"
                      << Describe(state) << "with the last one:\n"
                      << Describe(after);
        state = found;
    }
    if (lostUserIndexes > 0)
        std::cout << lostUserIndexes << " user indexes were lost to torn files\n";
}

}  // namespace
}  // namespace tdb
