// The entry source of index builds: batches in record order, each in key order, every record
// once; an index filled through BulkInsert equals one filled entry by entry; read and key
// failures end the build with the right error.
#include "index/index_build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "build_test_support.h"
#include "engine_code.h"
#include "index/index_file.h"
#include "index/index_keys.h"
#include "index/index_text.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "test_support.h"
#include "types/column_def.h"

namespace tdb {
namespace {

using testing::EngineCode;
using testing::MakeColumns;
using TBytes = std::vector<std::byte>;

// Records by number, with gaps as deleted records leave them, counting the reads; a record
// or a step of the numbering can be made to fail.
class FakeRecords : public TTdbRecordSource {
public:
    std::int32_t GetFirstRecordNo() const override {
        return records.empty() ? kNoRecord : records.begin()->first;
    }
    std::int32_t GetNextRecordNo(std::int32_t recNo) const override {
        if (recNo == numberingFailsAfter) {
            return -2;
        }
        const auto next = records.upper_bound(recNo);
        return next == records.end() ? kNoRecord : next->first;
    }
    std::int16_t ReadRecord(std::int32_t recNo, std::span<std::byte> buffer) override {
        ++reads;
        if (recNo == failingRecord) {
            return 3;
        }
        const TBytes& record = records.at(recNo);
        std::copy(record.begin(), record.end(), buffer.begin());
        return 0;
    }

    std::map<std::int32_t, TBytes> records;
    std::int32_t failingRecord = 0;
    std::int32_t numberingFailsAfter = 0;
    int reads = 0;
};

class IndexBuildTest : public ::testing::Test {
protected:
    IndexBuildTest() { pm_.RegisterClient(1, 8192); }

    void MakeTable(std::int16_t level, int count) {
        level_ = level;
        columns_ = MakeColumns(level);
        keys_ = std::make_unique<TTdbIndexKeys>(columns_, level);
        records_.records.clear();
        records_.reads = 0;
        const char16_t* parts[] = {u"Győr",   u"Gyula", u"Aba",  u"Ábrány",
                                   u"Cegléd", u"Csór",  u"Zala", u"Ózd"};
        std::mt19937 random(5);
        std::int32_t recNo = 0;
        for (int i = 0; i < count; ++i) {
            recNo += 1 + static_cast<std::int32_t>(random() % 3);
            TBytes record(static_cast<std::size_t>(columns_.GetRecordSize()));
            std::u16string name = parts[random() % 8];
            if (random() % 2 == 0) {
                name += parts[random() % 8];
            }
            Set(record, 2, [&](const TTdbDataType* t, TTdbDataValue& v) {
                if (random() % 10 == 0) {
                    t->SetNull(v);
                } else {
                    t->SetWideString(v, name);
                }
            });
            const auto n = static_cast<std::int64_t>(random() % 50);
            Set(record, 3, [&](const TTdbDataType* t, TTdbDataValue& v) { t->SetInteger(v, n); });
            Set(record, 4, [&](const TTdbDataType* t, TTdbDataValue& v) {
                t->SetAnsiString(v, std::string(static_cast<std::size_t>(n % 7), 'k'));
            });
            records_.records[recNo] = std::move(record);
        }
    }

    template <typename Setter>
    void Set(TBytes& record, int columnNo, Setter&& set) const {
        const TTdbColumnDef& column = *columns_.GetColumnDef(columnNo - 1);
        TTdbDataValue value;
        column.DataType->SetReference(value, record.data() + column.Position);
        set(column.DataType, value);
    }

    TTdbSortDef Index(std::u16string_view spec) const {
        return ParseIndexSpecification(u"IDX", spec, columns_, level_, false);
    }

    std::unique_ptr<TTdbIndexFile> NewIndexFile(const std::u16string& fileName,
                                                const TTdbSortDef& def) {
        auto storage = std::make_unique<TTdbClientStorage>(pm_, fs_, 1, nullptr);
        storage->SetName(fileName);
        auto file = std::make_unique<TTdbIndexFile>(*keys_, level_, std::move(storage));
        EXPECT_EQ(file->SetIndexDefinition(def), 0);
        EXPECT_EQ(file->NewStorage(level_, 4096), 0);
        return file;
    }

    bool Less(const TTdbSortDef& def, const TBytes& a, const TBytes& b) const {
        bool unique = true;
        return keys_->IndexLess(a, b, unique, 0, def);
    }

    // The entries in index order.
    static std::vector<TBytes> Walk(TTdbIndexFile& file) {
        std::vector<TBytes> entries;
        TTdbLongIndexInfo key = file.CreateLongIndexInfo();
        for (int r = file.Erster_Index(key); r == 0; r = file.Naechster_Index(key)) {
            entries.push_back(key);
        }
        return entries;
    }

    testing::TempDir dir_;
    TdwOSFileSystem fs_{dir_.Name()};
    TTdbPageManager pm_;
    TTdbColumnDefs columns_;
    std::int16_t level_ = 6;
    std::unique_ptr<TTdbIndexKeys> keys_;
    FakeRecords records_;
};

TEST_F(IndexBuildTest, BatchesFollowTheRecordsAndEachComesInKeyOrder) {
    MakeTable(6, 300);
    const TTdbSortDef def = Index(u"TELEP, -N");
    ASSERT_TRUE(def.IsVarSize);
    constexpr std::int64_t kLimit = 700;
    TBytes work(static_cast<std::size_t>(def.GetSize()));
    TBulkInsertInfo info(*keys_, def, work, records_, u"Irsz", kLimit);

    std::vector<std::vector<TBytes>> batches;
    TBytes entry(static_cast<std::size_t>(def.GetSize()));
    std::int32_t size = 0;
    int readsBefore = records_.reads;
    while (info.GetIndexItem(entry, size)) {
        if (records_.reads != readsBefore) {
            batches.emplace_back();  // this entry started a new batch
            readsBefore = records_.reads;
        }
        ASSERT_FALSE(batches.empty());
        batches.back().emplace_back(entry.begin(), entry.begin() + size);
    }
    EXPECT_FALSE(info.GetIndexItem(entry, size));  // stays at the end
    EXPECT_EQ(records_.reads, 300);
    ASSERT_GT(batches.size(), 3u);
    EXPECT_EQ(info.BatchCount(), static_cast<std::int32_t>(batches.size()));

    std::set<std::int32_t> seen;
    std::int32_t lastOfPrevious = 0;
    for (std::size_t b = 0; b < batches.size(); ++b) {
        const std::vector<TBytes>& batch = batches[b];
        std::int64_t keyBytes = 0;
        std::int32_t first = INT32_MAX;
        std::int32_t last = 0;
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const std::int32_t recNo = GetDateiVerweis(batch[i]);
            EXPECT_TRUE(seen.insert(recNo).second) << "record " << recNo << " twice";
            first = std::min(first, recNo);
            last = std::max(last, recNo);
            keyBytes += static_cast<std::int64_t>(batch[i].size()) - 4;
            if (i > 0) {
                EXPECT_TRUE(Less(def, batch[i - 1], batch[i])) << "batch " << b << " at " << i;
            }
        }
        EXPECT_GT(first, lastOfPrevious) << "batch " << b;
        lastOfPrevious = last;
        // Every batch but the last reaches the limit, and only with its last record.
        if (b + 1 < batches.size()) {
            EXPECT_GE(keyBytes, kLimit);
            const TBytes& lastEntry =
                *std::find_if(batch.begin(), batch.end(),
                              [&](const TBytes& e) { return GetDateiVerweis(e) == last; });
            EXPECT_LT(keyBytes - (static_cast<std::int64_t>(lastEntry.size()) - 4), kLimit);
        }
    }
    EXPECT_EQ(seen.size(), records_.records.size());
    EXPECT_EQ(info.RecNo, records_.records.rbegin()->first);
}

TEST_F(IndexBuildTest, AnEmptyTableGivesNoEntries) {
    MakeTable(6, 0);
    const TTdbSortDef def = Index(u"N");
    TBytes work(static_cast<std::size_t>(def.GetSize()));
    TBulkInsertInfo info(*keys_, def, work, records_, u"Irsz");
    TBytes entry(work.size());
    std::int32_t size = 0;
    EXPECT_FALSE(info.GetIndexItem(entry, size));
    EXPECT_FALSE(info.GetIndexItem(entry, size));
    EXPECT_EQ(info.BatchCount(), 0);
    EXPECT_EQ(info.RecNo, 0);
}

TEST_F(IndexBuildTest, BulkInsertedIndexEqualsOneFilledEntryByEntry) {
    struct Case {
        std::int16_t level;
        std::u16string_view spec;
        std::int64_t limit;
    };
    const Case cases[] = {
        {6, u"TELEP, -N", 997},                          // B+ tree, several batches
        {6, u"N", TBulkInsertInfo::kDefaultBatchLimit},  // B-tree, one batch
        {5, u"-S, TELEP:5", 301},                        // fixed-size keys below level 6
    };
    int fileNo = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.spec.begin(), c.spec.end()));
        MakeTable(c.level, 2500);
        const TTdbSortDef def = Index(c.spec);
        const std::u16string suffix = std::u16string(1, static_cast<char16_t>(u'0' + fileNo++));

        auto bulk = NewIndexFile(u"Bulk" + suffix, def);
        {
            TBulkInsertInfo info(*keys_, def, bulk->GetWorkInfo(0), records_, u"Irsz", c.limit);
            std::vector<std::int32_t> progress;
            ASSERT_EQ(bulk->BulkInsert(
                          2500, info.AsGetIndexItem(),
                          [&](std::int32_t done, std::int32_t) { progress.push_back(done); }),
                      0);
            EXPECT_EQ(progress.front(), 0);
            EXPECT_EQ(progress.back(), 2500);
        }
        auto single = NewIndexFile(u"Single" + suffix, def);
        for (const auto& [recNo, record] : records_.records) {
            TBytes entry(static_cast<std::size_t>(def.GetSize()));
            entry.resize(static_cast<std::size_t>(keys_->CalcIndexInfo(def, record, recNo, entry)));
            ASSERT_EQ(single->Add_Index(entry), 0);
        }
        EXPECT_EQ(bulk->ItemCount(), 2500);
        EXPECT_EQ(bulk->ItemCount(), single->ItemCount());
        const std::vector<TBytes> bulkEntries = Walk(*bulk);
        EXPECT_EQ(bulkEntries.size(), 2500u);
        EXPECT_TRUE(bulkEntries == Walk(*single));
        std::int32_t items = 0;
        std::int32_t wrong = 0;
        EXPECT_EQ(bulk->Check(items, wrong), 0);
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(bulk->Close(), 0);
        EXPECT_EQ(single->Close(), 0);
    }
}

TEST_F(IndexBuildTest, ReadFailuresRaiseTheirErrorWithTheTableName) {
    MakeTable(6, 50);
    const TTdbSortDef def = Index(u"N");
    TBytes entry(static_cast<std::size_t>(def.GetSize()));
    std::int32_t size = 0;
    const std::int32_t tenth = std::next(records_.records.begin(), 9)->first;

    records_.failingRecord = tenth;
    {
        TBulkInsertInfo info(*keys_, def, entry, records_, u"Irsz");
        try {
            info.GetIndexItem(entry, size);
            ADD_FAILURE() << "read error not raised";
        } catch (const ETdbEngine& e) {
            EXPECT_EQ(e.Code(), 3);
            EXPECT_EQ(e.Message(), EngineErrorMessage(3, {u"Irsz"}));
        }
    }
    records_.failingRecord = 0;
    records_.numberingFailsAfter = tenth;
    {
        TBulkInsertInfo info(*keys_, def, entry, records_, u"Irsz");
        EXPECT_EQ(EngineCode([&] { info.GetIndexItem(entry, size); }), 2);
    }
    // Through BulkInsert the error becomes the index file's answer; nothing was inserted.
    auto file = NewIndexFile(u"Failed", def);
    {
        TBulkInsertInfo info(*keys_, def, file->GetWorkInfo(0), records_, u"Irsz");
        EXPECT_EQ(file->BulkInsert(50, info.AsGetIndexItem(), nullptr), -2);
    }
    EXPECT_EQ(file->ItemCount(), 0);
    EXPECT_EQ(file->Close(), 0);
}

TEST_F(IndexBuildTest, AKeyThatCannotBeBuiltReportsItsReasonAndEndsNonCritically) {
    MakeTable(6, 20);
    TTdbSortDef def = Index(u"N");
    def.Items[0].ColumnNo = 9;  // no such column: no key can be made
    TBytes entry(static_cast<std::size_t>(def.GetSize()));
    std::int32_t size = 0;

    TBulkInsertInfo info(*keys_, def, entry, records_, u"Irsz");
    std::vector<std::int16_t> reasons;
    info.SetKeyFailure([&](const std::exception& reason) {
        const auto* engine = dynamic_cast<const ETdbEngine*>(&reason);
        reasons.push_back(engine ? engine->Code() : std::int16_t{-1});
    });
    EXPECT_EQ(EngineCode([&] { info.GetIndexItem(entry, size); }), kTdbErrNonCritical);
    EXPECT_EQ(reasons, (std::vector<std::int16_t>{kTdbErrInconsistentIndex}));

    // Without a listener, and with one that fails itself, the build still ends the same way.
    TBulkInsertInfo quiet(*keys_, def, entry, records_, u"Irsz");
    EXPECT_EQ(EngineCode([&] { quiet.GetIndexItem(entry, size); }), kTdbErrNonCritical);
    TBulkInsertInfo failingListener(*keys_, def, entry, records_, u"Irsz");
    failingListener.SetKeyFailure([](const std::exception&) { throw std::runtime_error("x"); });
    EXPECT_EQ(EngineCode([&] { failingListener.GetIndexItem(entry, size); }), kTdbErrNonCritical);
}

}  // namespace
}  // namespace tdb
