// Index files: names and kinds by table level, the header page with its stored definition and
// item count, the entry operations, and opening files that are missing, foreign or damaged.
#include "index/index_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <sstream>
#include <random>
#include <string>
#include <vector>

#include "../types/table_def_fakes.h"
#include "base/byte_image.h"
#include "base/engine_error.h"
#include "index/bplus_tree.h"
#include "index/btree.h"
#include "index/index_keys.h"
#include "platform/text.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "test_support.h"
#include "types/column_def.h"

namespace tdb {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

TEST(IndexNamesTest, KindsFollowTheNameAndTheTableLevel) {
    struct Case {
        std::u16string_view name;
        std::int16_t level;
        TTdbIndexKind kind;
    };
    const Case cases[] = {
        {u"TELEP", 6, tikUser},         {u"tmpSearch", 6, tikTemporary},
        {u"sys_Id", 6, tikAdl},         {u"SYS_INR", 4, tikAdl},
        {u"sys_In3", 5, tikAdl},        {u"sys_In12", 6, tikAdl},
        {u"sys_In0", 6, tikConstraint}, {u"sys_Primary", 6, tikConstraint},
        {u"sys_Check", 6, tikConstraint}, {u"Names.ind", 6, tikUser},
        {u"NAMES", 3, tikUser},         {u"NAMES.IND", 2, tikUser},
        {u"work.$$i", 1, tikUser},      {u"work.$01", 3, tikTemporary},
        {u"Irsz.inr", 3, tikAdl},       {u"Irsz.ID", 3, tikAdl},
        {u"Irsz.in7", 3, tikAdl},       {u"Irsz.in0", 3, tikUnknown},
        {u"Irsz.xyz", 3, tikUnknown},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetIndexKind(c.name, c.level), c.kind)
            << std::string(c.name.begin(), c.name.end()) << " at level " << c.level;
    }
    EXPECT_TRUE(IsAutomaticKind(tikAdl));
    EXPECT_TRUE(IsAutomaticKind(tikConstraint));
    EXPECT_FALSE(IsAutomaticKind(tikUser));
    EXPECT_EQ(LinkIndexName(4), u"sys_In4");
}

TEST(IndexNamesTest, FileNamesAndSameNames) {
    EXPECT_EQ(CalcIndexFileName(u"db/", u"Irsz", u"TELEP", 6), u"db/Irsz!TELEP.tdbi");
    EXPECT_EQ(CalcIndexFileName(u"db/", u"Irsz", u"TELEP", 4), u"db/Irsz!TELEP.ind");
    EXPECT_EQ(CalcIndexFileName(u"", u"Irsz", u"TELEP", 3), u"TELEP.ind");
    EXPECT_EQ(CalcIndexFileName(u"", u"~Irsz", u"TELEP", 3), u"TELEP.$$i");
    EXPECT_EQ(CalcIndexFileName(u"", u"Irsz", u"TELEP.NDX", 3), u"TELEP.NDX");

    EXPECT_TRUE(IsSameName(u"Irsz!TELEP", u"Irsz!TELEP.tdbi"));
    EXPECT_TRUE(IsSameName(u"irsz!telep", u"IRSZ!TELEP.IND"));
    EXPECT_TRUE(IsSameName(u"Irsz!TELEP", u"Irsz!TELEP"));
    EXPECT_TRUE(IsSameName(u"Irsz!település", u"Irsz!TELEPÜLÉS.tdbi"));
    EXPECT_FALSE(IsSameName(u"Irsz!TELEP", u"Irsz!TELEP.dat"));
    EXPECT_FALSE(IsSameName(u"Irsz!TELEP", u"Irsz!TELEPX.tdbi"));
}

// A table with an Integer column "N" and a String column "S" of 20 characters.
class IndexFileTest : public ::testing::Test {
protected:
    IndexFileTest() { pm_.RegisterClient(1, 8192); }

    void MakeTable(std::int16_t level) {
        level_ = level;
        columns_.Clear();
        columns_.Add(u"N", TTdbDataType::GetDataType(ctInteger, false, level), 0);
        columns_.Add(TTdbColumnDef::CreateStringColumnDef(
            u"S", TTdbDataType::GetStringType(ctString, false, 20, u"", level), 0, u""));
        keys_ = std::make_unique<TTdbIndexKeys>(columns_, level);
    }

    std::unique_ptr<TTdbIndexFile> MakeIndexFile(const std::u16string& fileName) {
        auto storage = std::make_unique<TTdbClientStorage>(pm_, fs_, 1, nullptr);
        storage->SetName(fileName);
        auto file = std::make_unique<TTdbIndexFile>(*keys_, level_, std::move(storage), &factory_);
        file->SetErrorReport([this](std::int16_t code, const std::u16string& message) {
            reports_.push_back({code, message});
        });
        return file;
    }

    // An index on N (ascending or descending), created new.
    std::unique_ptr<TTdbIndexFile> CreateIntegerIndex(const std::u16string& fileName,
                                                      bool descending = false) {
        auto file = MakeIndexFile(fileName);
        TTdbSortDef def(u"ByN");
        def.AddItem(1, static_cast<std::uint8_t>(ctInteger), 4, descending);
        EXPECT_EQ(file->SetIndexDefinition(def), 0);
        EXPECT_EQ(file->NewStorage(level_, 4096), 0);
        return file;
    }

    std::unique_ptr<TTdbIndexFile> OpenIndex(const std::u16string& fileName) {
        auto file = MakeIndexFile(fileName);
        file->SetName(u"ByN");
        EXPECT_EQ(file->Open(), 0);
        return file;
    }

    std::vector<std::byte> Record(std::int32_t n, std::string_view s = "") const {
        std::vector<std::byte> record(static_cast<std::size_t>(columns_.GetRecordSize()));
        const TTdbColumnDef& nColumn = *columns_.GetColumnDef(0);
        const TTdbColumnDef& sColumn = *columns_.GetColumnDef(1);
        TTdbDataValue value;
        nColumn.DataType->SetReference(value, record.data() + nColumn.Position);
        nColumn.DataType->SetInteger(value, n);
        TTdbDataValue text;
        sColumn.DataType->SetReference(text, record.data() + sColumn.Position);
        sColumn.DataType->SetAnsiString(text, s);
        return record;
    }

    std::vector<std::byte> Entry(const TTdbIndexFile& file, std::int32_t n, std::int32_t recNo,
                                 std::string_view s = "") const {
        std::vector<std::byte> entry(static_cast<std::size_t>(file.IndSize()));
        keys_->CalcIndexInfo(file.IndexDef(), Record(n, s), recNo, entry);
        return entry;
    }

    // The record numbers in index order, walked forwards.
    static std::vector<std::int32_t> Walk(TTdbIndexFile& file) {
        std::vector<std::int32_t> recNos;
        TTdbLongIndexInfo key = file.CreateLongIndexInfo();
        for (int r = file.Erster_Index(key); r == 0; r = file.Naechster_Index(key))
            recNos.push_back(GetDateiVerweis(key));
        return recNos;
    }

    std::filesystem::path FilePath(std::u16string_view name) const {
        return dir_.Path() / std::string(name.begin(), name.end());
    }
    std::vector<std::byte> FileBytes(std::u16string_view name) const {
        const std::string bytes = ReadBytes(FilePath(name));
        const auto* data = reinterpret_cast<const std::byte*>(bytes.data());
        return {data, data + bytes.size()};
    }
    void PutBytes(std::u16string_view name, const std::vector<std::byte>& bytes) const {
        WriteBytes(FilePath(name),
                   std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }

    struct Report {
        std::int16_t code;
        std::u16string message;
    };

    TempDir dir_;
    TdwOSFileSystem fs_{dir_.Name()};
    TTdbPageManager pm_;
    deftest::RecordingFactory factory_;
    TTdbColumnDefs columns_;
    std::int16_t level_ = 6;
    std::unique_ptr<TTdbIndexKeys> keys_;
    std::vector<Report> reports_;
};

TEST_F(IndexFileTest, HeaderCarriesMagicVersionDefinitionAndItemCount) {
    for (std::int16_t level : {4, 5, 6}) {
        MakeTable(level);
        const std::u16string name = u"T" + std::u16string(1, u'0' + level) + u".idx";
        {
            auto file = CreateIntegerIndex(name, true);
            EXPECT_TRUE(file->IsOpen());
            EXPECT_FALSE(file->IsVarSize());
            EXPECT_EQ(file->IndSize(), 8);
            ASSERT_EQ(file->Add_Index(Entry(*file, 7, 1)), 0);
            ASSERT_EQ(file->Add_Index(Entry(*file, 9, 2)), 0);
            EXPECT_EQ(file->ItemCount(), 2);
            EXPECT_EQ(file->Close(), 0);
        }
        const std::vector<std::byte> bytes = FileBytes(name);
        ASSERT_GE(bytes.size(), 4096u);
        EXPECT_EQ(LoadLE<std::uint32_t>(bytes.data()), kBTreeIndexMagic);
        EXPECT_EQ(LoadLE<std::int16_t>(bytes.data() + 4), level);
        const std::size_t user = 6 + 24;
        EXPECT_EQ(LoadLE<std::int32_t>(bytes.data() + user), 2);         // item count
        EXPECT_EQ(LoadLE<std::uint16_t>(bytes.data() + user + 7), 1);     // components
        EXPECT_EQ(LoadLE<std::uint16_t>(bytes.data() + user + 9), 0x8001);  // column 1, descending
        EXPECT_EQ(LoadLE<std::int16_t>(bytes.data() + user + 11), 4);
        EXPECT_EQ(static_cast<int>(bytes[user + 13]), ctInteger);
        EXPECT_EQ(LoadLE<std::int16_t>(bytes.data() + user + 14), 8);     // entry size

        auto file = OpenIndex(name);
        EXPECT_EQ(file->Version(), level);
        EXPECT_EQ(file->ItemCount(), 2);
        EXPECT_EQ(file->IndexDef().LevelCount, 1);
        EXPECT_TRUE(file->IndexDef().Items[0].Descending);
        EXPECT_EQ(Walk(*file), (std::vector<std::int32_t>{2, 1}));  // descending: 9 before 7
    }
}

TEST_F(IndexFileTest, EqualKeysStandInRecordNumberOrderAndDeleteOneLeavesTheOther) {
    MakeTable(6);
    auto file = CreateIntegerIndex(u"Dup.tdbi");
    for (std::int32_t recNo : {5, 2, 9})
        ASSERT_EQ(file->Add_Index(Entry(*file, 42, recNo)), 0);
    ASSERT_EQ(file->Add_Index(Entry(*file, 1, 7)), 0);
    // The same entry twice is one entry, counted once.
    ASSERT_EQ(file->Add_Index(Entry(*file, 1, 7)), 0);
    EXPECT_EQ(file->ItemCount(), 4);
    EXPECT_EQ(Walk(*file), (std::vector<std::int32_t>{7, 2, 5, 9}));
    EXPECT_EQ(file->CalcItemSequenceNo(Entry(*file, 42, 5)), 3);

    ASSERT_EQ(file->Loesche_Index(Entry(*file, 42, 2)), 0);
    EXPECT_EQ(file->ItemCount(), 3);
    EXPECT_EQ(Walk(*file), (std::vector<std::int32_t>{7, 5, 9}));
    // An entry that is not there leaves the count alone.
    ASSERT_EQ(file->Loesche_Index(Entry(*file, 42, 2)), 0);
    EXPECT_EQ(file->ItemCount(), 3);

    // Searching by key with record number 0 lands on the first entry with that key.
    std::vector<std::byte> key = Entry(*file, 42, 0);
    ASSERT_EQ(file->Suche_Index(key), 0);
    EXPECT_EQ(GetDateiVerweis(key), 5);
    ASSERT_EQ(file->Vorheriger_Index(key), 0);
    EXPECT_EQ(GetDateiVerweis(key), 7);
    EXPECT_EQ(file->Vorheriger_Index(key), 1);
    key = Entry(*file, 43, 0);
    EXPECT_EQ(file->Suche_Index(key), 1);
    key = Entry(*file, 42, 4);
    EXPECT_EQ(file->Naechster_Index(key), -1);  // not in the index
    ASSERT_EQ(file->Letzter_Index(key), 0);
    EXPECT_EQ(GetDateiVerweis(key), 9);
}

TEST_F(IndexFileTest, ManyEntriesSurviveReopeningWithTheirCount) {
    MakeTable(5);
    std::mt19937 random(7);
    std::vector<std::pair<std::int32_t, std::int32_t>> expected;
    {
        auto file = CreateIntegerIndex(u"Many.ind");
        for (std::int32_t recNo = 1; recNo <= 3000; ++recNo) {
            const auto n = static_cast<std::int32_t>(random() % 500) - 250;
            ASSERT_EQ(file->Add_Index(Entry(*file, n, recNo)), 0);
            expected.emplace_back(n, recNo);
        }
        for (std::int32_t recNo = 1; recNo <= 3000; recNo += 3) {
            ASSERT_EQ(file->Loesche_Index(Entry(*file, expected[recNo - 1].first, recNo)), 0);
        }
        std::erase_if(expected, [](const auto& e) { return e.second % 3 == 1; });
        ASSERT_EQ(file->Close(), 0);
    }
    std::sort(expected.begin(), expected.end());
    std::vector<std::int32_t> recNos;
    for (const auto& e : expected)
        recNos.push_back(e.second);
    auto file = OpenIndex(u"Many.ind");
    EXPECT_EQ(file->ItemCount(), static_cast<std::int32_t>(expected.size()));
    EXPECT_EQ(Walk(*file), recNos);
    std::int32_t items = 0, wrong = 0;
    file->Tree()->Check(items, wrong);
    EXPECT_EQ(items, static_cast<std::int32_t>(expected.size()));
    EXPECT_EQ(wrong, 0);
}

TEST_F(IndexFileTest, OldLevelFilesHaveNoMagicAndReadBackAtTheirTableLevel) {
    MakeTable(3);
    {
        auto file = CreateIntegerIndex(u"OLD.IND");
        for (std::int32_t recNo = 1; recNo <= 600; ++recNo)
            ASSERT_EQ(file->Add_Index(Entry(*file, 1000 - recNo, recNo)), 0);
        for (std::int32_t recNo = 2; recNo <= 600; recNo += 2)
            ASSERT_EQ(file->Loesche_Index(Entry(*file, 1000 - recNo, recNo)), 0);
        ASSERT_EQ(file->Close(), 0);
    }
    const std::vector<std::byte> bytes = FileBytes(u"OLD.IND");
    EXPECT_NE(LoadLE<std::uint32_t>(bytes.data()), kBTreeIndexMagic);
    EXPECT_EQ(LoadLE<std::int32_t>(bytes.data() + 14 + 51), 300);  // item count

    auto file = OpenIndex(u"OLD.IND");
    EXPECT_EQ(file->Version(), 3);
    EXPECT_EQ(file->ItemCount(), 300);
    const std::vector<std::int32_t> walked = Walk(*file);
    ASSERT_EQ(walked.size(), 300u);
    EXPECT_EQ(walked.front(), 599);
    EXPECT_EQ(walked.back(), 1);
    // It keeps growing as an old file.
    for (std::int32_t recNo = 601; recNo <= 900; ++recNo)
        ASSERT_EQ(file->Add_Index(Entry(*file, recNo, recNo)), 0);
    EXPECT_EQ(Walk(*file).size(), 600u);
}

// Pages freed in a reopened level-3 file go on its free list and are taken again, so that the
// same entries taken out and put back need no more pages than they had.
TEST_F(IndexFileTest, ReopenedLevelThreeFilesReuseTheirFreedPages) {
    MakeTable(3);
    const auto fill = [&](TTdbIndexFile& file) {
        for (std::int32_t recNo = 1; recNo <= 2000; ++recNo)
            ASSERT_EQ(file.Add_Index(Entry(file, recNo % 700, recNo)), 0);
    };
    {
        auto file = CreateIntegerIndex(u"REUSE.IND");
        fill(*file);
        ASSERT_EQ(file->Close(), 0);
    }
    const std::size_t filled = FileBytes(u"REUSE.IND").size();
    const std::int32_t treePages = LoadLE<std::int16_t>(FileBytes(u"REUSE.IND").data() + 8);
    {
        auto file = OpenIndex(u"REUSE.IND");
        for (std::int32_t recNo = 1; recNo <= 2000; ++recNo)
            ASSERT_EQ(file->Loesche_Index(Entry(*file, recNo % 700, recNo)), 0);
        ASSERT_EQ(file->ItemCount(), 0);
        ASSERT_EQ(file->Close(), 0);
    }
    auto file = OpenIndex(u"REUSE.IND");
    fill(*file);
    ASSERT_EQ(file->Close(), 0);
    const std::vector<std::byte> bytes = FileBytes(u"REUSE.IND");
    EXPECT_EQ(LoadLE<std::int16_t>(bytes.data() + 8), treePages);
    EXPECT_EQ(bytes.size(), filled);
}

// The entry size is known as soon as the definition is: a table sizes the pages of an index
// before it creates the file.
TEST_F(IndexFileTest, PageSizeForACapacityIsKnownBeforeTheFileIsCreated) {
    for (const std::int16_t level : {5, 6}) {
        SCOPED_TRACE(level);
        MakeTable(level);
        columns_.Clear();
        columns_.Add(TTdbColumnDef::CreateStringColumnDef(
            u"L", TTdbDataType::GetStringType(ctString, false, 1000, u"", level), 0, u""));
        keys_ = std::make_unique<TTdbIndexKeys>(columns_, level);
        TTdbSortDef def(u"ByL");
        def.AddItem(1, static_cast<std::uint8_t>(ctString), columns_.GetColumnDef(0)->Size);
        auto file = MakeIndexFile(u"Wide.ind");
        ASSERT_EQ(file->SetIndexDefinition(def), 0);
        EXPECT_GT(file->IndSize(), 1000);
        const std::int32_t pageSize = file->CalcPageSizeForCapacity(1000);
        EXPECT_EQ(pageSize, 65536);
        ASSERT_EQ(file->NewStorage(level, pageSize), 0);
        EXPECT_EQ(file->CalcPageSizeForCapacity(1000), pageSize);
        ASSERT_EQ(file->Close(), 0);
    }
}

// A new file that is undone before its first flush is still the empty index it was made as:
// its header is on disk from the start.
TEST_F(IndexFileTest, UndoBeforeTheFirstFlushKeepsTheNewFile) {
    MakeTable(6);
    for (const bool text : {false, true}) {
        SCOPED_TRACE(text ? "String" : "Integer");
        const std::u16string fileName = text ? u"FreshS.tdbi" : u"FreshN.tdbi";
        TTdbSortDef def(u"ByN");
        if (text)
            def.AddItem(2, static_cast<std::uint8_t>(ctString), 21);
        else
            def.AddItem(1, static_cast<std::uint8_t>(ctInteger), 4);
        const auto add = [&](TTdbIndexFile& file, std::int32_t n) {
            const std::string s = "n" + std::to_string(n);
            std::vector<std::byte> entry = Entry(file, n, n, s);
            entry.resize(static_cast<std::size_t>(
                keys_->CalcIndexInfo(file.IndexDef(), Record(n, s), n, entry)));
            return file.Add_Index(entry);
        };
        {
            auto file = MakeIndexFile(fileName);
            ASSERT_EQ(file->SetIndexDefinition(def), 0);
            ASSERT_EQ(file->NewStorage(6, 4096), 0);
            for (std::int32_t n = 1; n <= 50; ++n)
                ASSERT_EQ(add(*file, n), 0);
            ASSERT_EQ(file->Undo(), 0);
            EXPECT_EQ(file->ItemCount(), 0);
            EXPECT_TRUE(Walk(*file).empty());
            ASSERT_EQ(add(*file, 7), 0);
            ASSERT_EQ(file->Close(), 0);
        }
        EXPECT_EQ(LoadLE<std::uint32_t>(FileBytes(fileName).data()),
                  text ? kBPlusTreeIndexMagic : kBTreeIndexMagic);
        auto file = MakeIndexFile(fileName);
        file->SetName(u"ByN");
        ASSERT_EQ(file->Open(), 0);
        EXPECT_EQ(file->IsVarSize(), text);
        EXPECT_EQ(file->ItemCount(), 1);
        EXPECT_EQ(Walk(*file), (std::vector<std::int32_t>{7}));
    }
}

// The check walks the tree and holds what it met against the stored count: a tree that lost
// entries (a leaf written short) is damage, though every entry left is in order.
TEST_F(IndexFileTest, CheckHoldsTheWalkAgainstTheStoredCount) {
    MakeTable(6);
    {
        auto file = CreateIntegerIndex(u"Torn.tdbi");
        for (std::int32_t recNo = 1; recNo <= 1000; ++recNo)
            ASSERT_EQ(file->Add_Index(Entry(*file, recNo % 300, recNo)), 0);
        std::int32_t items = 0, wrong = 0;
        EXPECT_EQ(file->Check(items, wrong), 0);
        EXPECT_EQ(items, 1000);
        EXPECT_EQ(wrong, 0);
        ASSERT_EQ(file->Close(), 0);
    }
    const std::vector<std::byte> good = FileBytes(u"Torn.tdbi");
    const std::size_t page = 4096;
    ASSERT_GE(LoadLE<std::int16_t>(good.data() + 6 + 8), 2);  // height: page 1 is an inner page
    const auto leaf = static_cast<std::size_t>(LoadLE<std::int32_t>(good.data() + page));
    const auto damaged = [&](auto change) {
        std::vector<std::byte> bytes = good;
        change(bytes);
        PutBytes(u"Torn.tdbi", bytes);
        auto file = OpenIndex(u"Torn.tdbi");
        std::int32_t items = 0, wrong = 0;
        const std::int16_t result = file->Check(items, wrong);
        EXPECT_EQ(wrong, 0);
        return result;
    };
    EXPECT_EQ(damaged([&](auto& b) {
                  const auto m = LoadLE<std::uint16_t>(b.data() + leaf * page + 4);
                  StoreLE<std::uint16_t>(b.data() + leaf * page + 4,
                                         static_cast<std::uint16_t>(m - 1));
              }),
              -95);
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back().code, 95);
    EXPECT_EQ(reports_.back().message, u"Index \"ByN\" is corrupt and must be deleted");
    EXPECT_EQ(damaged([](auto& b) { StoreLE<std::int32_t>(b.data() + 6 + 24, 1001); }), -95);
    EXPECT_EQ(damaged([](auto&) {}), 0);
}

// Settlement names under the Hungarian collation with a descending number behind them, through
// keys, index file and tree, against the same entries in a sorted container: at level 5 in a
// B-tree of fixed-size entries, at level 6 in a B+ tree of entries only as long as their names.
TEST_F(IndexFileTest, HungarianNamesWithDescendingNumbersMatchASortedContainer) {
    std::vector<std::u16string> names;
    {
        std::ifstream csv(std::string(ZENKALO_DATA_DIR) + "/irsz.csv");
        std::string line;
        std::getline(csv, line);
        while (std::getline(csv, line)) {
            const std::size_t a = line.find(';'), b = line.find(';', a + 1);
            names.push_back(FromUtf8(line.substr(a + 1, b - a - 1)));
        }
    }
    ASSERT_GT(names.size(), 3000u);

    for (const std::int16_t level : {5, 6}) {
    SCOPED_TRACE(level);
    level_ = level;
    columns_.Clear();
    columns_.Add(TTdbColumnDef::CreateStringColumnDef(
        u"TELEP", TTdbDataType::GetStringType(ctWideString, false, 38, u"Hungarian", level), 0,
        u"Hungarian"));
    columns_.Add(u"N", TTdbDataType::GetDataType(ctInteger, false, level), 0);
    keys_ = std::make_unique<TTdbIndexKeys>(columns_, level);
    const auto* nameType = static_cast<const TTdbStringType*>(columns_.GetColumnDef(0)->DataType);

    struct Row {
        std::u16string name;
        std::int32_t n;
        std::int32_t recNo;
    };
    const auto less = [nameType](const Row& x, const Row& y) {
        const int c = nameType->GetCollation().Compare(x.name, y.name,
                                                       nameType->GetStrCmpOptions());
        if (c != 0)
            return c < 0;
        if (x.n != y.n)
            return x.n > y.n;
        return x.recNo < y.recNo;
    };
    std::set<Row, decltype(less)> expected(less);
    const auto entry = [&](const TTdbIndexFile& file, const Row& row) {
        std::vector<std::byte> record(static_cast<std::size_t>(columns_.GetRecordSize()));
        TTdbDataValue name, n;
        nameType->SetReference(name, record.data() + columns_.GetColumnDef(0)->Position);
        nameType->SetWideString(name, row.name);
        columns_.GetColumnDef(1)->DataType->SetReference(
            n, record.data() + columns_.GetColumnDef(1)->Position);
        columns_.GetColumnDef(1)->DataType->SetInteger(n, row.n);
        std::vector<std::byte> e(static_cast<std::size_t>(file.IndSize()));
        e.resize(static_cast<std::size_t>(
            keys_->CalcIndexInfo(file.IndexDef(), record, row.recNo, e)));
        return e;
    };
    const auto expectSame = [&](TTdbIndexFile& file) {
        std::vector<std::int32_t> want;
        for (const Row& row : expected)
            want.push_back(row.recNo);
        ASSERT_EQ(Walk(file), want);
        EXPECT_EQ(file.ItemCount(), static_cast<std::int32_t>(expected.size()));
    };

    TTdbSortDef def(u"ByName");
    def.AddItem(1, static_cast<std::uint8_t>(ctWideString), columns_.GetColumnDef(0)->Size);
    def.AddItem(2, static_cast<std::uint8_t>(ctInteger), 4, true);
    const std::u16string fileName = level >= 6 ? u"Names.tdbi" : u"Names.ind";
    auto file = MakeIndexFile(fileName);
    ASSERT_EQ(file->SetIndexDefinition(def), 0);
    ASSERT_EQ(file->NewStorage(level, 4096), 0);
    EXPECT_EQ(file->IsVarSize(), level >= 6);
    EXPECT_EQ(file->Tree()->GetSize(), level >= 6 ? 0 : file->IndSize());

    std::mt19937 random(2026);
    std::vector<Row> rows;
    for (std::int32_t recNo = 1; recNo <= 4000; ++recNo) {
        rows.push_back({names[random() % names.size()], static_cast<std::int32_t>(random() % 4),
                        recNo});
        ASSERT_EQ(file->Add_Index(entry(*file, rows.back())), 0);
        expected.insert(rows.back());
        if (recNo % 3 == 0) {
            const Row gone = rows[random() % rows.size()];
            ASSERT_EQ(file->Loesche_Index(entry(*file, gone)), 0);
            expected.erase(gone);
        }
    }
    expectSame(*file);
    // A search by name alone (record number 0, the greatest number first) lands on the first
    // entry of that name.
    for (int probe = 0; probe < 50; ++probe) {
        const Row& row = rows[random() % rows.size()];
        std::vector<std::byte> key = entry(*file, {row.name, 0x7FFFFFFF, 0});
        key.resize(static_cast<std::size_t>(file->IndSize()));
        const auto first = expected.lower_bound({row.name, 0x7FFFFFFF, 0});
        if (first == expected.end()) {
            EXPECT_EQ(file->Suche_Index(key), 1);
        } else {
            ASSERT_EQ(file->Suche_Index(key), 0);
            EXPECT_EQ(GetDateiVerweis(key), first->recNo);
        }
    }
    ASSERT_EQ(file->Close(), 0);
    file = MakeIndexFile(fileName);
    file->SetName(u"ByName");
    ASSERT_EQ(file->Open(), 0);
    EXPECT_EQ(file->IsVarSize(), level >= 6);
    expectSame(*file);
    }
}

TEST_F(IndexFileTest, ComponentLimitDependsOnTheTableLevel) {
    TTdbSortDef def(u"Wide");
    for (int i = 0; i < 11; ++i)
        def.AddItem(1, static_cast<std::uint8_t>(ctInteger), 4);
    MakeTable(3);
    auto old = MakeIndexFile(u"W.IND");
    EXPECT_EQ(old->SetIndexDefinition(def), -61);
    ASSERT_EQ(reports_.size(), 1u);
    EXPECT_EQ(reports_[0].code, 61);
    MakeTable(4);
    auto current = MakeIndexFile(u"W!Wide.ind");
    EXPECT_EQ(current->SetIndexDefinition(def), 0);
    EXPECT_EQ(current->NewStorage(4, 4096), 0);
    current->Close();
    EXPECT_EQ(OpenIndex(u"W!Wide.ind")->IndexDef().LevelCount, 11);
}

TEST_F(IndexFileTest, StringIndexesHaveFixedKeysBelowLevelSixAndVariableOnesFromIt) {
    TTdbSortDef def(u"ByS");
    def.AddItem(2, static_cast<std::uint8_t>(ctString), 21);
    MakeTable(5);
    auto fixed = MakeIndexFile(u"T!ByS.ind");
    ASSERT_EQ(fixed->SetIndexDefinition(def), 0);
    EXPECT_FALSE(fixed->IsVarSize());
    ASSERT_EQ(fixed->NewStorage(5, 4096), 0);
    for (const char* s : {"Pécs", "Budapest", "Eger"})
        ASSERT_EQ(fixed->Add_Index(Entry(*fixed, 0, static_cast<std::int32_t>(s[0]), s)), 0);
    EXPECT_EQ(Walk(*fixed), (std::vector<std::int32_t>{'B', 'E', 'P'}));
    MakeTable(6);
    {
        auto variable = MakeIndexFile(u"T!ByS.tdbi");
        ASSERT_EQ(variable->SetIndexDefinition(def), 0);
        EXPECT_TRUE(variable->IsVarSize());
        ASSERT_EQ(variable->NewStorage(6, 4096), 0);
        for (const char* s : {"Pécs", "Budapest", "Eger"}) {
            std::vector<std::byte> entry = Entry(*variable, 0, static_cast<std::int32_t>(s[0]), s);
            entry.resize(static_cast<std::size_t>(
                keys_->CalcIndexInfo(variable->IndexDef(), Record(0, s), s[0], entry)));
            EXPECT_LT(entry.size(), static_cast<std::size_t>(variable->IndSize()));
            ASSERT_EQ(variable->Add_Index(entry), 0);
            // The same entry again is the same entry: not added, not counted.
            ASSERT_EQ(variable->Add_Index(entry), 0);
        }
        EXPECT_EQ(variable->ItemCount(), 3);
        EXPECT_EQ(variable->Close(), 0);
    }
    const std::vector<std::byte> bytes = FileBytes(u"T!ByS.tdbi");
    EXPECT_EQ(LoadLE<std::uint32_t>(bytes.data()), kBPlusTreeIndexMagic);
    EXPECT_EQ(LoadLE<std::int16_t>(bytes.data() + 4), 6);
    const std::size_t user = 6 + 22;
    EXPECT_EQ(LoadLE<std::int32_t>(bytes.data() + user), 3);  // item count behind the tree header
    auto reopened = MakeIndexFile(u"T!ByS.tdbi");
    reopened->SetName(u"ByS");
    ASSERT_EQ(reopened->Open(), 0);
    EXPECT_TRUE(reopened->IsVarSize());
    EXPECT_EQ(reopened->Tree()->GetSize(), 0);
    EXPECT_EQ(Walk(*reopened), (std::vector<std::int32_t>{'B', 'E', 'P'}));
    // An Integer index of the same table stays a B-tree of fixed-size entries.
    auto integer = CreateIntegerIndex(u"T!ByN.tdbi");
    EXPECT_FALSE(integer->IsVarSize());
    integer->Close();
    EXPECT_EQ(LoadLE<std::uint32_t>(FileBytes(u"T!ByN.tdbi").data()), kBTreeIndexMagic);
}

TEST_F(IndexFileTest, VariableSizeEntriesGetPagesThatHoldThem) {
    // A 2000-character string key needs more than a third of a 4096-byte page.
    MakeTable(6);
    columns_.Clear();
    columns_.Add(TTdbColumnDef::CreateStringColumnDef(
        u"L", TTdbDataType::GetStringType(ctString, false, 2000, u"", 6), 0, u""));
    keys_ = std::make_unique<TTdbIndexKeys>(columns_, 6);
    TTdbSortDef def(u"ByL");
    def.AddItem(1, static_cast<std::uint8_t>(ctString), columns_.GetColumnDef(0)->Size);
    auto file = MakeIndexFile(u"Long.tdbi");
    ASSERT_EQ(file->SetIndexDefinition(def), 0);
    ASSERT_EQ(file->NewStorage(6, 4096), 0);
    EXPECT_GE(file->Tree()->GetPageSize(), 8192);
    EXPECT_GE(TTdbBPlusTree::MaxItemSizeFor(file->Tree()->GetPageSize()), file->IndSize());
}

TEST_F(IndexFileTest, CalculatedIndexDefinitionsAreStoredAndCompiledAgain) {
    for (std::int16_t level : {5, 6}) {
        MakeTable(level);
        const std::u16string name = u"Calc" + std::u16string(1, u'0' + level) + u".ind";
        TTdbSortDef def(u"Calc",
                        std::make_unique<deftest::FakeCalculation>(u"N * 2", tesTablePL), false);
        def.Items[0] = {static_cast<std::uint8_t>(ctInteger), 0, 4, false};
        {
            auto file = MakeIndexFile(name);
            ASSERT_EQ(file->SetIndexDefinition(def), 0);
            ASSERT_EQ(file->NewStorage(level, 4096), 0);
            EXPECT_EQ(file->IndSize(), level >= 6 ? 8 : 4 + 256);
            file->Close();
        }
        factory_.calls.clear();
        auto file = OpenIndex(name);
        EXPECT_TRUE(file->Calculated());
        EXPECT_EQ(file->IndSize(), level >= 6 ? 8 : 4 + 256);
        ASSERT_EQ(factory_.calls.size(), 1u);
        EXPECT_EQ(factory_.calls[0].Source, u"N * 2");
        EXPECT_EQ(factory_.calls[0].Kind, tesTablePL);
        ASSERT_NE(file->IndexDef().GetCalculation(), nullptr);
    }
}

TEST_F(IndexFileTest, BulkInsertCountsAndReportsProgress) {
    MakeTable(6);
    auto file = CreateIntegerIndex(u"Bulk.tdbi");
    std::int32_t next = 0;
    const auto source = [&](std::span<std::byte> entry, std::int32_t& size) {
        if (next == 2500)
            return false;
        ++next;
        const std::vector<std::byte> e = Entry(*file, next % 100, next);
        std::copy(e.begin(), e.end(), entry.begin());
        size = static_cast<std::int32_t>(e.size());
        return true;
    };
    std::vector<std::pair<std::int32_t, std::int32_t>> progress;
    ASSERT_EQ(file->BulkInsert(2500, source,
                               [&](std::int32_t done, std::int32_t count) {
                                   progress.emplace_back(done, count);
                               }),
              0);
    EXPECT_EQ(file->ItemCount(), 2500);
    EXPECT_EQ(progress, (std::vector<std::pair<std::int32_t, std::int32_t>>{
                            {0, 2500}, {1000, 2500}, {2000, 2500}, {2500, 2500}}));

    // A source that fails half way: the entries inserted so far are counted, the failure is
    // the session's.
    next = 0;
    file->Clear_Index();
    const auto failing = [&](std::span<std::byte> entry, std::int32_t& size) -> bool {
        if (next == 10)
            RaiseEngineError(2, {u"T"});
        return source(entry, size);
    };
    EXPECT_EQ(file->BulkInsert(20, failing, nullptr), -2);
    EXPECT_EQ(file->ItemCount(), 10);
    EXPECT_EQ(file->LastErrorCode(), 2);
    next = 0;
    const auto throwing = [&](std::span<std::byte>, std::int32_t&) -> bool {
        throw std::runtime_error("disk on fire");
    };
    EXPECT_EQ(file->BulkInsert(20, throwing, nullptr), -52);
    EXPECT_NE(file->LastErrorMessage().find(u"disk on fire"), std::u16string::npos);
}

TEST_F(IndexFileTest, UndoGivesBackTheCountAndTheEntriesOfTheLastFlush) {
    MakeTable(6);
    auto file = CreateIntegerIndex(u"Undo.tdbi");
    ASSERT_EQ(file->Add_Index(Entry(*file, 1, 1)), 0);
    ASSERT_EQ(file->Flush(), 0);
    for (std::int32_t recNo = 2; recNo <= 200; ++recNo)
        ASSERT_EQ(file->Add_Index(Entry(*file, recNo, recNo)), 0);
    ASSERT_EQ(file->Undo(), 0);
    EXPECT_EQ(file->ItemCount(), 1);
    EXPECT_EQ(Walk(*file), (std::vector<std::int32_t>{1}));
}

TEST_F(IndexFileTest, MissingForeignAndDamagedFilesAreRefusedAndMarkedLost) {
    MakeTable(6);
    auto missing = MakeIndexFile(u"None.tdbi");
    missing->SetName(u"None");
    EXPECT_EQ(missing->Open(), -37);
    EXPECT_TRUE(missing->IsLost());
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back().message, u"File not found or access denied: \"None.tdbi\"");

    {
        auto file = CreateIntegerIndex(u"Good.tdbi");
        ASSERT_EQ(file->Add_Index(Entry(*file, 1, 1)), 0);
        file->Close();
    }
    const std::vector<std::byte> good = FileBytes(u"Good.tdbi");
    const std::size_t user = 6 + 24;
    const auto damaged = [&](auto change) {
        std::vector<std::byte> bytes = good;
        change(bytes);
        PutBytes(u"Bad.tdbi", bytes);
        auto file = MakeIndexFile(u"Bad.tdbi");
        file->SetName(u"Bad");
        const std::int16_t result = file->Open();
        EXPECT_TRUE(result != 0 || !file->IsLost());
        return std::make_pair(result, file->IsLost());
    };
    const auto expectRefused = [&](auto change, const char* what) {
        const auto [result, lost] = damaged(change);
        EXPECT_EQ(result, -28) << what;
        EXPECT_TRUE(lost) << what;
    };
    expectRefused([](auto& b) { b.resize(3); }, "shorter than a magic");
    expectRefused([](auto& b) { std::fill(b.begin(), b.end(), std::byte{0x5A}); }, "foreign");
    expectRefused([&](auto& b) { StoreLE<std::int16_t>(b.data() + user + 9, 7); },
                  "a column the table lacks");
    expectRefused([&](auto& b) { StoreLE<std::int16_t>(b.data() + user + 7, 300); },
                  "too many components");
    expectRefused([&](auto& b) { StoreLE<std::int16_t>(b.data() + user + 14, 9); },
                  "an entry size that disagrees");
    expectRefused([](auto& b) { StoreLE<std::int16_t>(b.data() + 4, 9); }, "an unknown version");
    expectRefused([](auto& b) { StoreLE<std::int32_t>(b.data() + 6 + 10, 1000); },
                  "more tree pages than the file holds");
    EXPECT_EQ(reports_.back().code, 28);
    EXPECT_EQ(reports_.back().message, u"Inconsistent definition for index \"Bad\"");
}

// The Integer index is a B-tree file, the String index a B+ tree file.
TEST_F(IndexFileTest, AnotherProcessesEntriesArriveThroughUpdate) {
    MakeTable(6);
    for (const bool text : {false, true}) {
        SCOPED_TRACE(text ? "String" : "Integer");
        const std::u16string fileName = text ? u"SharedS.tdbi" : u"SharedN.tdbi";
        const char* indexName = text ? "ByS" : "ByN";
        TTdbSortDef def(FromUtf8(indexName));
        if (text)
            def.AddItem(2, static_cast<std::uint8_t>(ctString), 21);
        else
            def.AddItem(1, static_cast<std::uint8_t>(ctInteger), 4);
        {
            auto file = MakeIndexFile(fileName);
            ASSERT_EQ(file->SetIndexDefinition(def), 0);
            ASSERT_EQ(file->NewStorage(6, 4096), 0);
            EXPECT_EQ(file->IsVarSize(), text);
            for (std::int32_t n = 1; n <= 100; ++n) {
                char s[16];
                std::snprintf(s, sizeof s, "n%05d", n);
                std::vector<std::byte> entry = Entry(*file, n, n, s);
                entry.resize(static_cast<std::size_t>(
                    keys_->CalcIndexInfo(file->IndexDef(), Record(n, s), n, entry)));
                ASSERT_EQ(file->Add_Index(entry), 0);
            }
            ASSERT_EQ(file->Close(), 0);
        }
        auto file = MakeIndexFile(fileName);
        file->SetName(FromUtf8(indexName));
        ASSERT_EQ(file->Open(), 0);
        ASSERT_EQ(Walk(*file).size(), 100u);  // its pages are in this process's cache now

        const testing::ProgramAnswer answer = testing::RunProgram(
            {ZENKALO_INDEX_PROBE, dir_.Path().string(), ToUtf8(fileName), indexName, "101",
             "1600"});
        EXPECT_EQ(answer.status, 0);
        ASSERT_EQ(answer.firstLine, "count 1600\n");

        EXPECT_EQ(file->ItemCount(), 100) << "nothing changes before Update";
        ASSERT_EQ(file->Update(), 0);
        EXPECT_EQ(file->ItemCount(), 1600);
        std::vector<std::int32_t> all(1600);
        std::iota(all.begin(), all.end(), 1);
        EXPECT_EQ(Walk(*file), all);
    }
}

TEST_F(IndexFileTest, CopyKeepsDefinitionNameAndModesOnAnotherFile) {
    MakeTable(6);
    auto file = CreateIntegerIndex(u"Orig.tdbi", true);
    file->SetKind(tikConstraint);
    file->SetPrimary(true);
    auto storage = std::make_unique<TTdbClientStorage>(pm_, fs_, 1, nullptr);
    auto copy = TTdbIndexFile::CreateCopy(*file, std::move(storage));
    EXPECT_EQ(copy->Name(), u"ByN");
    EXPECT_EQ(copy->FileName(), u"Orig.tdbi");
    EXPECT_TRUE(copy->MustBeUnique());
    EXPECT_TRUE(copy->IsAutomatic());
    EXPECT_TRUE(copy->IndexDef().Items[0].Descending);
    // Under a name of its own it becomes an index file of its own.
    copy->Storage().SetName(u"Copy.tdbi");
    ASSERT_EQ(copy->NewStorage(6, 4096), 0);
    ASSERT_EQ(copy->Add_Index(Entry(*copy, 3, 1)), 0);
    ASSERT_EQ(copy->Add_Index(Entry(*copy, 4, 2)), 0);
    EXPECT_EQ(Walk(*copy), (std::vector<std::int32_t>{2, 1}));
    EXPECT_EQ(file->ItemCount(), 0);
}

// Whatever gives an index file its definition (setting it, reading it on Open, creating the
// file) leaves the tree comparing through a comparator prepared for exactly that definition.
TEST_F(IndexFileTest, TreesCompareThroughAComparatorPreparedForTheDefinition) {
    MakeTable(6);
    auto file = MakeIndexFile(u"Prep.tdbi");
    EXPECT_FALSE(file->KeyComparator().IsPrepared());
    TTdbSortDef def(u"ByN");
    def.AddItem(1, static_cast<std::uint8_t>(ctInteger), 4, true);
    ASSERT_EQ(file->SetIndexDefinition(def), 0);
    EXPECT_TRUE(file->KeyComparator().IsPreparedFor(&file->IndexDef()));
    ASSERT_EQ(file->NewStorage(6, 4096), 0);
    EXPECT_TRUE(file->KeyComparator().IsPreparedFor(&file->IndexDef()));
    for (const auto& [n, recNo] : {std::pair{5, 1}, {7, 2}, {5, 3}})
        ASSERT_EQ(file->Add_Index(Entry(*file, n, recNo)), 0);
    EXPECT_EQ(Walk(*file), (std::vector<std::int32_t>{2, 1, 3}));
    ASSERT_EQ(file->Close(), 0);
    EXPECT_FALSE(file->KeyComparator().IsPrepared()) << "closing drops the definition";

    ASSERT_EQ(file->Open(), 0);
    EXPECT_TRUE(file->KeyComparator().IsPreparedFor(&file->IndexDef()));
    ASSERT_EQ(file->Add_Index(Entry(*file, 6, 4)), 0);
    EXPECT_EQ(Walk(*file), (std::vector<std::int32_t>{2, 4, 1, 3}));
    std::int32_t count = 0;
    std::int32_t wrong = 0;
    ASSERT_EQ(file->Check(count, wrong), 0);
    EXPECT_EQ(wrong, 0);

    // A copy compares through a comparator of its own, whatever becomes of its source.
    auto copy =
        TTdbIndexFile::CreateCopy(*file, std::make_unique<TTdbClientStorage>(pm_, fs_, 1, nullptr));
    EXPECT_TRUE(copy->KeyComparator().IsPreparedFor(&copy->IndexDef()));
    ASSERT_NE(copy->Tree(), nullptr);
    EXPECT_EQ(copy->Tree()->GetSize(), file->Tree()->GetSize());
    file.reset();
    copy->Storage().SetName(u"PrepCopy.tdbi");
    ASSERT_EQ(copy->NewStorage(6, 4096), 0);
    for (const auto& [n, recNo] : {std::pair{1, 1}, {3, 2}, {2, 3}})
        ASSERT_EQ(copy->Add_Index(Entry(*copy, n, recNo)), 0);
    EXPECT_EQ(Walk(*copy), (std::vector<std::int32_t>{2, 3, 1}));
}

TEST_F(IndexFileTest, OperationsOnAClosedIndexFailWithTheirCodes) {
    MakeTable(6);
    auto file = MakeIndexFile(u"Closed.tdbi");
    file->SetName(u"Closed");
    TTdbLongIndexInfo key(8);
    EXPECT_EQ(file->Erster_Index(key), -91);
    EXPECT_EQ(reports_.back().message, u"Error while reading from index \"Closed\"");
    EXPECT_EQ(file->Add_Index(key), -90);
    EXPECT_EQ(file->Loesche_Index(key), -90);
    EXPECT_EQ(file->Close(), 0);
}

}  // namespace
}  // namespace tdb
