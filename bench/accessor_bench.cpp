// What looking up postal codes costs through an accessor, at 100 000 and 1 000 000 records of
// settlement names and codes: the nearest search while a name is typed (one search per key
// stroke), a 20-record window in name order, a full scan in name order, a prefix of names as a
// range, a filter that must look at every record, and a single-record edit with its index
// upkeep. SQLite runs the same work beside it on the same rows, with an index on the name.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/accessor.h"
#include "engine/base_table.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "index/index_entry.h"
#include "index/index_text.h"
#include "platform/text.h"
#include "postal_table.h"
#include "process_directory.h"
#include "timed_beside.h"
#include "types/data_type.h"

namespace tdb {
namespace {

using bench::RowAt;
using bench::TRow;

const std::filesystem::path& Directory() {
    static const std::filesystem::path directory = bench::MakeProcessDirectory("accessor_bench");
    return directory;
}

// A filter that looks at every record: codes in one county's range.
class TCodeFilter : public TTdbCondition {
public:
    TCodeFilter(const TTdbRelation& relation, std::int32_t from, std::int32_t to)
        : TTdbCondition(u"Code BETWEEN"), FRelation(relation), FFrom(from), FTo(to) {}
    TTdbExpressionSyntax GetKind() const override { return tesTableSQL; }
    std::unique_ptr<TTdbCondition> Clone() const override {
        return std::make_unique<TCodeFilter>(FRelation, FFrom, FTo);
    }
    void Prepare(const TTdbRltnIdxSet&, TTdbRltnIdx, std::uint32_t) override {}
    void Unprepare() override {}
    TTdbTruthValue Evaluate(TTdbRltnIdxSet&) override { return tvUnknown; }
    TTdbTruthValue Evaluate(TTdbRltnIdx, std::span<const std::byte> recBuffer) override {
        std::int32_t code = 0;
        if (!FRelation.Access().GetInt32(recBuffer, 1, code))
            return tvUnknown;
        return code >= FFrom && code <= FTo ? tvTrue : tvFalse;
    }
    int FindBestIndexAndBounds(TTdbRltnIdx, std::vector<std::byte>&,
                               std::vector<std::byte>&) override {
        return -1;
    }

private:
    const TTdbRelation& FRelation;
    std::int32_t FFrom;
    std::int32_t FTo;
};

// The table Postal<Count> with its ByName index (Hungarian collation), made once per size.
class TPostalTable {
public:
    explicit TPostalTable(std::int32_t count) : FCount(count) {
        FSession.Initialize(1);
        FSession.Catalog().SetLocation(FromUtf8(Directory().string()));
        FSession.Catalog().SetExclusive(true);
        if (FSession.OpenDb() != 0)
            std::abort();
        const std::u16string name = u"Postal" + NumberText(count);
        if (!std::filesystem::exists(Directory() / (ToUtf8(name) + ".tdbt")))
            bench::CreatePostalTable(FSession, name, FCount);
        const int rltnIdx = FSession.Catalog().OpenTable(name, {}, kRightsWrite | kRightExclusive,
                                                         false, false, false);
        if (rltnIdx <= 0)
            std::abort();
        FTable = dynamic_cast<TTdbBaseTable*>(FSession.Catalog().GetRelation(rltnIdx));
        FByName = FTable->FindIndexByName(u"ByName");
        FAccessor = std::make_unique<TTdbAccessor>(*FTable);
        FRecord.resize(static_cast<std::size_t>(FTable->GetRecordSize()));
        FKey.resize(static_cast<std::size_t>(FTable->GetIndexFile(FByName)->IndSize()));
    }
    ~TPostalTable() {
        FAccessor.reset();
        FSession.Uninitialize();
    }

    TTdbBaseTable& Table() { return *FTable; }
    TTdbAccessor& Accessor() { return *FAccessor; }
    TTdbIndexNo ByName() const { return FByName; }
    std::int32_t Count() const { return FCount; }

    // The key of a name for a nearest search: record-number part 0.
    std::span<const std::byte> NameKey(const std::u16string& name) {
        FTable->InitRecord(FRecord, false);
        FTable->Access().SetWideString(FRecord, 2, name, false);
        const TTdbIndexFile& index = *FTable->GetIndexFile(FByName);
        FTable->Keys().CalcIndexInfo(index.IndexDef(), FRecord, 0, FKey);
        return FKey;
    }

private:
    std::int32_t FCount;
    TTdbLocalSession FSession;
    TTdbBaseTable* FTable = nullptr;
    TTdbIndexNo FByName = -1;
    std::unique_ptr<TTdbAccessor> FAccessor;
    std::vector<std::byte> FRecord;
    std::vector<std::byte> FKey;
};

TPostalTable& Postal(std::int32_t count) {
    static std::map<std::int32_t, std::unique_ptr<TPostalTable>> tables;
    auto& table = tables[count];
    if (!table)
        table = std::make_unique<TPostalTable>(count);
    return *table;
}

// The same rows in SQLite, with an index on the name.
class TSqlitePostal {
public:
    explicit TSqlitePostal(std::int32_t count) {
        const std::string path = (Directory() / ("postal" + std::to_string(count) + ".sqlite")).string();
        const bool made = std::filesystem::exists(path);
        sqlite3_open(path.c_str(), &FDb);
        Exec("PRAGMA synchronous=OFF");
        Exec("PRAGMA cache_size=-65536");
        if (!made) {
            Exec("CREATE TABLE postal (code INTEGER, name TEXT)");
            Exec("BEGIN");
            sqlite3_stmt* insert = Prepare("INSERT INTO postal VALUES (?, ?)");
            for (std::int32_t n = 0; n < count; ++n) {
                const TRow row = RowAt(n);
                const std::string text = ToUtf8(row.Name);
                sqlite3_bind_int(insert, 1, row.Code);
                sqlite3_bind_text(insert, 2, text.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_step(insert);
                sqlite3_reset(insert);
            }
            sqlite3_finalize(insert);
            Exec("COMMIT");
            Exec("CREATE INDEX by_name ON postal (name)");
        }
    }
    ~TSqlitePostal() {
        for (sqlite3_stmt* statement : FStatements)
            sqlite3_finalize(statement);
        sqlite3_close(FDb);
    }
    TSqlitePostal(const TSqlitePostal&) = delete;
    TSqlitePostal& operator=(const TSqlitePostal&) = delete;

    sqlite3_stmt* Prepare(const char* sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(FDb, sql, -1, &statement, nullptr) != SQLITE_OK)
            std::abort();
        FStatements.push_back(statement);
        return statement;
    }
    // Steps through every row and answers how many there were.
    static int Rows(sqlite3_stmt* statement) {
        int rows = 0;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            benchmark::DoNotOptimize(sqlite3_column_text(statement, 1));
            ++rows;
        }
        sqlite3_reset(statement);
        return rows;
    }

private:
    void Exec(const char* sql) { sqlite3_exec(FDb, sql, nullptr, nullptr, nullptr); }

    sqlite3* FDb = nullptr;
    std::vector<sqlite3_stmt*> FStatements;
};

TSqlitePostal& Sqlite(std::int32_t count) {
    static std::map<std::int32_t, std::unique_ptr<TSqlitePostal>> dbs;
    auto& db = dbs[count];
    if (!db)
        db = std::make_unique<TSqlitePostal>(count);
    return *db;
}

// Every record the accessor's order, range and filter let through.
void ReadAll(TTdbAccessor& accessor) {
    for (std::int16_t step = accessor.First(); step == 0; step = accessor.Next())
        benchmark::DoNotOptimize(accessor.RecordPtr().data());
}

// Ours, then the peer, once per iteration.
template <typename Ours, typename Peer>
void Beside(benchmark::State& state, double opsPerIteration, Ours&& ours, Peer&& peer) {
    bench::TimeBeside(state, opsPerIteration, "sqlite", std::forward<Ours>(ours),
                      std::forward<Peer>(peer));
}

// A name typed key by key: one nearest search per prefix (up to eight), as the search window
// makes them; an operation is one typed name.
void BM_NearestSearchWhileTyping(benchmark::State& state) {
    const auto count = static_cast<std::int32_t>(state.range(0));
    TPostalTable& postal = Postal(count);
    TSqlitePostal& sqlite = Sqlite(count);
    sqlite3_stmt* nearest =
        sqlite.Prepare("SELECT code, name FROM postal WHERE name >= ? ORDER BY name LIMIT 1");
    TTdbAccessor& accessor = postal.Accessor();
    accessor.SetAccess(postal.ByName(), false);
    std::mt19937 random(3);
    std::u16string name;
    std::string utf8;
    Beside(
        state, 1,
        [&] {
            name = RowAt(std::uniform_int_distribution<std::int32_t>(0, count - 1)(random)).Name;
            for (std::size_t length = 1; length <= std::min<std::size_t>(name.size(), 8);
                 ++length) {
                bool exact = false;
                benchmark::DoNotOptimize(accessor.LocateRecord2(
                    postal.ByName(), postal.NameKey(name.substr(0, length)), 1, exact));
            }
        },
        [&] {
            utf8 = ToUtf8(name);
            for (std::size_t length = 1; length <= std::min<std::size_t>(utf8.size(), 8);
                 ++length) {
                sqlite3_bind_text(nearest, 1, utf8.c_str(), static_cast<int>(length),
                                  SQLITE_TRANSIENT);
                TSqlitePostal::Rows(nearest);
            }
        });
}

void BM_WindowOf20InNameOrder(benchmark::State& state) {
    const auto count = static_cast<std::int32_t>(state.range(0));
    TPostalTable& postal = Postal(count);
    TSqlitePostal& sqlite = Sqlite(count);
    sqlite3_stmt* window =
        sqlite.Prepare("SELECT code, name FROM postal WHERE name >= ? ORDER BY name LIMIT 20");
    TTdbAccessor& accessor = postal.Accessor();
    accessor.SetAccess(postal.ByName(), false);
    std::mt19937 random(5);
    std::u16string name;
    std::string utf8;
    Beside(
        state, 1,
        [&] {
            name = RowAt(std::uniform_int_distribution<std::int32_t>(0, count - 1)(random)).Name;
            utf8 = ToUtf8(name);
            bool exact = false;
            accessor.LocateRecord2(postal.ByName(), postal.NameKey(name), 1, exact);
            for (int row = 0; row < 20; ++row) {
                benchmark::DoNotOptimize(accessor.RecordPtr().data());
                if (accessor.Next() != 0)
                    break;
            }
        },
        [&] {
            sqlite3_bind_text(window, 1, utf8.c_str(), -1, SQLITE_TRANSIENT);
            TSqlitePostal::Rows(window);
        });
}

void BM_FullScanInNameOrder(benchmark::State& state) {
    const auto count = static_cast<std::int32_t>(state.range(0));
    TPostalTable& postal = Postal(count);
    TSqlitePostal& sqlite = Sqlite(count);
    sqlite3_stmt* scan = sqlite.Prepare("SELECT code, name FROM postal ORDER BY name");
    TTdbAccessor& accessor = postal.Accessor();
    accessor.SetAccess(postal.ByName(), false);
    Beside(
        state, count,
        [&] {
            ReadAll(accessor);
        },
        [&] { TSqlitePostal::Rows(scan); });
}

// The records whose names begin with a prefix, as a range of the name index.
void BM_PrefixRange(benchmark::State& state) {
    const auto count = static_cast<std::int32_t>(state.range(0));
    TPostalTable& postal = Postal(count);
    TSqlitePostal& sqlite = Sqlite(count);
    sqlite3_stmt* prefixed = sqlite.Prepare(
        "SELECT code, name FROM postal WHERE name >= ?1 AND name < ?1 || char(1114111) "
        "ORDER BY name");
    TTdbAccessor& accessor = postal.Accessor();
    std::mt19937 random(7);
    std::u16string prefix;
    std::string utf8;
    Beside(
        state, 1,
        [&] {
            prefix = RowAt(std::uniform_int_distribution<std::int32_t>(0, count - 1)(random))
                         .Name.substr(0, 3);
            utf8 = ToUtf8(prefix);
            accessor.SetRange(postal.ByName(), prefix, prefix + u"\uFFFF", u';');
            ReadAll(accessor);
        },
        [&] {
            sqlite3_bind_text(prefixed, 1, utf8.c_str(), -1, SQLITE_TRANSIENT);
            TSqlitePostal::Rows(prefixed);
        });
    accessor.ClearRange();
}

// A filter no index helps: every record is read and tested.
void BM_FullScanFilter(benchmark::State& state) {
    const auto count = static_cast<std::int32_t>(state.range(0));
    TPostalTable& postal = Postal(count);
    TSqlitePostal& sqlite = Sqlite(count);
    sqlite3_stmt* filtered =
        sqlite.Prepare("SELECT code, name FROM postal WHERE code BETWEEN 7000 AND 7999");
    TTdbAccessor& accessor = postal.Accessor();
    accessor.SetAccess(kTdbAccessRecordNo, false);
    accessor.SetFilter(std::make_unique<TCodeFilter>(postal.Table(), 7000, 7999));
    Beside(
        state, count,
        [&] {
            ReadAll(accessor);
        },
        [&] { TSqlitePostal::Rows(filtered); });
    accessor.SetFilter(nullptr);
}

// One record renamed through the edit flow: its name index entry moves.
void BM_SingleRecordEditWithIndex(benchmark::State& state) {
    const auto count = static_cast<std::int32_t>(state.range(0));
    TPostalTable& postal = Postal(count);
    TSqlitePostal& sqlite = Sqlite(count);
    sqlite3_stmt* update = sqlite.Prepare("UPDATE postal SET name = ? WHERE rowid = ?");
    TTdbAccessor& accessor = postal.Accessor();
    accessor.SetAccess(kTdbAccessRecordNo, false);
    std::mt19937 random(9);
    std::int32_t recNo = 1;
    std::u16string name;
    std::string utf8;
    Beside(
        state, 1,
        [&] {
            recNo = std::uniform_int_distribution<std::int32_t>(1, count)(random);
            name = RowAt(std::uniform_int_distribution<std::int32_t>(0, count - 1)(random)).Name;
            utf8 = ToUtf8(name);
            if (accessor.GotoRecord(recNo) != 0 || accessor.Edit() != 0)
                std::abort();
            postal.Table().Access().SetWideString(accessor.RecordPtr(), 2, name, false);
            if (accessor.Post() != 0 || postal.Table().Flush(false) != 0)
                std::abort();
        },
        [&] {
            sqlite3_bind_text(update, 1, utf8.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(update, 2, recNo);
            sqlite3_step(update);
            sqlite3_reset(update);
        });
}

void PostalSizes(benchmark::internal::Benchmark* sizes) {
    sizes->Arg(100000)->Arg(1000000)->UseManualTime()->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_NearestSearchWhileTyping)->Apply(PostalSizes);
BENCHMARK(BM_WindowOf20InNameOrder)->Apply(PostalSizes);
BENCHMARK(BM_FullScanInNameOrder)->Apply(PostalSizes)->Iterations(3);
BENCHMARK(BM_PrefixRange)->Apply(PostalSizes);
BENCHMARK(BM_FullScanFilter)->Apply(PostalSizes)->Iterations(3);
BENCHMARK(BM_SingleRecordEditWithIndex)->Apply(PostalSizes);

}  // namespace
}  // namespace tdb
