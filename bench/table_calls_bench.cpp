// What the call interface adds to an accessor: the six lookup workloads of the accessor
// benchmark at 100 000 records, each run through a table handle and, beside it on the same
// table, through an accessor of the engine.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "api/call_interface.h"
#include "api/handles.h"
#include "engine/accessor.h"
#include "postal_table.h"
#include "process_directory.h"
#include "timed_beside.h"

namespace tdb {
namespace {

using bench::RowAt;

constexpr std::int32_t kRows = 100000;

// The postal table opened through the call interface, with a cursor on it and an accessor of
// the same relation beside it.
class TApiPostal {
public:
    TApiPostal() {
        const std::filesystem::path directory = bench::MakeProcessDirectory("table_calls_bench");
        const std::u16string location = FromUtf8(directory.string());
        FSessHdl = api::TdbCreateSession(u"");
        if (FSessHdl <= 0 ||
            api::TdbSessOpenDb(FSessHdl, location.c_str(), u"", u"", 0, api::kTdbDbExclusive) != 0)
            std::abort();
        TTdbLocalSession& session = *api::ClassifySession(FSessHdl).Local;
        bench::CreatePostalTable(session, u"Postal", kRows);
        FRltnHdl = api::TdbSessOpenTable(
            FSessHdl, u"Postal", u"", api::kTdbRightsWrite | api::kTdbRightExclusive, false, false);
        FTableHdl = api::TdbTableCreate(FRltnHdl, u"VCLTable_For_Postal");
        if (FRltnHdl <= 0 || FTableHdl <= 0)
            std::abort();
        FRelation = api::ClassifyRelation(FRltnHdl).Relation;
        FByName = FRelation->FindIndexByName(u"ByName");
        FAccessor = std::make_unique<TTdbAccessor>(*FRelation);
        FRecord.resize(static_cast<std::size_t>(FRelation->GetRecordSize()));
        FUpper.resize(FRecord.size());
        FKey.resize(static_cast<std::size_t>(FRelation->GetIndexFile(FByName)->IndSize()));
    }
    ~TApiPostal() {
        FAccessor.reset();
        api::TdbSessDelete(FSessHdl);
    }

    std::int16_t Hdl() const { return FTableHdl; }
    TTdbRelation& Relation() { return *FRelation; }
    TTdbAccessor& Accessor() { return *FAccessor; }
    TTdbIndexNo ByName() const { return FByName; }
    std::vector<std::byte>& Record() { return FRecord; }
    std::int32_t RecordSize() const { return static_cast<std::int32_t>(FRecord.size()); }

    // A record image holding only the name, as a client fills one for a search.
    std::vector<std::byte>& NameRecord(const std::u16string& name, std::vector<std::byte>& image) {
        FRelation->InitRecord(image, false);
        FRelation->Access().SetWideString(image, 2, name, false);
        return image;
    }
    std::vector<std::byte>& Upper() { return FUpper; }
    std::span<const std::byte> NameKey(const std::u16string& name) {
        NameRecord(name, FRecord);
        const TTdbIndexFile& index = *FRelation->GetIndexFile(FByName);
        FRelation->Keys().CalcIndexInfo(index.IndexDef(), FRecord, 0, FKey);
        return FKey;
    }
    // Every record the cursor lets through, each copied out as a client does.
    void ReadAll() {
        for (std::int16_t r = api::TdbTableFirst(FTableHdl); r >= 0;
             r = api::TdbTableMoveBy(FTableHdl, 1)) {
            api::TdbTableGetRecord(FTableHdl, FRecord.data(), RecordSize());
            benchmark::DoNotOptimize(FRecord.data());
        }
    }

private:
    std::int16_t FSessHdl = 0;
    std::int16_t FRltnHdl = 0;
    std::int16_t FTableHdl = 0;
    TTdbRelation* FRelation = nullptr;
    TTdbIndexNo FByName = -1;
    std::unique_ptr<TTdbAccessor> FAccessor;
    std::vector<std::byte> FRecord;
    std::vector<std::byte> FUpper;
    std::vector<std::byte> FKey;
};

TApiPostal& Postal() {
    static TApiPostal postal;
    return postal;
}

void ReadAll(TTdbAccessor& accessor, std::vector<std::byte>& record) {
    for (std::int16_t step = accessor.First(); step == 0; step = accessor.Next()) {
        accessor.GetRecord(record);
        benchmark::DoNotOptimize(record.data());
    }
}

// Random names for both sides, each side its own: a name one side just searched would find the
// other side's pages in the cache.
class TNames {
public:
    explicit TNames(std::uint32_t seed) : FApi(seed), FEngine(seed + 1000) {}
    const std::u16string& Api() { return Draw(FApi); }
    const std::u16string& Engine() { return Draw(FEngine); }

private:
    const std::u16string& Draw(std::mt19937& random) {
        FName = RowAt(std::uniform_int_distribution<std::int32_t>(0, kRows - 1)(random)).Name;
        return FName;
    }
    std::mt19937 FApi;
    std::mt19937 FEngine;
    std::u16string FName;
};

// Ours, then the peer, once per iteration.
template <typename Ours, typename Peer>
void Beside(benchmark::State& state, double opsPerIteration, Ours&& ours, Peer&& peer) {
    bench::TimeBeside(state, opsPerIteration, "accessor", std::forward<Ours>(ours),
                      std::forward<Peer>(peer));
}

void BM_ApiNearestSearchWhileTyping(benchmark::State& state) {
    TApiPostal& postal = Postal();
    postal.Accessor().SetAccess(postal.ByName(), false);
    std::vector<std::byte> image(postal.Record().size());
    TNames names(3);
    Beside(
        state, 1,
        [&] {
            const std::u16string& name = names.Api();
            for (std::size_t length = 1; length <= std::min<std::size_t>(name.size(), 8);
                 ++length) {
                bool exact = false;
                postal.NameRecord(name.substr(0, length), image);
                benchmark::DoNotOptimize(api::TdbTableLocateRec2(
                    postal.Hdl(), u"ByName", image.data(), postal.RecordSize(), 1, exact));
            }
        },
        [&] {
            const std::u16string& name = names.Engine();
            for (std::size_t length = 1; length <= std::min<std::size_t>(name.size(), 8);
                 ++length) {
                bool exact = false;
                benchmark::DoNotOptimize(postal.Accessor().LocateRecord2(
                    postal.ByName(), postal.NameKey(name.substr(0, length)), 1, exact));
            }
        });
}

void BM_ApiWindowOf20InNameOrder(benchmark::State& state) {
    TApiPostal& postal = Postal();
    api::TdbTableSetIndex(postal.Hdl(), u"ByName", false);
    postal.Accessor().SetAccess(postal.ByName(), false);
    std::vector<std::byte> image(postal.Record().size());
    TNames names(5);
    Beside(
        state, 1,
        [&] {
            bool exact = false;
            postal.NameRecord(names.Api(), image);
            api::TdbTableLocateRec2(postal.Hdl(), u"ByName", image.data(), postal.RecordSize(), 1,
                                    exact);
            for (int row = 0; row < 20; ++row) {
                api::TdbTableGetRecord(postal.Hdl(), postal.Record().data(), postal.RecordSize());
                if (api::TdbTableMoveBy(postal.Hdl(), 1) != 0)
                    break;
            }
        },
        [&] {
            bool exact = false;
            TTdbAccessor& accessor = postal.Accessor();
            accessor.LocateRecord2(postal.ByName(), postal.NameKey(names.Engine()), 1, exact);
            for (int row = 0; row < 20; ++row) {
                accessor.GetRecord(image);
                if (accessor.Next() != 0)
                    break;
            }
        });
}

void BM_ApiFullScanInNameOrder(benchmark::State& state) {
    TApiPostal& postal = Postal();
    api::TdbTableSetIndex(postal.Hdl(), u"ByName", false);
    postal.Accessor().SetAccess(postal.ByName(), false);
    std::vector<std::byte> image(postal.Record().size());
    Beside(
        state, kRows, [&] { postal.ReadAll(); }, [&] { ReadAll(postal.Accessor(), image); });
}

void BM_ApiPrefixRange(benchmark::State& state) {
    TApiPostal& postal = Postal();
    api::TdbTableSetIndex(postal.Hdl(), u"ByName", false);
    std::vector<std::byte> lower(postal.Record().size());
    std::vector<std::byte> image(postal.Record().size());
    TNames names(7);
    Beside(
        state, 1,
        [&] {
            const std::u16string prefix = names.Api().substr(0, 3);
            postal.NameRecord(prefix, lower);
            postal.NameRecord(prefix + u"\uFFFF", postal.Upper());
            api::TdbTableSetRange(postal.Hdl(), lower.data(), postal.Upper().data(),
                                  postal.RecordSize(), 1, 1);
            postal.ReadAll();
        },
        [&] {
            const std::u16string prefix = names.Engine().substr(0, 3);
            postal.Accessor().SetRange(postal.ByName(), prefix, prefix + u"\uFFFF", u';');
            ReadAll(postal.Accessor(), image);
        });
    api::TdbTableClearRange(postal.Hdl());
    postal.Accessor().ClearRange();
}

void BM_ApiFullScanFilter(benchmark::State& state) {
    TApiPostal& postal = Postal();
    constexpr const char16_t* kCondition = u"Code BETWEEN 7000 AND 7999";
    api::TdbTableSetIndex(postal.Hdl(), u"", false);
    if (api::TdbTableSetSQLFilter(postal.Hdl(), kCondition, 15, false) != 0)
        std::abort();
    TTdbAccessor& accessor = postal.Accessor();
    accessor.SetAccess(kTdbAccessRecordNo, false);
    accessor.SetFilter(postal.Relation().Services().CreateCondition(kCondition, tesTableSQL,
                                                                    postal.Relation().GetLevel()));
    std::vector<std::byte> image(postal.Record().size());
    Beside(
        state, kRows, [&] { postal.ReadAll(); }, [&] { ReadAll(accessor, image); });
    accessor.SetFilter(nullptr);
    api::TdbTableSetSQLFilter(postal.Hdl(), u"", 15, false);
}

void BM_ApiSingleRecordEditWithIndex(benchmark::State& state) {
    TApiPostal& postal = Postal();
    api::TdbTableSetIndex(postal.Hdl(), u"", false);
    TTdbAccessor& accessor = postal.Accessor();
    accessor.SetAccess(kTdbAccessRecordNo, false);
    std::mt19937 random(9);
    const auto draw = [&] {
        return std::pair(
            std::uniform_int_distribution<std::int32_t>(1, kRows)(random),
            RowAt(std::uniform_int_distribution<std::int32_t>(0, kRows - 1)(random)).Name);
    };
    Beside(
        state, 1,
        [&] {
            const auto [recNo, name] = draw();
            const std::int16_t hdl = postal.Hdl();
            if (api::TdbTableSetRecNo(hdl, recNo) != recNo || api::TdbTableEdit(hdl) != 0 ||
                api::TdbTableGetRecord(hdl, postal.Record().data(), postal.RecordSize()) != 0)
                std::abort();
            postal.Relation().Access().SetWideString(postal.Record(), 2, name, false);
            if (api::TdbTableSetRecord(hdl, postal.Record().data(), postal.RecordSize()) != 0 ||
                api::TdbTableEditConfirm(hdl) != 0 || postal.Relation().Flush(false) != 0)
                std::abort();
        },
        [&] {
            const auto [recNo, name] = draw();
            if (accessor.GotoRecord(recNo) != 0 || accessor.Edit() != 0)
                std::abort();
            postal.Relation().Access().SetWideString(accessor.RecordPtr(), 2, name, false);
            if (accessor.Post() != 0 || postal.Relation().Flush(false) != 0)
                std::abort();
        });
}

void Timed(benchmark::internal::Benchmark* benchmark) {
    benchmark->UseManualTime()->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_ApiNearestSearchWhileTyping)->Apply(Timed);
BENCHMARK(BM_ApiWindowOf20InNameOrder)->Apply(Timed);
BENCHMARK(BM_ApiFullScanInNameOrder)->Apply(Timed)->Iterations(5);
BENCHMARK(BM_ApiPrefixRange)->Apply(Timed);
BENCHMARK(BM_ApiFullScanFilter)->Apply(Timed)->Iterations(5);
BENCHMARK(BM_ApiSingleRecordEditWithIndex)->Apply(Timed);

}  // namespace
}  // namespace tdb
