// What a flush that cannot be torn costs: single-record edits of the postal table, each flushed
// on its own, with and without the rollback journal, and with deep flush (every edit on the
// disk before the call returns). Beside it SQLite makes the same edits, each its own
// transaction with the rollback journal it deletes at commit, synchronous OFF or FULL.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/base_table.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "index/index_text.h"
#include "platform/text.h"
#include "postal_rows.h"
#include "process_directory.h"
#include "types/data_type.h"

namespace tdb {
namespace {

const std::filesystem::path& Directory() {
    static const std::filesystem::path directory = bench::MakeProcessDirectory("flush_bench");
    return directory;
}

// The postal table (code and settlement, indexed by both) opened exclusively.
class TPostalTable {
public:
    TPostalTable() {
        session_.Initialize(1);
        session_.Catalog().SetLocation(FromUtf8(Directory().string()));
        session_.Catalog().SetExclusive(true);
        if (session_.OpenDb() != 0)
            std::abort();
        std::filesystem::remove(Directory() / "Postal.tdbt");
        TTdbCreateTableArgs args;
        args.StoragePath = u"Postal";
        args.Capacity = 4000;
        args.ColumnDefs.Add(TTdbColumnDef::CreateColumnDef(
            u"Code", TTdbDataType::GetDataType(ctInteger, false), 0));
        args.ColumnDefs.Add(TTdbColumnDef::CreateStringColumnDef(
            u"Name", TTdbDataType::GetStringType(ctWideString, false, 38, u"Hungarian"), 0,
            u"Hungarian"));
        for (const auto& [index, text] : {std::pair{u"ByName", u"Name"}, {u"ByCode", u"Code"}})
            args.IndexDefs.Add(std::make_unique<TTdbSortDef>(
                ParseIndexSpecification(index, text, args.ColumnDefs, 6, false)));
        if (session_.Catalog().CreateTable(args) != 0)
            std::abort();
        const int rltnIdx = session_.Catalog().OpenTable(
            u"Postal", {}, kRightsWrite | kRightExclusive, false, false, false);
        if (rltnIdx <= 0)
            std::abort();
        table_ = dynamic_cast<TTdbBaseTable*>(session_.Catalog().GetRelation(rltnIdx));
        record_.resize(static_cast<std::size_t>(table_->GetRecordSize()));
        for (const bench::TPostalRow& row : bench::PostalRows()) {
            Fill(std::stoi(ToUtf8(row.Code)), row.Name);
            if (table_->AppendRecordDirect(record_) < 1)
                std::abort();
        }
        if (table_->Flush(false) != 0)
            std::abort();
    }
    ~TPostalTable() {
        session_.Uninitialize();
        std::filesystem::remove(Directory() / "Postal.tdbt");
    }

    TTdbBaseTable& Table() { return *table_; }

    // Record RecNo gets a new name; the change is flushed at once.
    void Edit(std::int32_t recNo, const std::u16string& name) {
        Fill(1000 + recNo, name);
        if (table_->ReplaceRecordDirect(recNo, record_) != 0 || table_->Flush(false) != 0)
            std::abort();
    }

private:
    void Fill(std::int32_t code, const std::u16string& name) {
        table_->InitRecord(record_, false);
        table_->Access().SetInt32(record_, 1, code, false);
        table_->Access().SetWideString(record_, 2, name, false);
    }

    TTdbLocalSession session_;
    TTdbBaseTable* table_ = nullptr;
    std::vector<std::byte> record_;
};

class TSqlitePostal {
public:
    explicit TSqlitePostal(bool durable) {
        const std::string path = (Directory() / "postal.sqlite").string();
        std::filesystem::remove(path);
        sqlite3_open(path.c_str(), &db_);
        Exec(durable ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=OFF");
        Exec("PRAGMA journal_mode=DELETE");
        Exec("CREATE TABLE postal (code INTEGER, name TEXT)");
        Exec("CREATE INDEX by_name ON postal (name)");
        Exec("CREATE INDEX by_code ON postal (code)");
        Exec("BEGIN");
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db_, "INSERT INTO postal VALUES (?, ?)", -1, &insert, nullptr);
        for (const bench::TPostalRow& row : bench::PostalRows()) {
            const std::string name = ToUtf8(row.Name);
            sqlite3_bind_int(insert, 1, std::stoi(ToUtf8(row.Code)));
            sqlite3_bind_text(insert, 2, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        Exec("COMMIT");
        sqlite3_prepare_v2(db_, "UPDATE postal SET code = ?, name = ? WHERE rowid = ?", -1,
                           &update_, nullptr);
    }
    ~TSqlitePostal() {
        sqlite3_finalize(update_);
        sqlite3_close(db_);
    }
    TSqlitePostal(const TSqlitePostal&) = delete;
    TSqlitePostal& operator=(const TSqlitePostal&) = delete;

    void Edit(std::int32_t recNo, const std::string& name) {
        sqlite3_bind_int(update_, 1, 1000 + recNo);
        sqlite3_bind_text(update_, 2, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(update_, 3, recNo);
        if (sqlite3_step(update_) != SQLITE_DONE)
            std::abort();
        sqlite3_reset(update_);
    }

private:
    void Exec(const char* sql) { sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }

    sqlite3* db_ = nullptr;
    sqlite3_stmt* update_ = nullptr;
};

// Arguments: journal (0 or 1), deep flush (0 or 1).
void BM_SingleRecordEditFlushed(benchmark::State& state) {
    const bool journal = state.range(0) != 0;
    const bool deep = state.range(1) != 0;
    TPostalTable postal;
    postal.Table().SetFlushJournal(journal);
    if (deep)
        postal.Table().SetRights(
            static_cast<std::uint16_t>(postal.Table().Rights() | kRightDeepFlush));
    TSqlitePostal sqlite(deep);
    const auto& rows = bench::PostalRows();
    const auto count = static_cast<std::int32_t>(rows.size());
    std::mt19937 random(7);
    using Clock = std::chrono::steady_clock;
    Clock::duration ours{};
    Clock::duration theirs{};
    for (auto _ : state) {
        const std::int32_t recNo = std::uniform_int_distribution<std::int32_t>(1, count)(random);
        const std::u16string& name =
            rows[static_cast<std::size_t>(
                     std::uniform_int_distribution<std::int32_t>(0, count - 1)(random))]
                .Name;
        const std::string utf8 = ToUtf8(name);
        const Clock::time_point t0 = Clock::now();
        postal.Edit(recNo, name);
        const Clock::time_point t1 = Clock::now();
        sqlite.Edit(recNo, utf8);
        const Clock::time_point t2 = Clock::now();
        ours += t1 - t0;
        theirs += t2 - t1;
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    const auto perEdit = [&](Clock::duration spent) {
        return std::chrono::duration<double, std::micro>(spent).count() /
               static_cast<double>(state.iterations());
    };
    state.counters["us/edit"] = perEdit(ours);
    state.counters["sqlite_us/edit"] = perEdit(theirs);
    state.counters["ours/sqlite"] = perEdit(ours) / perEdit(theirs);
}
BENCHMARK(BM_SingleRecordEditFlushed)
    ->ArgNames({"journal", "deep"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tdb
