// Building indexes of stored tables: over existing records, on demand, and when the file
// system fails half-way.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../platform/test_support.h"
#include "../storage/fault_file_system.h"
#include "base/engine_errors.h"
#include "engine/base_table.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "faulty_database.h"
#include "index/index_entry.h"
#include "index/index_text.h"
#include "indexed_insert.h"
#include "platform/text.h"
#include "storage/heap_data_file.h"
#include "storage/page_manager.h"
#include "types/data_type.h"

namespace tdb {
namespace {

using testing::FaultFileSystem;
using testing::TempDir;

// Settlement-like names with Hungarian letters and many duplicates.
std::u16string SettlementName(std::uint32_t n) {
    static const std::u16string_view first[] = {u"Szé", u"Bala", u"Öcs", u"Győ", u"Kis", u"Nagy",
                                                u"Ács", u"Zala", u"Tisza", u"Duna"};
    static const std::u16string_view second[] = {u"kes", u"tonfüred", u"öd", u"r", u"várda",
                                                 u"kanizsa", u"szentmárton", u"lak", u"újfalu"};
    const std::uint32_t h = n * 2654435761u;
    return std::u16string(first[h % 10]) + std::u16string(second[(h / 10) % 9]) +
           (h % 7 == 0 ? u" " + NumberText((h / 90) % 50) : u"");
}

class IndexBuildTest : public testing::FaultyDatabaseTest {
protected:
    // Places: a postal code and a name under the Hungarian collation.
    TTdbBaseTable& CreateAndOpen(std::int16_t level = 6) {
        TTdbCreateTableArgs args;
        args.StoragePath = u"Places";
        args.Level = level;
        args.Capacity = 10000;
        args.ColumnDefs.Add(TTdbColumnDef::CreateColumnDef(
            u"Code", TTdbDataType::GetDataType(ctInteger, false, level), 0));
        args.ColumnDefs.Add(TTdbColumnDef::CreateStringColumnDef(
            u"Name",
            TTdbDataType::GetStringType(level >= 6 ? ctWideString : ctString, false, 38,
                                        u"Hungarian", level),
            0, u"Hungarian"));
        EXPECT_EQ(Catalog().CreateTable(args), 0) << LastError();
        const int rltnIdx = Catalog().OpenTable(u"Places", {}, TTdbCatalog::kAllWriteRights,
                                                false, false, false);
        EXPECT_GT(rltnIdx, 0) << LastError();
        return dynamic_cast<TTdbBaseTable&>(*Catalog().GetRelation(rltnIdx));
    }

    TTdbSortDef Def(TTdbBaseTable& table, std::u16string_view name, std::u16string_view text) {
        return ParseIndexSpecification(name, text, table.ColumnDefs(), table.GetLevel(), false);
    }

    // Appends records straight into the data file, keeping the open indexes up to date the
    // way writing a record does.
    static void Append(TTdbBaseTable& table, std::uint32_t from, std::uint32_t count) {
        std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
        const TTdbColumnDef& code = *table.ColumnDefs().GetColumnDef(0);
        const TTdbColumnDef& name = *table.ColumnDefs().GetColumnDef(1);
        for (std::uint32_t n = from; n < from + count; ++n) {
            ASSERT_EQ(table.InitRecord(record, false), 0);
            TTdbDataValue value;
            code.DataType->SetReference(value, record.data() + code.Position);
            code.DataType->SetInteger(value, 1000 + (n * 7919u) % 9000);
            name.DataType->SetReference(value, record.data() + name.Position);
            name.DataType->SetWideString(value, SettlementName(n));
            ASSERT_EQ(testing::InsertIndexed(table, record), "");
        }
    }

    // Whether two lists of entries of the index hold the same keys and record numbers in the
    // same order (a variable-size key leaves stale bytes behind its end in the buffer).
    static bool SameEntries(TTdbBaseTable& table, TTdbIndexNo no,
                            const std::vector<std::vector<std::byte>>& a,
                            const std::vector<std::vector<std::byte>>& b) {
        const TTdbSortDef& def = table.GetIndexFile(no)->IndexDef();
        if (a.size() != b.size())
            return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (!table.Keys().IsSameIndexInfo(def, a[i], b[i]))
                return false;
        return true;
    }

    // Every entry of an index in index order.
    static std::vector<std::vector<std::byte>> Entries(TTdbBaseTable& table, TTdbIndexNo no) {
        std::vector<std::vector<std::byte>> entries;
        EXPECT_TRUE(table.CheckIndexOpen(no, false));
        TTdbIndexFile& index = *table.GetIndexFile(no);
        std::span<std::byte> entry = index.GetWorkInfo(4);
        for (int found = index.Erster_Index(entry); found == 0; found = index.Naechster_Index(entry))
            entries.emplace_back(entry.begin(), entry.end());
        return entries;
    }
};

TEST_F(IndexBuildTest, BuildingOverRecordsEqualsInsertingThemOneByOne) {
    TTdbBaseTable& table = CreateAndOpen();
    const std::int16_t kept = table.NewIndex(u"Kept", Def(table, u"Kept", u"Code, -Name"), {}, 0);
    ASSERT_EQ(kept, 0) << LastError();
    ASSERT_TRUE(table.CheckIndexOpen(kept, false));
    Append(table, 0, 200000);
    std::int32_t lastDone = -1;
    std::int32_t total = 0;
    const std::int16_t built = table.NewIndex(
        u"Built", Def(table, u"Built", u"Code, -Name"),
        [&](std::int32_t done, std::int32_t count) {
            EXPECT_GE(done, lastDone);
            lastDone = done;
            total = count;
        },
        0);
    ASSERT_EQ(built, 1) << LastError();
    EXPECT_EQ(lastDone, 200000);
    EXPECT_EQ(total, 200000);
    const auto expected = Entries(table, kept);
    ASSERT_EQ(expected.size(), 200000u);
    EXPECT_TRUE(SameEntries(table, built, Entries(table, built), expected));
    EXPECT_EQ(table.GetIndexFile(built)->ItemCount(), 200000);
    std::int32_t items = 0, wrong = 0;
    EXPECT_EQ(table.GetIndexFile(built)->Check(items, wrong), 0);
    EXPECT_EQ(wrong, 0);
}

TEST_F(IndexBuildTest, FailedBuildLeavesNoIndexAndTheTableAsItWas) {
    TTdbBaseTable& table = CreateAndOpen();
    Append(table, 0, 3000);
    ASSERT_EQ(table.Flush(false), 0);
    for (int writes : {0, 1, 3, 10}) {
        SCOPED_TRACE(writes);
        fs_->writesLeft = writes;
        EXPECT_LT(table.NewIndex(u"ByName", Def(table, u"ByName", u"Name"), {}, 0), 0);
        fs_->writesLeft = -1;
        EXPECT_EQ(table.GetIndexCount(), 0);
        EXPECT_EQ(table.FindIndexByName(u"ByName"), kTdbNoIndex);
        EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Places!ByName.tdbi"));
        EXPECT_EQ(table.GetRecordCount(), 3000);
    }
    EXPECT_EQ(table.NewIndex(u"ByName", Def(table, u"ByName", u"Name"), {}, 0), 0) << LastError();
    EXPECT_EQ(Entries(table, 0).size(), 3000u);
    // Reopened, the table knows the index and nothing of the failed attempts.
    Catalog().CloseRelation(table.RltnIdx());
    const int rltnIdx =
        Catalog().OpenTable(u"Places", {}, TTdbCatalog::kAllWriteRights, false, false, false);
    ASSERT_GT(rltnIdx, 0) << LastError();
    auto& reopened = dynamic_cast<TTdbBaseTable&>(*Catalog().GetRelation(rltnIdx));
    EXPECT_EQ(reopened.GetIndexCount(), 1);
    EXPECT_EQ(Entries(reopened, 0).size(), 3000u);
}

TEST_F(IndexBuildTest, NewIndexRefusals) {
    TTdbBaseTable& table = CreateAndOpen();
    EXPECT_EQ(table.NewIndex(u"ByName", Def(table, u"ByName", u"Name"), {}, 0), 0);
    EXPECT_EQ(table.GetIndexFile(0)->ItemCount(), 0);  // an empty table gets an empty tree
    EXPECT_EQ(table.NewIndex(u"ByName", Def(table, u"ByName", u"Code"), {}, 0),
              -kTdbErrIndexAlreadyOpen);
    testing::WriteBytes(dir_.Path() / "Places!Left.tdbi", "left over");
    EXPECT_EQ(table.NewIndex(u"Left", Def(table, u"Left", u"Code"), {}, 0), -kTdbErrIndexFileExists);
    EXPECT_EQ(testing::ReadBytes(dir_.Path() / "Places!Left.tdbi"), "left over");

    // Without the index right only temporary indexes can be made.
    table.SetRights(static_cast<std::uint16_t>(table.Rights() & ~kRightIndex));
    EXPECT_EQ(table.NewIndex(u"ByCode", Def(table, u"ByCode", u"Code"), {}, 0), -kTdbErrNoIndexRight);
    EXPECT_GT(table.NewIndex(u"tmp001", Def(table, u"tmp001", u"Code"), {}, 0), 0);

    // Temporary indexes go with the close, from the disk and from the stored list.
    Catalog().CloseRelation(table.RltnIdx());
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Places!tmp001.tdbi"));
    const int rltnIdx =
        Catalog().OpenTable(u"Places", {}, TTdbCatalog::kAllWriteRights, false, false, false);
    ASSERT_GT(rltnIdx, 0) << LastError();
    auto& reopened = dynamic_cast<TTdbBaseTable&>(*Catalog().GetRelation(rltnIdx));
    EXPECT_EQ(reopened.FindIndexByName(u"tmp001"), kTdbNoIndex);
    EXPECT_EQ(reopened.GetIndexCount(), 1);
}

TEST_F(IndexBuildTest, FindIndexMakesATemporaryIndexWhenAskedTo) {
    TTdbBaseTable& table = CreateAndOpen();
    Append(table, 0, 100);
    bool reverse = true;
    const TTdbSortDef wanted = Def(table, u"", u"-Code");
    EXPECT_EQ(table.FindIndex(wanted, 0, reverse), kTdbNoIndex);
    const TTdbIndexNo made = table.FindIndex(wanted, tifoCreate, reverse);
    ASSERT_GE(made, 0) << LastError();
    EXPECT_FALSE(reverse);
    EXPECT_EQ(table.GetIndexFile(made)->Name(), u"tmp001");
    EXPECT_EQ(Entries(table, made).size(), 100u);
    // Read backwards, the same index serves the ascending order.
    EXPECT_EQ(table.FindIndex(Def(table, u"", u"Code"), 0, reverse), made);
    EXPECT_TRUE(reverse);
    EXPECT_EQ(table.FindIndex(Def(table, u"", u"Code"), tifoNoReverse, reverse), kTdbNoIndex);
}

TEST_F(IndexBuildTest, RegenerationRebuildsEveryIndexAndCompactsTrees) {
    TTdbBaseTable& table = CreateAndOpen();
    ASSERT_EQ(table.NewIndex(u"ByName", Def(table, u"ByName", u"Name"), {}, 0), 0);
    ASSERT_EQ(table.NewIndex(u"ByCode", Def(table, u"ByCode", u"Code"), {}, 0), 1);
    ASSERT_TRUE(table.CheckIndexOpen(0, false) && table.CheckIndexOpen(1, false));
    Append(table, 0, 20000);
    const auto byName = Entries(table, 0);
    const auto byCode = Entries(table, 1);
    ASSERT_EQ(table.Flush(false), 0);
    const auto sizeBefore = std::filesystem::file_size(dir_.Path() / "Places!ByName.tdbi");
    ASSERT_EQ(table.RegenIndex({}), 0) << LastError();
    EXPECT_TRUE(SameEntries(table, 0, Entries(table, 0), byName));
    EXPECT_TRUE(SameEntries(table, 1, Entries(table, 1), byCode));
    ASSERT_EQ(table.Flush(false), 0);
    EXPECT_LT(std::filesystem::file_size(dir_.Path() / "Places!ByName.tdbi"), sizeBefore);
}

TEST_F(IndexBuildTest, DeepFlushSavesEveryChangeOtherwiseTheDirectoryEveryThousandth) {
    TTdbBaseTable& table = CreateAndOpen();
    ASSERT_EQ(table.NewIndex(u"ByName", Def(table, u"ByName", u"Name"), {}, 0), 0);
    const int before = fs_->syncs;
    for (int i = 1; i < TTdbBaseTable::kFlushesPerDirectoryUpdate; ++i)
        ASSERT_EQ(table.Flush(false), 0);
    EXPECT_EQ(fs_->syncs, before);
    ASSERT_EQ(table.Flush(false), 0);
    const int afterThousand = fs_->syncs;
    EXPECT_GT(afterThousand, before);
    // A deep flush has its changes on the disk when it returns; with nothing to write, nothing
    // waits for the disk.
    table.SetRights(static_cast<std::uint16_t>(table.Rights() | kRightDeepFlush));
    ASSERT_EQ(table.Flush(false), 0);
    EXPECT_EQ(fs_->syncs, afterThousand);
    Append(table, 0, 1);
    ASSERT_EQ(table.Flush(false), 0);
    EXPECT_GT(fs_->syncs, afterThousand);

    // A failing write is reported as error 3 and remembered.
    Append(table, 0, 10);
    fs_->writesLeft = 0;
    EXPECT_EQ(table.Flush(false), -kTdbErrWriteFile);
    fs_->writesLeft = -1;
    EXPECT_EQ(table.Flush(false), 0);
}

TEST_F(IndexBuildTest, FilesOfATableAndItsViews) {
    TTdbBaseTable& table = CreateAndOpen();
    ASSERT_EQ(table.NewIndex(u"ByName", Def(table, u"ByName", u"Name"), {}, 0), 0);
    const std::u16string directory = dir_.Name() + u"/";
    EXPECT_EQ(table.PhysicalDirectory(), directory);
    std::vector<std::u16string> names;
    for (const std::u16string& name : table.GetFileNames())
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Places.tdbt", u"Places!ByName.tdbi"}));

    Append(table, 0, 5);
    const int view = Catalog().OpenVirtualRelation(u"Orte", table.RltnIdx());
    ASSERT_GT(view, 0) << LastError();
    TTdbRelation& orte = *Catalog().GetRelation(view);
    EXPECT_EQ(orte.GetName(), u"Orte");
    EXPECT_EQ(orte.GetRecordCount(), 5);
    EXPECT_EQ(orte.ColumnCount(), 2);
    EXPECT_EQ(Catalog().FindRltnIdx(u"orte"), view);
    EXPECT_EQ(orte.FindIndexByName(u"ByName"), 0);
    EXPECT_EQ(Catalog().OpenVirtualRelation(u"Orte", table.RltnIdx()), -kTdbErrTableAlreadyOpen);
    Catalog().CloseRelation(view);
    EXPECT_EQ(table.GetRecordCount(), 5);
}

}  // namespace
}  // namespace tdb
