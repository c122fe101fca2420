// What the heap data file costs per record: appending 100000 records and flushing, and reading
// them back by record number in order and at random through the page cache, each beside SQLite
// doing the same with rows of the same size (one transaction; prepared reads by rowid).
//
// SQLite runs with synchronous=OFF because our flush hands the pages to the operating system
// without waiting for the disk either, and with the same cache size; both sides then measure
// the same work.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "platform/text.h"
#include "storage/heap_data_file.h"
#include "storage/os_file_system.h"

namespace {

constexpr std::int32_t kRecords = 100000;
constexpr std::int16_t kRecordSize = 100;

class NoExpressions : public tdb::TTdbExpressionFactory {
public:
    std::unique_ptr<tdb::TTdbCalculation> CreateCalculation(std::u16string_view,
                                                            tdb::TTdbExpressionSyntax,
                                                            std::int16_t) override {
        return nullptr;
    }
    std::unique_ptr<tdb::TTdbCondition> CreateCondition(std::u16string_view,
                                                        tdb::TTdbExpressionSyntax,
                                                        std::int16_t) override {
        return nullptr;
    }
};

// A scratch directory, the page cache and file system on it, and the record layout.
class Bench {
public:
    Bench() {
        std::random_device random;
        dir_ = std::filesystem::temp_directory_path() /
               ("zenkalo-df-bench-" + std::to_string(::getpid()) + "-" + std::to_string(random()));
        std::filesystem::create_directories(dir_);
        fileSystem_ = std::make_unique<tdb::TdwOSFileSystem>(tdb::FromUtf8(dir_.string()));
        // Room for the whole table, as a session with a generous cache would have.
        pageManager_.RegisterClient(1, 64 * 1024);
        columns_.Add(tdb::TTdbColumnDef::CreateStringColumnDef(
            u"S", tdb::TTdbDataType::GetStringType(tdb::ctString, false, kRecordSize - 1, u""), 0,
            u""));
    }
    ~Bench() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::unique_ptr<tdb::TTdbHeapDataFile> Create(const std::u16string& name) {
        fileSystem_->DeleteFile(name);
        auto file = std::make_unique<tdb::TTdbHeapDataFile>(pageManager_, *fileSystem_, 1, name);
        file->NewFile(6, cryptor_, kRecords, u"", {}, columns_, {}, {}, {});
        return file;
    }

    std::unique_ptr<tdb::TTdbHeapDataFile> Open(const std::u16string& name) {
        auto file = std::make_unique<tdb::TTdbHeapDataFile>(pageManager_, *fileSystem_, 1, name);
        std::int32_t capacity = 0;
        std::u16string collation;
        tdb::TTdbTypeDefs types;
        tdb::TTdbColumnDefs columns;
        tdb::TTdbCheckDefs checks;
        tdb::TTdbCandidateKeyDefs keys;
        tdb::TTdbForeignKeyDefs foreignKeys;
        file->Open(false, false, cryptor_, factory_, capacity, collation, types, columns, checks,
                   keys, foreignKeys);
        return file;
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

private:
    std::filesystem::path dir_;
    std::unique_ptr<tdb::TdwOSFileSystem> fileSystem_;
    tdb::TTdbPageManager pageManager_;
    tdb::TTdbColumnDefs columns_;
    tdb::TdwCryptor cryptor_;
    NoExpressions factory_;
};

Bench& TheBench() {
    static Bench bench;
    return bench;
}

std::vector<std::byte> RecordImage(std::int32_t i) {
    std::vector<std::byte> record(kRecordSize, static_cast<std::byte>(i));
    record[0] = std::byte{kRecordSize - 1};
    return record;
}

std::vector<std::int32_t> RandomOrder() {
    std::vector<std::int32_t> order(kRecords);
    std::iota(order.begin(), order.end(), 1);
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    return order;
}

// ---- The heap data file ----

void BM_DataFileInsertAndFlush(benchmark::State& state) {
    const std::vector<std::byte> record = RecordImage(7);
    for (auto _ : state) {
        auto file = TheBench().Create(u"insert.tdbt");
        for (std::int32_t i = 0; i < kRecords; ++i)
            benchmark::DoNotOptimize(file->InsertRecord(record));
        file->Flush();
        file->Close();
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DataFileInsertAndFlush)->Unit(benchmark::kMillisecond);

tdb::TTdbHeapDataFile& ReadTable() {
    static std::unique_ptr<tdb::TTdbHeapDataFile> file = [] {
        {
            auto created = TheBench().Create(u"read.tdbt");
            for (std::int32_t i = 1; i <= kRecords; ++i)
                created->InsertRecord(RecordImage(i));
            created->Flush();
            created->Close();
        }
        auto opened = TheBench().Open(u"read.tdbt");
        // Warm the cache once, so that both orders read from memory.
        std::vector<std::byte> buffer(kRecordSize);
        for (std::int32_t i = 1; i <= kRecords; ++i)
            opened->ReadRecord(i, buffer);
        return opened;
    }();
    return *file;
}

void BM_DataFileReadSequential(benchmark::State& state) {
    tdb::TTdbHeapDataFile& file = ReadTable();
    std::vector<std::byte> buffer(kRecordSize);
    std::int32_t recNo = 1;
    for (auto _ : state) {
        file.ReadRecord(recNo, buffer);
        benchmark::DoNotOptimize(buffer.data());
        recNo = recNo == kRecords ? 1 : recNo + 1;
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DataFileReadSequential);

void BM_DataFileReadRandom(benchmark::State& state) {
    tdb::TTdbHeapDataFile& file = ReadTable();
    const std::vector<std::int32_t> order = RandomOrder();
    std::vector<std::byte> buffer(kRecordSize);
    std::size_t at = 0;
    for (auto _ : state) {
        file.ReadRecord(order[at], buffer);
        benchmark::DoNotOptimize(buffer.data());
        at = at + 1 == order.size() ? 0 : at + 1;
    }
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DataFileReadRandom);

// ---- SQLite ----

class SqliteDb {
public:
    explicit SqliteDb(const std::string& path) {
        sqlite3_open(path.c_str(), &db_);
        Exec("PRAGMA synchronous=OFF");
        // The same 64 MiB of cache as the page manager gets.
        Exec("PRAGMA cache_size=-65536");
    }
    ~SqliteDb() { sqlite3_close(db_); }
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;
    void Exec(const char* sql) { sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
    sqlite3* Handle() const { return db_; }

private:
    sqlite3* db_ = nullptr;
};

void FillSqlite(SqliteDb& db) {
    db.Exec("DROP TABLE IF EXISTS t");
    db.Exec("CREATE TABLE t (id INTEGER PRIMARY KEY, data BLOB NOT NULL)");
    db.Exec("BEGIN");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db.Handle(), "INSERT INTO t (data) VALUES (?)", -1, &insert, nullptr);
    const std::vector<std::byte> record = RecordImage(7);
    for (std::int32_t i = 0; i < kRecords; ++i) {
        sqlite3_bind_blob(insert, 1, record.data(), kRecordSize, SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    db.Exec("COMMIT");
}

void BM_SqliteInsertAndCommit(benchmark::State& state) {
    SqliteDb db(TheBench().Path("insert.sqlite"));
    for (auto _ : state)
        FillSqlite(db);
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(kRecords) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SqliteInsertAndCommit)->Unit(benchmark::kMillisecond);

SqliteDb& ReadDb() {
    static std::unique_ptr<SqliteDb> db = [] {
        auto filled = std::make_unique<SqliteDb>(TheBench().Path("read.sqlite"));
        FillSqlite(*filled);
        return filled;
    }();
    return *db;
}

void ReadSqlite(benchmark::State& state, const std::vector<std::int32_t>& order) {
    SqliteDb& db = ReadDb();
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db.Handle(), "SELECT data FROM t WHERE id = ?", -1, &select, nullptr);
    std::vector<std::byte> buffer(kRecordSize);
    std::size_t at = 0;
    // One read transaction around the loop: our reads copy out of the cache without taking
    // table locks, so SQLite should not pay its per-statement file locking either.
    db.Exec("BEGIN");
    for (auto _ : state) {
        sqlite3_bind_int(select, 1, order[at]);
        if (sqlite3_step(select) == SQLITE_ROW) {
            const void* blob = sqlite3_column_blob(select, 0);
            std::memcpy(buffer.data(), blob,
                        static_cast<std::size_t>(sqlite3_column_bytes(select, 0)));
        }
        sqlite3_reset(select);
        benchmark::DoNotOptimize(buffer.data());
        at = at + 1 == order.size() ? 0 : at + 1;
    }
    sqlite3_finalize(select);
    db.Exec("COMMIT");
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_SqliteReadSequential(benchmark::State& state) {
    std::vector<std::int32_t> order(kRecords);
    std::iota(order.begin(), order.end(), 1);
    ReadSqlite(state, order);
}
BENCHMARK(BM_SqliteReadSequential);

void BM_SqliteReadRandom(benchmark::State& state) {
    ReadSqlite(state, RandomOrder());
}
BENCHMARK(BM_SqliteReadRandom);

}  // namespace
