// A table's flush writes all its files as one behind a journal: a failing write at any point
// leaves every file as before the flush and loses no change; journals found beside a table are
// put back, ignored when torn, and left alone while their writer may still be at work.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../platform/test_support.h"
#include "../storage/fault_file_system.h"
#include "base/engine_errors.h"
#include "engine/session.h"
#include "faulty_database.h"
#include "storage/flush_journal.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "table_audit.h"

namespace tdb {
namespace {

using testing::FaultFileSystem;
using testing::Le;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

// The journal's checksum: four lanes take the body's little-endian eight-byte words in turn,
// 32 bytes at a time; the words left over go to the first lane, then the bytes left over as
// one last word; the lanes are folded into one, and the length last.
std::uint64_t Checksum(const std::string& body) {
    constexpr std::uint64_t kMultiplier = 0xFF51AFD7ED558CCDULL;
    const auto mix = [](std::uint64_t hash, std::uint64_t word) {
        hash = (hash ^ word) * kMultiplier;
        return hash ^ (hash >> 29);
    };
    std::uint64_t lanes[4] = {0x9E3779B97F4A7C15ULL ^ body.size(), 1, 2, 3};
    std::size_t at = 0;
    for (; at + 32 <= body.size(); at += 32)
        for (std::size_t lane = 0; lane < 4; ++lane)
            lanes[lane] = mix(lanes[lane], Le<std::uint64_t>(body, at + 8 * lane));
    for (; at + 8 <= body.size(); at += 8)
        lanes[0] = mix(lanes[0], Le<std::uint64_t>(body, at));
    std::uint64_t last = 0;
    for (std::size_t i = 0; at + i < body.size(); ++i)
        last |= std::uint64_t{static_cast<unsigned char>(body[at + i])} << (8 * i);
    std::uint64_t hash = mix(lanes[0], last);
    for (std::size_t lane = 1; lane < 4; ++lane)
        hash = mix(hash, lanes[lane]);
    return mix(hash, body.size());
}

// The files of table T: data file and index files, by name, with their bytes.
using TFiles = std::map<std::string, std::string>;

class TableFlushTest : public testing::FaultyDatabaseTest {
protected:
    // T with rows RowFor(0) .. RowFor(rows - 1), flushed and closed.
    void Create(std::uint32_t rows) {
        TTdbCreateTableArgs args = audit::AuditTableArgs(u"T");
        ASSERT_EQ(Catalog().CreateTable(args), 0) << LastError();
        TTdbBaseTable* table = Open();
        ASSERT_NE(table, nullptr);
        for (std::uint32_t n = 0; n < rows; ++n)
            model_.push_back(audit::RowFor(n));
        ASSERT_EQ(audit::AppendRows(*table, model_), "");
        ASSERT_EQ(table->Flush(false), 0);
        Catalog().CloseRelation(table->RltnIdx());
    }
    TTdbBaseTable* Open() {
        const int rltnIdx =
            Catalog().OpenTable(u"T", {}, TTdbCatalog::kAllWriteRights, false, false, false);
        if (rltnIdx <= 0)
            return nullptr;
        return &dynamic_cast<TTdbBaseTable&>(*Catalog().GetRelation(rltnIdx));
    }

    // Appends, edits and deletes through the table, keeping the model in step.
    void Change(TTdbBaseTable& table, std::uint32_t seed) {
        std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
        for (std::uint32_t n = seed; n < seed + 4; ++n) {
            ASSERT_EQ(table.InitRecord(record, true), 0);
            audit::SetRow(table, record, audit::RowFor(n));
            ASSERT_GT(table.AppendRecordDirect(record), 0) << LastError();
            model_.push_back(audit::RowFor(n));
        }
        ASSERT_EQ(table.ReadRecord(3, record), 0);
        audit::SetRow(table, record, audit::RowFor(seed + 50));
        ASSERT_EQ(table.ReplaceRecordDirect(3, record), 0) << LastError();
        model_[2] = audit::RowFor(seed + 50);
        ASSERT_EQ(table.DeleteRecordDirect(1), 0) << LastError();
        model_[0] = model_.back();
        model_.pop_back();
    }

    TFiles Files() const {
        TFiles files;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
            const std::string name = entry.path().filename().string();
            if (name == "T.tdbt" || (name.rfind("T!", 0) == 0 && name.ends_with(".tdbi")))
                files[name] = ReadBytes(entry.path());
        }
        return files;
    }
    bool JournalExists() const { return std::filesystem::exists(dir_.Path() / "T.tdbj"); }

    // Empty when T holds the model and every index agrees with it.
    std::string Audit(TTdbBaseTable& table) {
        for (TTdbIndexNo no = 0; no <= table.GetLastIndexNo(); ++no)
            if (table.GetIndexFile(no) != nullptr)
                if (std::string wrong = audit::IndexDisagreement(table, no); !wrong.empty())
                    return wrong;
        return audit::ReadRows(table) == model_ ? "" : "the rows differ from the model";
    }

    // Opens T, which must have no journal beside it, hold the model and have every index
    // agree with it, and closes it again.
    void ExpectSound() {
        TTdbBaseTable* table = Open();
        ASSERT_NE(table, nullptr) << LastError();
        EXPECT_FALSE(JournalExists());
        EXPECT_EQ(Audit(*table), "");
        Catalog().CloseRelation(table->RltnIdx());
    }

    std::vector<audit::TRow> model_;
};

TEST_F(TableFlushTest, AWriteThatFailsAnywhereInAFlushLeavesTheFilesAsBeforeAndLosesNothing) {
    Create(120);
    bool failed = true;
    int fail = 0;
    for (; failed; ++fail) {
        SCOPED_TRACE("write " + std::to_string(fail) + " of the flush fails");
        TTdbBaseTable* table = Open();
        ASSERT_NE(table, nullptr) << LastError();
        const std::vector<audit::TRow> before = model_;
        const TFiles filesBefore = Files();
        Change(*table, 1000u * static_cast<std::uint32_t>(fail + 1));
        fs_->writeToFail = fail;
        failed = table->Flush(false) < 0;
        fs_->writeToFail = -1;
        if (failed) {
            EXPECT_EQ(session_->Services().LastError().LastErrorCode(), kTdbErrWriteFile);
            EXPECT_TRUE(Files() == filesBefore);
            EXPECT_FALSE(JournalExists());
            // The changes wait in the cache: the next flush writes them all.
            ASSERT_EQ(table->Flush(false), 0) << LastError();
        }
        EXPECT_FALSE(Files() == filesBefore);
        Catalog().CloseRelation(table->RltnIdx());
        ExpectSound();
        if (HasFailure())
            break;
        EXPECT_NE(model_, before);
    }
    // The journal's two writes, and a page at least of each of the four files.
    EXPECT_GT(fail, 2 + 4);
}

// Reads a journal from its layout alone: empty when it is whole, names every written file once
// with its length before the flush, and holds for every range the bytes the files held then.
std::string JournalDisagreement(const std::string& journal, const TFiles& filesBefore) {
    if (journal.size() < 28 || journal.substr(0, 4) != "TDBJ" || Le<std::uint32_t>(journal, 4) != 1)
        return "no journal header";
    const std::size_t bodySize = journal.size() - 20;
    if (journal.substr(bodySize, 4) != "JEND" ||
        Le<std::uint64_t>(journal, bodySize + 4) != bodySize ||
        Le<std::uint64_t>(journal, bodySize + 12) != Checksum(journal.substr(0, bodySize)))
        return "no sound trailer";
    std::vector<std::string> names;
    int pages = 0;
    for (std::size_t at = 8; at < bodySize;) {
        const char kind = journal.at(at++);
        if (kind == 'F') {
            const std::uint32_t length = Le<std::uint32_t>(journal, at);
            std::u16string name;
            for (std::uint32_t i = 0; i < length; ++i)
                name += static_cast<char16_t>(Le<std::uint16_t>(journal, at + 4 + 2 * i));
            at += 4 + 2 * std::size_t{length};
            const auto oldLength = Le<std::int64_t>(journal, at);
            at += 8;
            names.push_back(ToUtf8(name));
            const auto before = filesBefore.find(names.back());
            if (before == filesBefore.end() ||
                oldLength != static_cast<std::int64_t>(before->second.size()))
                return "file " + names.back() + " is not as it was";
        } else if (kind == 'P') {
            const std::uint32_t fileNo = Le<std::uint32_t>(journal, at);
            const auto offset = static_cast<std::size_t>(Le<std::int64_t>(journal, at + 4));
            const std::uint32_t length = Le<std::uint32_t>(journal, at + 12);
            at += 16;
            if (fileNo >= names.size() ||
                journal.substr(at, length) != filesBefore.at(names[fileNo]).substr(offset, length))
                return "a range of file " + std::to_string(fileNo) + " is not as it was";
            at += length;
            ++pages;
        } else {
            return "a record of kind " + std::to_string(kind);
        }
    }
    // The data file and every index were written, a page at least of each.
    if (names.size() != 4 || pages < 4)
        return std::to_string(names.size()) + " files and " + std::to_string(pages) + " ranges";
    return {};
}

// A flush that fails on its way, wherever: the files stay as before it, the journal goes (or,
// when it cannot, stays whole for the next flush), and the next flush lands every change.
TEST_F(TableFlushTest, AFailedFlushLeavesTheFilesAsBeforeAndTheNextOneLandsEverything) {
    struct TFault {
        const char* Name;
        bool Deep;
        bool FaultFileSystem::*Switch;  // or, when null, the sync that fails
        std::int16_t Error;
        bool JournalKept;
    };
    const TFault faults[] = {
        // The journal's own sync comes first; the second is the data file's.
        {"a sync of a deep flush", true, nullptr, kTdbErrWriteFile, false},
        // Where no file may be made no journal can guard a flush; the error names the journal.
        {"no room for the journal", false, &FaultFileSystem::createsRefused, kTdbErrNoWriteAccess,
         false},
        {"a journal that cannot go", false, &FaultFileSystem::deletesRefused, kTdbErrWriteFile,
         true},
    };
    Create(60);
    std::uint32_t seed = 100;
    for (const TFault& fault : faults) {
        SCOPED_TRACE(fault.Name);
        TTdbBaseTable* table = Open();
        ASSERT_NE(table, nullptr) << LastError();
        if (fault.Deep)
            table->SetRights(static_cast<std::uint16_t>(table->Rights() | kRightDeepFlush));
        const TFiles filesBefore = Files();
        Change(*table, seed += 100);
        const auto turn = [&](bool on) {
            if (fault.Switch != nullptr)
                fs_->*fault.Switch = on;
            else
                fs_->syncToFail = on ? 1 : -1;
        };
        turn(true);
        EXPECT_EQ(table->Flush(false), -fault.Error);
        turn(false);
        if (fault.Error == kTdbErrNoWriteAccess) {
            EXPECT_NE(LastError().find("T.tdbj"), std::string::npos) << LastError();
        }
        EXPECT_TRUE(Files() == filesBefore);
        EXPECT_EQ(JournalExists(), fault.JournalKept);
        if (fault.JournalKept) {
            EXPECT_EQ(JournalDisagreement(ReadBytes(dir_.Path() / "T.tdbj"), filesBefore), "");
        }
        const int syncs = fs_->syncs;
        ASSERT_EQ(table->Flush(false), 0) << LastError();
        EXPECT_FALSE(JournalExists());
        // Journal, every file and at last the directory without the journal.
        if (fault.Deep) {
            EXPECT_GE(fs_->syncs - syncs, 1 + 4 + 1);
        }
        Catalog().CloseRelation(table->RltnIdx());
        ExpectSound();
    }
}

// A complete journal beside a table whose writer is gone: the table's files as they were
// before the flush come back on open. A medium that cannot be written keeps the table shut
// (reading it half-flushed could show anything) and the journal for a later attempt.
TEST_F(TableFlushTest, AJournalLeftBehindIsPutBackOnOpenOrKeepsTheTableShut) {
    Create(60);
    const TFiles filesBefore = Files();
    const std::string& data = filesBefore.at("T.tdbt");
    {
        TdwOSFileSystem fileSystem(dir_.Name());
        TTdbFlushJournal journal(fileSystem, u"T.tdbj");
        const std::int32_t file =
            journal.AddFile(u"T.tdbt", static_cast<std::int64_t>(data.size()));
        journal.AddPage(file, 0, testing::Bytes(data.substr(0, 4096)));
        journal.Write(false);
    }
    // Half of a flush that tore the first page and appended garbage.
    std::string torn = data;
    for (std::size_t i = 100; i < 4000; ++i)
        torn[i] = static_cast<char>(i * 7);
    WriteBytes(dir_.Path() / "T.tdbt", torn + std::string(5000, 'x'));

    fs_->readOnlyMedium = true;
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(session_->Services().LastError().LastErrorCode(), kTdbErrNoWriteAccess);
    EXPECT_TRUE(JournalExists());
    EXPECT_TRUE(ReadBytes(dir_.Path() / "T.tdbt") == torn + std::string(5000, 'x'));
    fs_->readOnlyMedium = false;

    ExpectSound();
    EXPECT_TRUE(Files() == filesBefore);
}

TEST_F(TableFlushTest, ATornJournalIsIgnoredForItsFlushNeverBegan) {
    Create(40);
    const TFiles filesBefore = Files();
    WriteBytes(dir_.Path() / "T.tdbj", std::string("TDBJ\x01\0\0\0F", 9));
    ExpectSound();
    EXPECT_TRUE(Files() == filesBefore);
}

// A journal whose table was deleted behind the engine's back must not be put back into the
// files of a new table of that name: it would cut them to the old length.
TEST_F(TableFlushTest, AJournalOfAGoneTableIsNotRolledBackIntoANewOne) {
    {
        TdwOSFileSystem fileSystem(dir_.Name());
        TTdbFlushJournal journal(fileSystem, u"T.tdbj");
        journal.AddFile(u"T.tdbt", 10);
        journal.Write(false);
    }
    Create(25);
    ExpectSound();
}

// Two sessions share T: while one holds it for writing, a journal beside it may be that
// writer's, and the other session neither reads the table nor touches the journal. Once the
// writer lets go, the next lock finds the journal stale and deals with it.
TEST_F(TableFlushTest, AJournalIsLeftAloneWhileItsWriterHoldsTheTable) {
    Create(30);
    session_->Uninitialize();
    std::vector<std::unique_ptr<TTdbLocalSession>> sessions;
    std::vector<TTdbBaseTable*> tables;
    for (int i = 0; i < 2; ++i) {
        auto session = std::make_unique<TTdbLocalSession>(&pm_);
        ASSERT_EQ(session->Initialize(1), 0);
        session->Catalog().SetLocation(dir_.Name());
        session->Catalog().SetExclusive(false);
        ASSERT_EQ(session->OpenDb(), 0);
        const int rltnIdx = session->Catalog().OpenTable(u"T", {}, TTdbCatalog::kAllWriteRights,
                                                         false, false, false);
        ASSERT_GT(rltnIdx, 0);
        tables.push_back(&dynamic_cast<TTdbBaseTable&>(*session->Catalog().GetRelation(rltnIdx)));
        sessions.push_back(std::move(session));
    }
    TTdbBaseTable& writer = *tables[0];
    TTdbBaseTable& reader = *tables[1];
    reader.SetLockWaitAttempts(2);
    ASSERT_EQ(writer.BeginWrite(true), 0);
    const std::string planted = "TDBJ a journal being written";
    WriteBytes(dir_.Path() / "T.tdbj", planted);
    EXPECT_EQ(reader.BeginRead(false), -kTdbErrTableLocked);
    EXPECT_EQ(ReadBytes(dir_.Path() / "T.tdbj"), planted);
    writer.EndWrite();
    ASSERT_EQ(writer.Flush(true), 0);
    writer.CheckUnlock(~0u);  // the delayed release, now
    ASSERT_EQ(reader.BeginRead(false), 0)
        << ToUtf8(sessions[1]->Services().LastError().LastErrorMsg());
    EXPECT_FALSE(JournalExists());
    reader.EndRead();
    for (auto& session : sessions)
        session->Uninitialize();
    session_ = std::make_unique<TTdbLocalSession>(&pm_);
    ASSERT_EQ(session_->Initialize(1), 0);
}

}  // namespace
}  // namespace tdb
