// Building an index of 1,000,000 entries the way a table does: records read in order, keyed,
// sorted in batches and bulk-inserted into a level-6 index file, beside its natural peer, the
// same entries added one by one in record order. And the sorter alone on the same entries,
// beside std::sort with the same comparison.
//
// The table is the postal-code table's settlement column (a nullable WideString of 38 under the
// Hungarian collation); every record takes the name of a random row of data/irsz.csv, so names
// repeat as they do in an address table (Budapest about 4.5 %). Records come from memory, one
// prepared image per name, so the times are those of keys, sorting and the tree.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "postal_rows.h"
#include "index/index_build.h"
#include "index/index_file.h"
#include "index/index_keys.h"
#include "index/index_text.h"
#include "index/sorter.h"
#include "platform/text.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "types/column_def.h"
#include "types/data_type.h"

namespace {

using tdb::TBulkInsertInfo;
using tdb::TTdbColumnDefs;
using tdb::TTdbIndexFile;
using tdb::TTdbIndexKeys;
using tdb::TTdbSortDef;
using TBytes = std::vector<std::byte>;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t kRecords = 1000000;
constexpr std::int16_t kLevel = 6;
constexpr std::int32_t kCacheKB = 256 * 1024;

// One name per row of the postal-code list, duplicates included.
const std::vector<std::u16string>& Rows() {
    static const std::vector<std::u16string> rows = [] {
        std::vector<std::u16string> names;
        for (const tdb::bench::TPostalRow& row : tdb::bench::PostalRows())
            names.push_back(row.Name);
        return names;
    }();
    return rows;
}

// The table: its columns, keys, the index definition and a million records in memory.
class SettlementTable : public tdb::TTdbRecordSource {
public:
    SettlementTable() : keys_(columns_, kLevel) {
        columns_.Add(tdb::TTdbColumnDef::CreateStringColumnDef(
            u"TELEP",
            tdb::TTdbDataType::GetStringType(tdb::ctWideString, true, 38, u"Hungarian", kLevel), 0,
            u"Hungarian"));
        def_ = tdb::ParseIndexSpecification(u"TELEP", u"TELEP", columns_, kLevel, false);
        const tdb::TTdbColumnDef& column = *columns_.GetColumnDef(0);
        for (const std::u16string& name : Rows()) {
            TBytes image(static_cast<std::size_t>(columns_.GetRecordSize()));
            tdb::TTdbDataValue value;
            column.DataType->SetReference(value, image.data());
            column.DataType->SetWideString(value, name);
            images_.push_back(std::move(image));
        }
        std::mt19937 random(1);
        rowOf_.resize(kRecords);
        for (std::uint32_t& row : rowOf_) {
            row = static_cast<std::uint32_t>(random() % images_.size());
        }
    }

    std::int32_t GetFirstRecordNo() const override { return 1; }
    std::int32_t GetNextRecordNo(std::int32_t recNo) const override {
        return recNo < kRecords ? recNo + 1 : kNoRecord;
    }
    std::int16_t ReadRecord(std::int32_t recNo, std::span<std::byte> buffer) override {
        const TBytes& image = images_[rowOf_[static_cast<std::size_t>(recNo - 1)]];
        std::copy(image.begin(), image.end(), buffer.begin());
        return 0;
    }

    const TTdbIndexKeys& Keys() const { return keys_; }
    const TTdbSortDef& Def() const { return def_; }

private:
    TTdbColumnDefs columns_;
    TTdbIndexKeys keys_;
    TTdbSortDef def_;
    std::vector<TBytes> images_;
    std::vector<std::uint32_t> rowOf_;
};

SettlementTable& Table() {
    static SettlementTable table;
    return table;
}

// Index files in a scratch directory of their own over a private page cache.
class ScratchIndexes {
public:
    ScratchIndexes() {
        std::random_device device;
        dir_ = std::filesystem::temp_directory_path() /
               ("zenkalo-bench-" + std::to_string(::getpid()) + "-" + std::to_string(device()));
        std::filesystem::create_directory(dir_);
        fileSystem_ = std::make_unique<tdb::TdwOSFileSystem>(tdb::FromUtf8(dir_.string()));
        pageManager_.RegisterClient(1, kCacheKB);
    }
    ~ScratchIndexes() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    ScratchIndexes(const ScratchIndexes&) = delete;
    ScratchIndexes& operator=(const ScratchIndexes&) = delete;

    std::unique_ptr<TTdbIndexFile> New(const std::u16string& name, SettlementTable& table) {
        auto storage =
            std::make_unique<tdb::TTdbClientStorage>(pageManager_, *fileSystem_, 1, nullptr);
        storage->SetName(name);
        auto file = std::make_unique<TTdbIndexFile>(table.Keys(), kLevel, std::move(storage));
        if (file->SetIndexDefinition(table.Def()) != 0 ||
            file->NewStorage(kLevel, file->CalcPageSizeForCapacity(kRecords)) != 0) {
            throw std::runtime_error("cannot create the index file");
        }
        return file;
    }

private:
    std::filesystem::path dir_;
    std::unique_ptr<tdb::TdwOSFileSystem> fileSystem_;
    tdb::TTdbPageManager pageManager_;
};

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

void Report(benchmark::State& state, double own, double peer, const char* peerName) {
    state.counters["entries/s"] = kRecords / own;
    state.counters[std::string(peerName) + "_entries/s"] = kRecords / peer;
    state.counters["own/" + std::string(peerName)] = own / peer;
    state.SetItemsProcessed(static_cast<std::int64_t>(kRecords) * state.iterations());
}

// The whole build: entry source and BulkInsert, beside Add_Index of each record in turn.
void BM_IndexBuild_BulkInsert(benchmark::State& state) {
    SettlementTable& table = Table();
    double own = 0;
    double peer = 0;
    int round = 0;
    for (auto _ : state) {
        ScratchIndexes scratch;
        const std::u16string suffix = tdb::FromUtf8(std::to_string(round++));
        auto bulk = scratch.New(u"Bulk" + suffix, table);
        const Clock::time_point t0 = Clock::now();
        {
            TBulkInsertInfo info(table.Keys(), table.Def(), bulk->GetWorkInfo(0), table, u"Irsz");
            if (bulk->BulkInsert(kRecords, info.AsGetIndexItem(), nullptr) != 0 ||
                bulk->Flush() != 0) {
                state.SkipWithError("bulk insert failed");
                return;
            }
        }
        const Clock::time_point t1 = Clock::now();
        auto single = scratch.New(u"Single" + suffix, table);
        {
            std::span<std::byte> work = single->GetWorkInfo(0);
            TBytes record(static_cast<std::size_t>(table.Keys().ColumnDefs().GetRecordSize()));
            for (std::int32_t recNo = 1; recNo <= kRecords; ++recNo) {
                table.ReadRecord(recNo, record);
                const std::int32_t size =
                    table.Keys().CalcIndexInfo(table.Def(), record, recNo, work);
                if (single->Add_Index(work.first(static_cast<std::size_t>(size))) != 0) {
                    state.SkipWithError("insert failed");
                    return;
                }
            }
            single->Flush();
        }
        const Clock::time_point t2 = Clock::now();
        own += Seconds(t0, t1);
        peer += Seconds(t1, t2);
        state.SetIterationTime(Seconds(t0, t1));
        bulk->Close();
        single->Close();
    }
    Report(state, own / state.iterations(), peer / state.iterations(), "add");
}
BENCHMARK(BM_IndexBuild_BulkInsert)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

// The sorter alone on the million entries: appending, sorting and reading back, beside
// std::sort of spans of the same entries with the same comparison.
void BM_Sorter_IndexEntries(benchmark::State& state) {
    SettlementTable& table = Table();
    const TTdbIndexKeys& keys = table.Keys();
    const TTdbSortDef& def = table.Def();
    std::vector<TBytes> entries;
    entries.reserve(kRecords);
    {
        TBytes record(static_cast<std::size_t>(keys.ColumnDefs().GetRecordSize()));
        TBytes entry(static_cast<std::size_t>(def.GetSize()));
        for (std::int32_t recNo = 1; recNo <= kRecords; ++recNo) {
            table.ReadRecord(recNo, record);
            const std::int32_t size = keys.CalcIndexInfo(def, record, recNo, entry);
            entries.emplace_back(entry.begin(), entry.begin() + size);
        }
    }
    const auto less = [&keys](std::span<const std::byte> a, std::span<const std::byte> b,
                              bool& flag, tdb::TStrCmpOptions options, const void* sortVar) {
        return keys.IndexLess(a, b, flag, options, *static_cast<const TTdbSortDef*>(sortVar));
    };
    double own = 0;
    double peer = 0;
    TBytes out(static_cast<std::size_t>(def.GetSize()));
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        tdb::TTdbSorter sorter;
        sorter.InitSort();
        sorter.InitSortVar(&def);
        for (const TBytes& entry : entries) {
            sorter.ToSort(entry);
        }
        sorter.SortStart(less, 0);
        std::int64_t bytes = 0;
        for (std::int32_t size = sorter.FromSort(out); size >= 0; size = sorter.FromSort(out)) {
            bytes += size;
        }
        benchmark::DoNotOptimize(bytes);
        sorter.ExitSort();
        const Clock::time_point t1 = Clock::now();
        std::vector<std::span<const std::byte>> spans(entries.begin(), entries.end());
        std::sort(spans.begin(), spans.end(), [&](const auto& a, const auto& b) {
            bool flag = true;
            return keys.IndexLess(a, b, flag, 0, def);
        });
        benchmark::DoNotOptimize(spans.data());
        const Clock::time_point t2 = Clock::now();
        own += Seconds(t0, t1);
        peer += Seconds(t1, t2);
        state.SetIterationTime(Seconds(t0, t1));
    }
    Report(state, own / state.iterations(), peer / state.iterations(), "std_sort");
}
BENCHMARK(BM_Sorter_IndexEntries)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace
