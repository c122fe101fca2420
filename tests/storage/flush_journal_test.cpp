#include "storage/flush_journal.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <span>
#include <string>

#include "storage/file_errors.h"
#include "storage/os_file_system.h"
#include "test_support.h"

namespace tdb {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;
using TRollBack = TTdbFlushJournal::TRollBack;

std::span<const std::byte> AsBytes(const std::string& text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

// A table file of three pages, a flush that overwrites the middle one and appends a fourth,
// and the journal written before it.
class FlushJournalTest : public ::testing::Test {
protected:
    static constexpr std::size_t kPage = 64;
    const std::string FBefore =
        std::string(kPage, 'a') + std::string(kPage, 'b') + std::string(kPage, 'c');
    TempDir FDir;
    TdwOSFileSystem FFileSystem{FDir.Name()};

    void SetUp() override { WriteBytes(FDir.Path() / "t.dat", FBefore); }

    void WriteJournal() {
        TTdbFlushJournal journal(FFileSystem, u"t.jnl");
        const std::int32_t file =
            journal.AddFile(u"t.dat", static_cast<std::int64_t>(FBefore.size()));
        journal.AddPage(file, kPage, AsBytes(FBefore.substr(kPage, kPage)));
        journal.Write(true);
    }

    // Half of the flush: the middle page overwritten and a page appended.
    void TearTheFlush() {
        WriteBytes(FDir.Path() / "t.dat", FBefore.substr(0, kPage) + std::string(kPage, 'X') +
                                              FBefore.substr(2 * kPage) + std::string(kPage, 'Y'));
    }

    bool JournalExists() const { return std::filesystem::exists(FDir.Path() / "t.jnl"); }
};

TEST_F(FlushJournalTest, RollsAnInterruptedFlushBackAndGoes) {
    EXPECT_EQ(TTdbFlushJournal::RollBack(FFileSystem, u"t.jnl", true), TRollBack::kNone);
    WriteJournal();
    TearTheFlush();
    EXPECT_EQ(TTdbFlushJournal::RollBack(FFileSystem, u"t.jnl", true), TRollBack::kRolledBack);
    EXPECT_EQ(ReadBytes(FDir.Path() / "t.dat"), FBefore);
    EXPECT_FALSE(JournalExists());
}

TEST_F(FlushJournalTest, GivesBackWhatAFlushCutOff) {
    TTdbFlushJournal journal(FFileSystem, u"t.jnl");
    const std::int32_t file = journal.AddFile(u"t.dat", static_cast<std::int64_t>(FBefore.size()));
    journal.AddPage(file, 2 * kPage, AsBytes(FBefore.substr(2 * kPage)));
    journal.Write(false);
    WriteBytes(FDir.Path() / "t.dat", FBefore.substr(0, kPage));
    EXPECT_EQ(TTdbFlushJournal::RollBack(FFileSystem, u"t.jnl", false), TRollBack::kRolledBack);
    // The middle page was not journalled: only the cut tail comes back, at its place.
    const std::string restored = ReadBytes(FDir.Path() / "t.dat");
    ASSERT_EQ(restored.size(), FBefore.size());
    EXPECT_EQ(restored.substr(2 * kPage), FBefore.substr(2 * kPage));
}

TEST_F(FlushJournalTest, ATornOrDamagedJournalIsIgnoredAndChangesNothing) {
    WriteJournal();
    const std::string whole = ReadBytes(FDir.Path() / "t.jnl");
    // Every length the journal can have been cut at, then every byte damaged in turn.
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        WriteBytes(FDir.Path() / "t.jnl", whole.substr(0, cut));
        EXPECT_EQ(TTdbFlushJournal::RollBack(FFileSystem, u"t.jnl", false), TRollBack::kIgnored)
            << cut;
        EXPECT_FALSE(JournalExists());
    }
    for (std::size_t at = 0; at < whole.size(); ++at) {
        std::string damaged = whole;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        WriteBytes(FDir.Path() / "t.jnl", damaged);
        EXPECT_EQ(TTdbFlushJournal::RollBack(FFileSystem, u"t.jnl", false), TRollBack::kIgnored)
            << at;
    }
    EXPECT_EQ(ReadBytes(FDir.Path() / "t.dat"), FBefore);
}

TEST_F(FlushJournalTest, ASoundChecksumOverUnsoundRecordsAppliesNothing) {
    TTdbFlushJournal journal(FFileSystem, u"t.jnl");
    const std::int32_t file = journal.AddFile(u"t.dat", 1);
    journal.AddPage(file, 0, AsBytes("Z"));
    journal.AddPage(file + 1, 0, AsBytes("Z"));  // names no file
    journal.Write(false);
    EXPECT_EQ(TTdbFlushJournal::RollBack(FFileSystem, u"t.jnl", false), TRollBack::kIgnored);
    EXPECT_EQ(ReadBytes(FDir.Path() / "t.dat"), FBefore);
}

TEST_F(FlushJournalTest, AFileThatCannotBeRestoredKeepsTheJournalForTheNextAttempt) {
    TTdbFlushJournal journal(FFileSystem, u"t.jnl");
    journal.AddFile(u"gone/t.idx", 4096);
    journal.Write(false);
    EXPECT_THROW(TTdbFlushJournal::RollBack(FFileSystem, u"t.jnl", false), EdwInOutError);
    EXPECT_TRUE(JournalExists());
}

}  // namespace
}  // namespace tdb
