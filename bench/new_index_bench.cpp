// Creating the two indexes of the postal-code table over 1,000,000 records: the engine's
// NewIndex beside SQLite's CREATE INDEX on the same rows in the same run. The settlement index
// compares under the Hungarian collation on both sides (SQLite through the same ICU collator).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unicode/ucol.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "engine/base_table.h"
#include "postal_rows.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "index/index_text.h"
#include "platform/text.h"
#include "storage/heap_data_file.h"
#include "storage/page_manager.h"
#include "types/data_type.h"

namespace {

constexpr std::int32_t kRecords = 1000000;
constexpr std::int32_t kCacheKB = 40960;  // the session's default share of the cache

using Row = tdb::bench::TPostalRow;

// Every record is a random row of the postal-code list, so names repeat as they do there.
std::vector<Row> LoadRows() {
    const std::vector<Row>& list = tdb::bench::PostalRows();
    std::mt19937 random(20261210);
    std::vector<Row> rows(kRecords);
    for (Row& row : rows)
        row = list[std::uniform_int_distribution<std::size_t>(0, list.size() - 1)(random)];
    return rows;
}

const std::vector<Row>& Rows() {
    static const std::vector<Row> rows = LoadRows();
    return rows;
}

std::filesystem::path ScratchDirectory(const char* what) {
    std::random_device device;
    auto dir = std::filesystem::temp_directory_path() /
               (std::string("zenkalo-bench-") + what + "-" + std::to_string(::getpid()) + "-" +
                std::to_string(device()));
    std::filesystem::create_directory(dir);
    return dir;
}

// The table Irsz with its records and no index, in a directory database of its own.
class EngineTable {
public:
    EngineTable() : dir_(ScratchDirectory("engine")) {
        session_ = std::make_unique<tdb::TTdbLocalSession>(&pageManager_);
        session_->Initialize(1);
        tdb::TTdbCatalog& catalog = session_->Catalog();
        catalog.SetLocation(tdb::FromUtf8(dir_.string()));
        catalog.SetExclusive(true);
        catalog.SetCacheSize(kCacheKB);
        if (session_->OpenDb() != 0)
            throw std::runtime_error("database does not open");
        tdb::TTdbCreateTableArgs args;
        args.StoragePath = u"Irsz";
        args.Capacity = kRecords;
        args.ColumnDefs.Add(tdb::TTdbColumnDef::CreateStringColumnDef(
            u"IRSZ", tdb::TTdbDataType::GetStringType(tdb::ctWideString, false, 4, u""), 0, u""));
        args.ColumnDefs.Add(tdb::TTdbColumnDef::CreateStringColumnDef(
            u"TELEP", tdb::TTdbDataType::GetStringType(tdb::ctWideString, false, 38, u"Hungarian"),
            0, u"Hungarian"));
        if (catalog.CreateTable(args) != 0)
            throw std::runtime_error("table cannot be created");
        const int rltnIdx = catalog.OpenTable(u"Irsz", {}, tdb::TTdbCatalog::kAllWriteRights,
                                              false, false, false);
        if (rltnIdx <= 0)
            throw std::runtime_error("table does not open");
        table_ = &dynamic_cast<tdb::TTdbBaseTable&>(*catalog.GetRelation(rltnIdx));
        std::vector<std::byte> record(static_cast<std::size_t>(table_->GetRecordSize()));
        for (const Row& row : Rows()) {
            table_->InitRecord(record, false);
            for (int fieldNo = 1; fieldNo <= 2; ++fieldNo) {
                const tdb::TTdbColumnDef& column = *table_->ColumnDefs().GetColumnDef(fieldNo - 1);
                tdb::TTdbDataValue value;
                column.DataType->SetReference(value, record.data() + column.Position);
                column.DataType->SetWideString(value, fieldNo == 1 ? row.Code : row.Name);
            }
            table_->DataFile()->InsertRecord(record);
        }
        table_->Flush(false);
    }
    ~EngineTable() {
        session_->Uninitialize();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    tdb::TTdbBaseTable& Table() { return *table_; }

private:
    std::filesystem::path dir_;
    tdb::TTdbPageManager pageManager_;
    std::unique_ptr<tdb::TTdbLocalSession> session_;
    tdb::TTdbBaseTable* table_ = nullptr;
};

void BM_NewIndexBothIndexes(benchmark::State& state) {
    EngineTable engine;
    tdb::TTdbBaseTable& table = engine.Table();
    const tdb::TTdbSortDef telep =
        tdb::ParseIndexSpecification(u"TELEP", u"TELEP", table.ColumnDefs(), 6, false);
    const tdb::TTdbSortDef irsz =
        tdb::ParseIndexSpecification(u"IRSZ", u"IRSZ", table.ColumnDefs(), 6, false);
    for (auto _ : state) {
        if (table.NewIndex(u"TELEP", telep, {}, 0) < 0 || table.NewIndex(u"IRSZ", irsz, {}, 0) < 0)
            state.SkipWithError("NewIndex failed");
        state.PauseTiming();
        table.RemoveInd(table.FindIndexByName(u"IRSZ"));
        table.RemoveInd(table.FindIndexByName(u"TELEP"));
        state.ResumeTiming();
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_NewIndexBothIndexes)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// SQLite compares the settlements with the same ICU collator.
int HungarianCompare(void* collator, int length1, const void* text1, int length2,
                     const void* text2) {
    const UCollationResult result = ucol_strcoll(
        static_cast<UCollator*>(collator), static_cast<const UChar*>(text1), length1 / 2,
        static_cast<const UChar*>(text2), length2 / 2);
    return result == UCOL_LESS ? -1 : result == UCOL_GREATER ? 1 : 0;
}

void BM_SqliteCreateIndexBothIndexes(benchmark::State& state) {
    const std::filesystem::path dir = ScratchDirectory("sqlite");
    sqlite3* db = nullptr;
    sqlite3_open((dir / "irsz.db").string().c_str(), &db);
    UErrorCode status = U_ZERO_ERROR;
    UCollator* collator = ucol_open("hu", &status);
    sqlite3_create_collation_v2(db, "HU", SQLITE_UTF16, collator, HungarianCompare, nullptr);
    const std::string cache = "PRAGMA cache_size=-" + std::to_string(kCacheKB);
    sqlite3_exec(db, cache.c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE TABLE irsz (irsz TEXT, telep TEXT)", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO irsz VALUES (?, ?)", -1, &insert, nullptr);
    for (const Row& row : Rows()) {
        sqlite3_bind_text16(insert, 1, row.Code.data(), static_cast<int>(row.Code.size() * 2),
                            SQLITE_STATIC);
        sqlite3_bind_text16(insert, 2, row.Name.data(), static_cast<int>(row.Name.size() * 2),
                            SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    for (auto _ : state) {
        if (sqlite3_exec(db, "CREATE INDEX telep ON irsz (telep COLLATE HU)", nullptr, nullptr,
                         nullptr) != SQLITE_OK ||
            sqlite3_exec(db, "CREATE INDEX code ON irsz (irsz)", nullptr, nullptr, nullptr) !=
                SQLITE_OK)
            state.SkipWithError(sqlite3_errmsg(db));
        state.PauseTiming();
        sqlite3_exec(db, "DROP INDEX telep", nullptr, nullptr, nullptr);
        sqlite3_exec(db, "DROP INDEX code", nullptr, nullptr, nullptr);
        state.ResumeTiming();
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    sqlite3_close(db);
    ucol_close(collator);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}
BENCHMARK(BM_SqliteCreateIndexBothIndexes)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

}  // namespace
