// What sharing a table costs a reader: 10 000 record reads of a table opened exclusively (no
// lock file), shared while another process has it open (the lock is given back lazily, so a
// burst of reads touches the lock file once), and shared while another process reads it too.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/base_table.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "platform/text.h"
#include "process_directory.h"
#include "types/data_type.h"

namespace tdb {
namespace {

constexpr std::int32_t kRecords = 10000;

const std::filesystem::path& Directory() {
    static const std::filesystem::path directory = bench::MakeProcessDirectory("lock_bench");
    return directory;
}

// A session with the table open; shared unless exclusive.
class TReader {
public:
    explicit TReader(bool exclusive, bool create = false) {
        session_.Initialize(1);
        session_.Catalog().SetLocation(FromUtf8(Directory().string()));
        session_.Catalog().SetExclusive(exclusive);
        if (session_.OpenDb() != 0)
            std::abort();
        if (create)
            Create();
        const int rltnIdx =
            session_.Catalog().OpenTable(u"Bench", {}, kRightsWrite, false, false, false);
        if (rltnIdx <= 0)
            std::abort();
        table_ = dynamic_cast<TTdbBaseTable*>(session_.Catalog().GetRelation(rltnIdx));
        record_.resize(static_cast<std::size_t>(table_->GetRecordSize()));
    }
    ~TReader() { session_.Uninitialize(); }

    void ReadAll() {
        for (std::int32_t recNo = 1; recNo <= kRecords; ++recNo)
            if (table_->ReadRecord(recNo, record_) != 0)
                std::abort();
        benchmark::DoNotOptimize(record_.data());
    }

private:
    void Create() {
        TTdbCreateTableArgs args;
        args.StoragePath = u"Bench";
        args.Capacity = kRecords;
        args.ColumnDefs.Add(TTdbColumnDef::CreateColumnDef(
            u"Code", TTdbDataType::GetDataType(ctInteger, false), 0));
        args.ColumnDefs.Add(TTdbColumnDef::CreateStringColumnDef(
            u"Name", TTdbDataType::GetStringType(ctWideString, false, 38, u"Hungarian"), 0,
            u"Hungarian"));
        if (session_.Catalog().CreateTable(args) != 0)
            std::abort();
        const int rltnIdx =
            session_.Catalog().OpenTable(u"Bench", {}, kRightsWrite, false, false, false);
        auto& table = dynamic_cast<TTdbBaseTable&>(*session_.Catalog().GetRelation(rltnIdx));
        std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
        for (std::int32_t n = 0; n < kRecords; ++n) {
            table.InitRecord(record, false);
            table.Access().SetInt32(record, 1, 1000 + n, false);
            table.Access().SetWideString(record, 2, u"Település " + NumberText(n), false);
            if (table.AppendRecordDirect(record) < 1)
                std::abort();
        }
        session_.Catalog().CloseRelation(rltnIdx);
    }

    TTdbLocalSession session_;
    TTdbBaseTable* table_ = nullptr;
    std::vector<std::byte> record_;
};

void EnsureTable() {
    static const bool made = [] {
        TReader creator(true, true);
        return true;
    }();
    benchmark::DoNotOptimize(made);
}

// Another process with the table open: idle, or reading it over and over. Forked before this
// process opens anything, so that no engine thread is cut off in the child.
class TOtherProcess {
public:
    explicit TOtherProcess(bool reading) {
        int ready[2];
        if (::pipe(ready) != 0)
            std::abort();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            TReader reader(false);
            const char byte = 1;
            if (::write(ready[1], &byte, 1) != 1)
                std::_Exit(1);
            for (;;) {
                if (reading)
                    reader.ReadAll();
                else
                    ::pause();
            }
        }
        ::close(ready[1]);
        char byte = 0;
        if (::read(ready[0], &byte, 1) != 1)
            std::abort();
        ::close(ready[0]);
    }
    ~TOtherProcess() {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }

private:
    pid_t pid_ = -1;
};

// Runs the reads and reports them as items and as microseconds per read.
void MeasureReads(benchmark::State& state, TReader& reader) {
    std::chrono::steady_clock::duration spent{};
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        reader.ReadAll();
        spent += std::chrono::steady_clock::now() - start;
    }
    const double reads = static_cast<double>(state.iterations()) * kRecords;
    state.SetItemsProcessed(static_cast<std::int64_t>(reads));
    state.counters["us_per_read"] =
        std::chrono::duration<double, std::micro>(spent).count() / reads;
}

void BM_ReadsExclusive(benchmark::State& state) {
    EnsureTable();
    TReader reader(true);
    MeasureReads(state, reader);
}
BENCHMARK(BM_ReadsExclusive)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadsSharedWithAnotherProcessAttached(benchmark::State& state) {
    EnsureTable();
    TOtherProcess other(false);
    TReader reader(false);
    MeasureReads(state, reader);
}
BENCHMARK(BM_ReadsSharedWithAnotherProcessAttached)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadsSharedWhileAnotherProcessReads(benchmark::State& state) {
    EnsureTable();
    TOtherProcess other(true);
    TReader reader(false);
    MeasureReads(state, reader);
}
BENCHMARK(BM_ReadsSharedWhileAnotherProcessReads)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tdb
