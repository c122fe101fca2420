// The B+ tree of a variable-size index file beside std::map holding the same 1,000,000 entries:
// the search window's prefix searches, its walks of 20 rows with FindNext, and random inserts.
// Each benchmark times the tree and the map on the same keys in the same run, in rounds of a few
// hundred operations: the benchmark's own time is the tree's per round, and the counters give
// both sides per operation (a walk's step) and the ratio tree/map.
//
// The entries are those a level-6 index on the settlement column stores: a 32-bit record number,
// a 16-bit length and the UTF-16 units of the name, only as many bytes as the name needs. They
// stand for an address table of a million records whose settlements spread as the postal-code
// list does: every record takes the name of a random row of data/irsz.csv, so a settlement gets
// records in proportion to its postal codes (Budapest with 161 codes about 4.5 %, a village with
// one code about 280). The million entries are distinct the way an index's entries are: equal
// names are ordered by record number. No names are invented (district suffixes and the like),
// since the real index meets only the settlement names and long runs of equal ones, which is
// what a tree of such an index must handle well. Record numbers ascend in insertion order, as
// records are appended, so a new entry lands at the end of its name's run.
//
// Names compare under the Hungarian collation, then by record number; the map compares its
// (name, record number) pairs the same way. The page size is the one an index file would take,
// TTdbBTree::CalcPageSizeFor for the largest entry (a name of 38 units) and a million entries,
// which gives 4096, well under the B+ tree's own limit. Equal entries are rejected, as index
// files do.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "postal_rows.h"
#include "base/byte_image.h"
#include "beside.h"
#include "scratch_storage.h"
#include "index/bplus_tree.h"
#include "index/btree.h"
#include "platform/text.h"
#include "types/collation.h"

namespace {

using TBytes = std::vector<std::byte>;

constexpr std::int32_t kEntries = 1000000;
constexpr int kBatch = 256;     // searches or inserts per timed round
constexpr int kWalkSteps = 20;  // the rows of the search window
constexpr int kWalksPerRound = 12;
constexpr std::int32_t kCacheKB = 512 * 1024;

// ---------------------------------------------------------------------------------------------
// Entries: record number, 16-bit length, the name's UTF-16 units.

constexpr std::size_t kNameRoom = 38;  // the settlement column's width
constexpr std::int32_t kMaxEntry = 4 + 2 + 2 * static_cast<std::int32_t>(kNameRoom);

TBytes EntryOf(std::u16string_view name, std::int32_t recNo) {
    const std::size_t length = std::min(name.size(), kNameRoom);
    TBytes e(6 + 2 * length);
    tdb::StoreLE<std::int32_t>(e.data(), recNo);
    tdb::StoreLE<std::uint16_t>(e.data() + 4, static_cast<std::uint16_t>(length));
    for (std::size_t i = 0; i < length; ++i) {
        tdb::StoreLE<std::uint16_t>(e.data() + 6 + 2 * i, static_cast<std::uint16_t>(name[i]));
    }
    return e;
}

std::int32_t RecNoOf(std::span<const std::byte> e) {
    return e.size() >= 4 ? tdb::LoadLE<std::int32_t>(e.data()) : 0;
}

// The tree hands in spans of the items' own sizes; the name is never read beyond them.
std::u16string_view NameOf(std::span<const std::byte> e, char16_t (&buffer)[kNameRoom]) {
    if (e.size() < 6) {
        return {};
    }
    const std::size_t length = std::min(
        {std::size_t{tdb::LoadLE<std::uint16_t>(e.data() + 4)}, kNameRoom, (e.size() - 6) / 2});
    for (std::size_t i = 0; i < length; ++i) {
        buffer[i] = static_cast<char16_t>(tdb::LoadLE<std::uint16_t>(e.data() + 6 + 2 * i));
    }
    return {buffer, length};
}

const tdb::TTdbCollation& Hungarian() {
    static const tdb::TTdbCollation& collation = tdb::TTdbCollation::Get(u"Hungarian");
    return collation;
}

bool EntryLess(std::span<const std::byte> a, std::span<const std::byte> b, bool& unique,
               tdb::TStrCmpOptions, const tdb::TTdbSortDef*) {
    const tdb::TTdbCollation& collation = Hungarian();
    char16_t ba[kNameRoom];
    char16_t bb[kNameRoom];
    const int c = collation.Compare(NameOf(a, ba), NameOf(b, bb), collation.Options());
    if (c != 0) {
        return c < 0;
    }
    unique = false;
    return RecNoOf(a) < RecNoOf(b);
}

// The map keeps the same entries in their natural C++ form.
using MapKey = std::pair<std::u16string, std::int32_t>;

struct MapLess {
    bool operator()(const MapKey& a, const MapKey& b) const {
        const tdb::TTdbCollation& collation = Hungarian();
        const int c = collation.Compare(a.first, b.first, collation.Options());
        return c != 0 ? c < 0 : a.second < b.second;
    }
};

using Map = std::map<MapKey, int, MapLess>;

MapKey MapKeyOf(std::span<const std::byte> e) {
    char16_t buffer[kNameRoom];
    return {std::u16string(NameOf(e, buffer)), RecNoOf(e)};
}

// ---------------------------------------------------------------------------------------------
// The settlement names: one per row of the postal-code list, and the distinct ones.

struct Settlements {
    std::vector<std::u16string> rows;
    std::vector<std::u16string> names;
};

Settlements LoadSettlements() {
    Settlements data;
    std::set<std::u16string> names;
    for (const tdb::bench::TPostalRow& row : tdb::bench::PostalRows()) {
        data.rows.push_back(row.Name);
        names.insert(row.Name);
    }
    data.names.assign(names.begin(), names.end());
    return data;
}

// ---------------------------------------------------------------------------------------------
// The tree in a scratch file and the map beside it.

class Setup {
public:
    Setup() : settlements_(LoadSettlements()) {
        tree_ = std::make_unique<tdb::TTdbBPlusTree>(scratch_.Storage(), 6, EntryLess);
        tree_->SetRejectEqual(true);
        tree_->New(tdb::TTdbBTree::CalcPageSizeFor(6, kMaxEntry, kEntries), nullptr);
        std::mt19937 random(42);
        while (nextRecNo_ <= kEntries) {
            const TBytes e = Fresh(random);
            if (!tree_->Insert(e)) {
                error_ = "Insert refused a new entry while building";
            }
            map_.emplace(MapKeyOf(e), 0);
        }
        tree_->Flush();
        // What the user typed: the first 1-4 letters of a settlement, with record number 0 so
        // that the search lands before the name's first entry.
        std::uniform_int_distribution<std::size_t> pick(0, settlements_.names.size() - 1);
        for (int i = 0; i < 4096; ++i) {
            const std::u16string& name = settlements_.names[pick(random)];
            const std::u16string prefix = name.substr(0, 1 + random() % 4);
            probes_.push_back(EntryOf(prefix, 0));
            mapProbes_.emplace_back(prefix, 0);
        }
        if (error_.empty()) {
            Verify();
        }
    }

    tdb::TTdbBPlusTree& Tree() { return *tree_; }
    Map& GetMap() { return map_; }
    const std::vector<TBytes>& Probes() const { return probes_; }
    const std::vector<MapKey>& MapProbes() const { return mapProbes_; }
    // Empty while the tree agrees with the map.
    const std::string& Error() const { return error_; }
    void SetError(std::string error) { error_ = std::move(error); }

    // A new record's entry: the name of a random row of the list, the next record number.
    TBytes Fresh(std::mt19937& random) {
        const std::u16string& name = settlements_.rows[random() % settlements_.rows.size()];
        TBytes e = EntryOf(name, nextRecNo_++);
        slottedBytes_ += static_cast<double>(e.size() + tdb::TTdbBPlusPage::kSlotSize);
        return e;
    }
    // What the entries handed out with their slots need, against the pages the tree takes.
    double Fill() {
        return slottedBytes_ / (static_cast<double>(tree_->GetPageCount()) * tree_->GetPageSize());
    }

private:
    // Timings of a tree that answers wrongly mean nothing: the count, the order and the first
    // walks of the probes must agree with the map.
    void Verify() {
        std::int32_t count = 0;
        std::int32_t wrongSort = 0;
        tree_->Check(count, wrongSort);
        if (tree_->GetItemCount() != kEntries || count != kEntries || wrongSort != 0) {
            error_ = "tree holds " + std::to_string(tree_->GetItemCount()) +
                     " items, Check walks " + std::to_string(count) + " with " +
                     std::to_string(wrongSort) + " out of order; the map holds " +
                     std::to_string(map_.size());
            return;
        }
        TBytes item(kMaxEntry);
        for (std::size_t p = 0; p < 256 && error_.empty(); ++p) {
            auto it = map_.lower_bound(mapProbes_[p]);
            int answer = tree_->Find(probes_[p], item);
            for (int step = 0; step <= kWalkSteps && it != map_.end(); ++step, ++it) {
                const std::span<const std::byte> got(
                    item.data(), static_cast<std::size_t>(tree_->LastItemSize()));
                if (answer != tdb::kTreeFound || MapKeyOf(got) != it->first) {
                    error_ = "probe " + std::to_string(p) + ", step " + std::to_string(step) +
                             ": the tree answers " + std::to_string(answer) + " with record " +
                             std::to_string(RecNoOf(got)) + ", the map has record " +
                             std::to_string(it->first.second);
                    break;
                }
                answer = tree_->FindNext(got, item);
            }
        }
    }

    Settlements settlements_;
    tdb::bench::TScratchStorage scratch_{u"bench.ind", kCacheKB};
    std::unique_ptr<tdb::TTdbBPlusTree> tree_;
    Map map_;
    std::vector<TBytes> probes_;
    std::vector<MapKey> mapProbes_;
    std::int32_t nextRecNo_ = 1;
    double slottedBytes_ = 0;
    std::string error_;
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

bool Usable(benchmark::State& state, const Setup& setup) {
    if (!setup.Error().empty()) {
        state.SkipWithError(setup.Error().c_str());
        return false;
    }
    return true;
}

void BM_BPlusTreePrefixFind(benchmark::State& state) {
    Setup& setup = TheSetup();
    if (!Usable(state, setup)) {
        return;
    }
    TBytes out(kMaxEntry);
    tdb::bench::FindRounds(state, kBatch, setup.Tree(), setup.GetMap(), setup.Probes(),
                           setup.MapProbes(), out);
    state.counters["height"] = setup.Tree().GetHeight();
    state.counters["pages"] = setup.Tree().GetPageCount();
    state.counters["fill"] = setup.Fill();
}
BENCHMARK(BM_BPlusTreePrefixFind)->UseManualTime();

// Only the steps are timed, each walk on its own, so the clock's cost falls on both sides alike;
// the search that starts a walk is the benchmark above.
void BM_BPlusTreeFindNext(benchmark::State& state) {
    Setup& setup = TheSetup();
    if (!Usable(state, setup)) {
        return;
    }
    tdb::TTdbBPlusTree& tree = setup.Tree();
    Map& map = setup.GetMap();
    const auto& probes = setup.Probes();
    const auto& mapProbes = setup.MapProbes();
    TBytes walk(kMaxEntry);
    std::size_t next = 0;
    double steps = 0;
    tdb::bench::TBeside beside;
    for (auto _ : state) {
        double roundSeconds = 0;
        for (int w = 0; w < kWalksPerRound; ++w) {
            tree.Find(probes[next % probes.size()], walk);
            auto it = map.lower_bound(mapProbes[next % mapProbes.size()]);
            ++next;
            int taken = 0;
            roundSeconds += beside.Time(
                [&] {
                    for (; taken < kWalkSteps; ++taken) {
                        const std::span<const std::byte> got(
                            walk.data(), static_cast<std::size_t>(tree.LastItemSize()));
                        if (tree.FindNext(got, walk) != tdb::kTreeFound) {
                            break;
                        }
                    }
                },
                [&] {
                    for (int i = 0; i < taken && ++it != map.end(); ++i) {
                        benchmark::DoNotOptimize(it);
                    }
                });
            steps += taken;
        }
        state.SetIterationTime(roundSeconds);
    }
    beside.Report(state, steps);
}
BENCHMARK(BM_BPlusTreeFindNext)->UseManualTime();

void BM_BPlusTreeInsert(benchmark::State& state) {
    Setup& setup = TheSetup();
    if (!Usable(state, setup)) {
        return;
    }
    std::mt19937 random(99);
    const std::int64_t refused = tdb::bench::InsertRounds(
        state, kBatch, setup.Tree(), setup.GetMap(), [&] { return setup.Fresh(random); },
        MapKeyOf);
    if (refused != 0) {
        setup.SetError("Insert refused " + std::to_string(refused) + " new entries");
        state.SkipWithError(setup.Error().c_str());
    }
}
BENCHMARK(BM_BPlusTreeInsert)->UseManualTime()->Iterations(400);

}  // namespace
