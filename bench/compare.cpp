// The side-by-side comparison: the same seeded settlement-like rows in our engine (through the
// call interface, as the program uses it) and in SQLite (WAL, synchronous NORMAL, the same cache
// size), and the workloads the program lives on, timed in one run. Prints one table and writes
// it as bench/results/compare-<date>.csv.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "api/call_interface.h"
#include "api/text_buffers.h"
#include "platform/text.h"
#include "process_directory.h"
#include "types/data_type.h"

namespace tdb::bench {
namespace {

using namespace tdb::api;
using Clock = std::chrono::steady_clock;

constexpr std::int32_t kCacheBytes = 64 * 1024 * 1024;

struct TRow {
    std::u16string Irsz;
    std::u16string Telep;
    std::u16string Telk;
};

// Names put together like Hungarian settlement names, with their accents and many repeats.
std::vector<TRow> MakeRows(std::int32_t count, std::uint32_t seed) {
    static const char16_t* const first[] = {
        u"Bala", u"Sze", u"Kis",  u"Nagy", u"Duna", u"Tisza", u"Győr", u"Kecs", u"Hód",  u"Mező",
        u"Érd",  u"Öcs", u"Zala", u"Vas",  u"Sár",  u"Ács",   u"Bada", u"Cse",  u"Pécs", u"Úr"};
    static const char16_t* const second[] = {u"",   u"ton",  u"kemé", u"sző", u"bá",
                                             u"lő", u"mező", u"hegy", u"dom", u"szent"};
    static const char16_t* const third[] = {u"falu", u"háza",  u"vár",   u"egyháza", u"lak",
                                            u"hely", u"füred", u"keszi", u"föld",    u"telek",
                                            u"d",    u"s",     u"ör",    u"újfalu",  u"szállás"};
    std::mt19937 random(seed);
    std::vector<TRow> rows;
    rows.reserve(static_cast<std::size_t>(count));
    for (std::int32_t i = 0; i < count; ++i) {
        TRow row;
        row.Telep =
            std::u16string(first[random() % 20]) + second[random() % 10] + third[random() % 15];
        row.Irsz = FromUtf8(std::to_string(1000 + random() % 9000));
        row.Telk = FromUtf8(std::to_string(1 + random() % 99));
        rows.push_back(std::move(row));
    }
    return rows;
}

[[noreturn]] void Die(const std::string& what) {
    std::cerr << "compare: " << what << '\n';
    std::exit(1);
}

double NsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// Our side: a database directory, the table Irsz and a cursor on it.
class TOurs {
public:
    TOurs(const std::filesystem::path& directory, bool indexes, const std::vector<TRow>& rows,
          double* loadNs) {
        std::filesystem::create_directories(directory);
        FSession = TdbCreateSession(u"");
        const std::u16string location = FromUtf8(directory.string());
        if (FSession <= 0 ||
            TdbSessOpenDb(FSession, location.c_str(), u"", u"", kCacheBytes / 1024, 0) != 0)
            Die("opening our database");
        TTdbFieldSpec fields[3]{};
        const char16_t* names[] = {u"IRSZ", u"TELEP", u"TELK"};
        const std::int32_t lengths[] = {4, 38, 2};
        for (int i = 0; i < 3; ++i) {
            SetFixedText(fields[i].Name, names[i]);
            fields[i].FldType = ctWideString;
            fields[i].Param = lengths[i];
        }
        TTdbTableInfo info{};
        SetFixedText(info.FileName, u"Irsz");
        info.Level = 6;
        SetFixedText(info.Language, u"Hungarian");
        info.Capacity = static_cast<std::int32_t>(rows.size());
        if (TdbSessCreateTable(FSession, info, u"", 3, fields, 0, nullptr, 0, nullptr, 0,
                               nullptr) != 0)
            Die("creating our table");
        Open();
        if (indexes)
            CreateIndexes();
        const Clock::time_point start = Clock::now();
        TdbTableLock(FTable, 2, 1);
        for (const TRow& row : rows) {
            if (TdbTableAppend(FTable) != 0 ||
                TdbTableSetFieldAsString(FTable, 1, row.Irsz.c_str()) != 0 ||
                TdbTableSetFieldAsString(FTable, 2, row.Telep.c_str()) != 0 ||
                TdbTableSetFieldAsString(FTable, 3, row.Telk.c_str()) != 0 ||
                TdbTableAppendConfirm(FTable) != 0)
                Die("loading our table");
        }
        TdbTableUnlock(FTable, 2);
        if (loadNs != nullptr)
            *loadNs = NsSince(start);
        FRecord.resize(static_cast<std::size_t>(TdbTableGetRecordSize(FTable)));
    }
    ~TOurs() { TdbSessDelete(FSession); }

    void CreateIndexes() {
        if (TdbRltnCreateIndex(FRltn, u"TELEP", u"TELEP", false) < 0 ||
            TdbRltnCreateIndex(FRltn, u"IRSZ", u"IRSZ", false) < 0)
            Die("making our indexes");
    }
    std::int16_t Table() const { return FTable; }
    std::vector<std::byte>& Record() { return FRecord; }
    std::int32_t RecordSize() const { return static_cast<std::int32_t>(FRecord.size()); }

    // Nearest search: the first name at or after the text; its record read.
    std::int32_t Nearest(const std::u16string& text) {
        TdbTableInitRecord(FTable, FRecord.data(), RecordSize());
        TdbTableSetFieldInRecord(FTable, FRecord.data(), RecordSize(), 2, text.c_str());
        bool exact = false;
        const std::int32_t found =
            TdbTableLocateRec2(FTable, u"TELEP", FRecord.data(), RecordSize(), 1, exact);
        TdbTableGetRecord(FTable, FRecord.data(), RecordSize());
        return found;
    }

private:
    void Open() {
        FRltn = TdbSessOpenTable(FSession, u"Irsz", u"", kTdbRightsWrite, false, false);
        FTable = FRltn > 0 ? TdbTableCreate(FRltn, u"Compare") : -1;
        if (FTable <= 0)
            Die("opening our table");
    }

    std::int16_t FSession = 0;
    std::int16_t FRltn = 0;
    std::int16_t FTable = 0;
    std::vector<std::byte> FRecord;
};

// SQLite's side: the same table, WAL, synchronous NORMAL, the same cache.
class TSqlite {
public:
    TSqlite(const std::filesystem::path& file, bool indexes, const std::vector<TRow>& rows,
            double* loadNs) {
        if (sqlite3_open(file.string().c_str(), &FDb) != SQLITE_OK)
            Die("opening SQLite");
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=NORMAL");
        Exec("PRAGMA cache_size=-" + std::to_string(kCacheBytes / 1024));
        Exec("CREATE TABLE irsz (irsz TEXT, telep TEXT, telk TEXT)");
        if (indexes)
            CreateIndexes();
        const Clock::time_point start = Clock::now();
        Exec("BEGIN");
        sqlite3_stmt* insert = Prepare("INSERT INTO irsz VALUES (?, ?, ?)");
        for (const TRow& row : rows) {
            for (int i = 0; i < 3; ++i) {
                const std::u16string& text = i == 0 ? row.Irsz : i == 1 ? row.Telep : row.Telk;
                sqlite3_bind_text16(insert, i + 1, text.data(), static_cast<int>(text.size() * 2),
                                    SQLITE_TRANSIENT);
            }
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        Exec("COMMIT");
        if (loadNs != nullptr)
            *loadNs = NsSince(start);
    }
    ~TSqlite() {
        for (sqlite3_stmt* statement : FStatements)
            sqlite3_finalize(statement);
        sqlite3_close(FDb);
    }
    void CreateIndexes() {
        Exec("CREATE INDEX telep ON irsz (telep)");
        Exec("CREATE INDEX irsz_ ON irsz (irsz)");
    }
    void Exec(const std::string& sql) {
        if (sqlite3_exec(FDb, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
            Die("SQLite: " + sql + ": " + sqlite3_errmsg(FDb));
    }
    sqlite3_stmt* Prepare(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(FDb, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            Die("SQLite: " + sql + ": " + sqlite3_errmsg(FDb));
        FStatements.push_back(statement);
        return statement;
    }
    // Steps through the rows, reading each whole; how many there were.
    static int Rows(sqlite3_stmt* statement) {
        int rows = 0;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            for (int i = 0; i < sqlite3_column_count(statement); ++i)
                sqlite3_column_text16(statement, i);
            ++rows;
        }
        sqlite3_reset(statement);
        return rows;
    }
    static void BindText(sqlite3_stmt* statement, int index, const std::u16string& text) {
        sqlite3_bind_text16(statement, index, text.data(), static_cast<int>(text.size() * 2),
                            SQLITE_TRANSIENT);
    }

private:
    sqlite3* FDb = nullptr;
    std::vector<sqlite3_stmt*> FStatements;
};

struct TResult {
    std::string Workload;
    std::int32_t Rows;
    double Ours;
    double Sqlite;
};

// The workloads to time; empty for all. Loading always happens: every workload needs the rows.
std::vector<std::string> gOnly;

bool Wanted(const std::string& workload) {
    return gOnly.empty() || std::find(gOnly.begin(), gOnly.end(), workload) != gOnly.end();
}

void Compare(std::int32_t count, std::vector<TResult>& results) {
    const std::filesystem::path directory =
        MakeProcessDirectory("compare_" + std::to_string(count));
    const std::vector<TRow> rows = MakeRows(count, 20261211);
    std::cerr << "compare: " << count << " rows\n";
    double oursLoad = 0;
    double sqliteLoad = 0;
    TOurs ours(directory / "ours", true, rows, &oursLoad);
    TSqlite sqlite(directory / "sqlite.db", true, rows, &sqliteLoad);
    results.push_back({"bulk_load", count, oursLoad / count, sqliteLoad / count});
    if (Wanted("index_build")) {
        // Loaded without indexes, then the two indexes built over the rows.
        TOurs bare(directory / "bare", false, rows, nullptr);
        Clock::time_point start = Clock::now();
        bare.CreateIndexes();
        const double oursBuild = NsSince(start);
        TSqlite bareSqlite(directory / "bare.db", false, rows, nullptr);
        start = Clock::now();
        bareSqlite.CreateIndexes();
        results.push_back({"index_build", count, oursBuild / count, NsSince(start) / count});
    }

    // Nearest searches in bursts: a name typed one to four letters at a time.
    constexpr int kBursts = 2000;
    std::mt19937 random(7);
    std::vector<std::u16string> typed;
    for (int burst = 0; burst < kBursts; ++burst) {
        const std::u16string& name = rows[random() % rows.size()].Telep;
        for (std::size_t length = 1; length <= 4 && length <= name.size(); ++length)
            typed.push_back(name.substr(0, length));
    }
    TdbTableSetIndex(ours.Table(), u"TELEP", false);
    // The collation indexes its contractions when it meets its first prefix bound, once per
    // process (some milliseconds); SQLite, too, has everything it needs in memory by now.
    for (std::size_t i = 0; i < 64 && i < typed.size(); ++i)
        ours.Nearest(typed[i]);
    Clock::time_point start;
    if (Wanted("nearest_txn") || Wanted("nearest_stmt")) {
        start = Clock::now();
        for (const std::u16string& text : typed)
            ours.Nearest(text);
        const double oursNearest = NsSince(start) / static_cast<double>(typed.size());
        sqlite3_stmt* nearest =
            sqlite.Prepare("SELECT * FROM irsz WHERE telep >= ? ORDER BY telep LIMIT 1");
        start = Clock::now();
        for (const std::u16string& text : typed) {
            TSqlite::BindText(nearest, 1, text);
            TSqlite::Rows(nearest);
        }
        const double sqliteStmt = NsSince(start) / static_cast<double>(typed.size());
        start = Clock::now();
        for (std::size_t i = 0; i < typed.size(); i += 4) {
            sqlite.Exec("BEGIN");
            for (std::size_t j = i; j < typed.size() && j < i + 4; ++j) {
                TSqlite::BindText(nearest, 1, typed[j]);
                TSqlite::Rows(nearest);
            }
            sqlite.Exec("COMMIT");
        }
        const double sqliteTxn = NsSince(start) / static_cast<double>(typed.size());
        results.push_back({"nearest_txn", count, oursNearest, sqliteTxn});
        results.push_back({"nearest_stmt", count, oursNearest, sqliteStmt});
    }

    // A 20-row window from a typed name on, whole records.
    if (Wanted("window20")) {
        sqlite3_stmt* window =
            sqlite.Prepare("SELECT * FROM irsz WHERE telep >= ? ORDER BY telep LIMIT 20");
        start = Clock::now();
        for (int burst = 0; burst < kBursts; ++burst) {
            ours.Nearest(typed[static_cast<std::size_t>(burst) * 2]);
            for (int row = 1; row < 20 && TdbTableMoveBy(ours.Table(), 1) == 0; ++row)
                TdbTableGetRecord(ours.Table(), ours.Record().data(), ours.RecordSize());
        }
        const double oursWindow = NsSince(start) / kBursts;
        start = Clock::now();
        for (int burst = 0; burst < kBursts; ++burst) {
            TSqlite::BindText(window, 1, typed[static_cast<std::size_t>(burst) * 2]);
            TSqlite::Rows(window);
        }
        results.push_back({"window20", count, oursWindow, NsSince(start) / kBursts});
    }

    // Every record in name order, read whole.
    if (Wanted("scan")) {
        start = Clock::now();
        std::int32_t scanned = 0;
        for (std::int16_t r = TdbTableFirst(ours.Table()); r >= 0;
             r = TdbTableMoveBy(ours.Table(), 1)) {
            TdbTableGetRecord(ours.Table(), ours.Record().data(), ours.RecordSize());
            ++scanned;
        }
        const double oursScan = NsSince(start) / scanned;
        sqlite3_stmt* scan = sqlite.Prepare("SELECT * FROM irsz ORDER BY telep");
        start = Clock::now();
        const int sqliteScanned = TSqlite::Rows(scan);
        results.push_back({"scan", count, oursScan, NsSince(start) / sqliteScanned});
    }

    // Counts: names with a two-letter prefix (our prefix comparison against SQLite's range),
    // and a column no index serves.
    if (Wanted("prefix_count")) {
        constexpr std::uint32_t kStaticPrefix = 1 | 0x20;
        constexpr int kPrefixes = 50;
        sqlite3_stmt* prefixed = sqlite.Prepare(
            "SELECT count(*) FROM irsz WHERE telep >= ?1 AND telep < ?1 || char(1114111)");
        double oursPrefix = 0;
        double sqlitePrefix = 0;
        for (int i = 0; i < kPrefixes; ++i) {
            const std::u16string prefix = typed[static_cast<std::size_t>(i) * 8 + 1];
            const std::u16string condition = u"TELEP = '" + prefix + u"*'";
            start = Clock::now();
            TdbTableSetSQLFilter(ours.Table(), condition.c_str(), kStaticPrefix, false);
            TdbTableGetRowCount(ours.Table());
            oursPrefix += NsSince(start);
            start = Clock::now();
            TSqlite::BindText(prefixed, 1, prefix);
            TSqlite::Rows(prefixed);
            sqlitePrefix += NsSince(start);
        }
        results.push_back(
            {"prefix_count", count, oursPrefix / kPrefixes, sqlitePrefix / kPrefixes});
    }
    if (Wanted("fullscan_count")) {
        constexpr int kFullScans = 3;
        sqlite3_stmt* telk = sqlite.Prepare("SELECT count(*) FROM irsz WHERE telk = '1'");
        start = Clock::now();
        for (int i = 0; i < kFullScans; ++i) {
            TdbTableSetSQLFilter(ours.Table(), u"TELK = '1'", 1, false);
            TdbTableGetRowCount(ours.Table());
        }
        const double oursFull = NsSince(start) / kFullScans;
        start = Clock::now();
        for (int i = 0; i < kFullScans; ++i)
            TSqlite::Rows(telk);
        results.push_back({"fullscan_count", count, oursFull, NsSince(start) / kFullScans});
    }
    TdbTableSetSQLFilter(ours.Table(), u"", 15, false);

    // Single-record edits, each its own write: a record's name changes.
    if (!Wanted("edit"))
        return;
    constexpr int kEdits = 10000;
    TdbTableSetIndex(ours.Table(), u"", false);
    std::mt19937 editRandom(11);
    start = Clock::now();
    for (int i = 0; i < kEdits; ++i) {
        const auto recNo = static_cast<std::int32_t>(1 + editRandom() % rows.size());
        const std::u16string& name = rows[editRandom() % rows.size()].Telep;
        if (TdbTableSetRecNo(ours.Table(), recNo) != recNo || TdbTableEdit(ours.Table()) != 0 ||
            TdbTableSetFieldAsString(ours.Table(), 2, name.c_str()) != 0 ||
            TdbTableEditConfirm(ours.Table()) != 0)
            Die("editing our table");
    }
    const double oursEdit = NsSince(start) / kEdits;
    sqlite3_stmt* update = sqlite.Prepare("UPDATE irsz SET telep = ? WHERE rowid = ?");
    start = Clock::now();
    for (int i = 0; i < kEdits; ++i) {
        const auto rowid = static_cast<std::int64_t>(1 + editRandom() % rows.size());
        TSqlite::BindText(update, 1, rows[editRandom() % rows.size()].Telep);
        sqlite3_bind_int64(update, 2, rowid);
        sqlite3_step(update);
        sqlite3_reset(update);
    }
    results.push_back({"edit", count, oursEdit, NsSince(start) / kEdits});
}

std::string Today() {
    const std::time_t now = std::time(nullptr);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", std::localtime(&now));
    return text;
}

}  // namespace
}  // namespace tdb::bench

int main(int argc, char** argv) {
    using namespace tdb::bench;
    std::vector<std::int32_t> sizes = {100000, 1000000};
    if (argc > 1)
        sizes = {static_cast<std::int32_t>(std::atoi(argv[1]))};
    // Further arguments name the workloads to time, for profiling one of them.
    for (int i = 2; i < argc; ++i)
        gOnly.emplace_back(argv[i]);
    std::vector<TResult> results;
    for (const std::int32_t size : sizes)
        Compare(size, results);

    std::cout << std::left << std::setw(16) << "workload" << std::right << std::setw(9) << "rows"
              << std::setw(14) << "ours ns" << std::setw(14) << "sqlite ns" << std::setw(9)
              << "ratio" << '\n';
    const std::filesystem::path folder = std::filesystem::path(ZENKALO_BENCH_DIR) / "results";
    std::filesystem::create_directories(folder);
    const std::filesystem::path csv = folder / ("compare-" + Today() + ".csv");
    std::ofstream out(csv);
    out << "workload,rows,ours_ns,sqlite_ns,ratio\n";
    for (const TResult& r : results) {
        const double ratio = r.Ours / r.Sqlite;
        std::cout << std::left << std::setw(16) << r.Workload << std::right << std::setw(9)
                  << r.Rows << std::fixed << std::setprecision(0) << std::setw(14) << r.Ours
                  << std::setw(14) << r.Sqlite << std::setprecision(2) << std::setw(9) << ratio
                  << '\n';
        out << r.Workload << ',' << r.Rows << ',' << std::fixed << std::setprecision(1) << r.Ours
            << ',' << r.Sqlite << ',' << std::setprecision(3) << ratio << '\n';
    }
    std::cout << "written to " << csv.string() << '\n';
    return 0;
}
