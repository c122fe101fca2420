// The B-tree of an index file beside std::map holding the same 1,000,000 entries: random
// searches, walks with FindNext and random inserts, for 32-bit integer keys and 40-byte UTF-16
// string keys under the built-in collation. Each benchmark times the tree and the map on the same
// keys in the same run, in rounds of a few hundred operations: the benchmark's own time is the
// tree's per round, and the counters give both sides per operation and the ratio tree/map.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/byte_image.h"
#include "beside.h"
#include "scratch_storage.h"
#include "index/btree.h"
#include "types/collation.h"

namespace {

constexpr std::int32_t kEntries = 1000000;
constexpr int kBatch = 256;  // operations per timed round
constexpr std::int32_t kCacheKB = 512 * 1024;

// ---------------------------------------------------------------------------------------------
// Integer keys: record number, then the key.

constexpr std::int32_t kIntEntry = 8;

bool IntLess(std::span<const std::byte> a, std::span<const std::byte> b, bool& unique,
             tdb::TStrCmpOptions, const tdb::TTdbSortDef*) {
    const auto ka = tdb::LoadLE<std::int32_t>(a.data() + 4);
    const auto kb = tdb::LoadLE<std::int32_t>(b.data() + 4);
    if (ka != kb) {
        return ka < kb;
    }
    unique = false;
    return tdb::LoadLE<std::int32_t>(a.data()) < tdb::LoadLE<std::int32_t>(b.data());
}

// ---------------------------------------------------------------------------------------------
// String keys: record number, a 16-bit length and up to 17 UTF-16 units: 40 bytes.

constexpr std::int32_t kStringEntry = 40;
constexpr std::size_t kStringRoom = 17;

std::u16string_view StringKey(std::span<const std::byte> e, char16_t (&buffer)[kStringRoom]) {
    const std::size_t length =
        std::min<std::size_t>(tdb::LoadLE<std::uint16_t>(e.data() + 4), kStringRoom);
    for (std::size_t i = 0; i < length; ++i) {
        buffer[i] = static_cast<char16_t>(tdb::LoadLE<std::uint16_t>(e.data() + 6 + 2 * i));
    }
    return {buffer, length};
}

bool StringLess(std::span<const std::byte> a, std::span<const std::byte> b, bool& unique,
                tdb::TStrCmpOptions, const tdb::TTdbSortDef*) {
    static const tdb::TTdbCollation& collation = tdb::TTdbCollation::BuiltIn();
    char16_t ba[kStringRoom];
    char16_t bb[kStringRoom];
    const int c = collation.Compare(StringKey(a, ba), StringKey(b, bb), collation.Options());
    if (c != 0) {
        return c < 0;
    }
    unique = false;
    return tdb::LoadLE<std::int32_t>(a.data()) < tdb::LoadLE<std::int32_t>(b.data());
}

std::u16string RandomText(std::mt19937& random) {
    static const std::u16string letters = u"abcdefghijklmnopqrstuvwxyzáéíóöőúüű";
    std::u16string text(8 + random() % 10, u'a');
    for (char16_t& c : text) {
        c = letters[random() % letters.size()];
    }
    return text;
}

// ---------------------------------------------------------------------------------------------
// The tree in a scratch file and the map beside it.

// The map peers keep the same entries in their natural C++ form: (key, record number) pairs.
using IntMapKey = std::pair<std::int32_t, std::int32_t>;
using StringMapKey = std::pair<std::u16string, std::int32_t>;

IntMapKey IntMapKeyOf(const std::vector<std::byte>& e) {
    return {tdb::LoadLE<std::int32_t>(e.data() + 4), tdb::LoadLE<std::int32_t>(e.data())};
}

StringMapKey StringMapKeyOf(const std::vector<std::byte>& e) {
    char16_t buffer[kStringRoom];
    return {std::u16string(StringKey(e, buffer)), tdb::LoadLE<std::int32_t>(e.data())};
}

// The collation the tree compares with, on the map's strings.
struct StringMapLess {
    bool operator()(const StringMapKey& a, const StringMapKey& b) const {
        static const tdb::TTdbCollation& collation = tdb::TTdbCollation::BuiltIn();
        const int c = collation.Compare(a.first, b.first, collation.Options());
        return c != 0 ? c < 0 : a.second < b.second;
    }
};

// The tree in a scratch file, the map beside it, and search probes.
template <typename MapKey, typename MapLess>
class Setup {
public:
    using Map = std::map<MapKey, int, MapLess>;
    using Make = std::vector<std::byte> (*)(std::mt19937&, std::int32_t);
    using ToMapKey = MapKey (*)(const std::vector<std::byte>&);

    Setup(std::int32_t entrySize, tdb::TTdbTreeLess less, Make make, ToMapKey toMapKey)
        : entrySize_(entrySize), make_(make), toMapKey_(toMapKey) {
        tree_ = std::make_unique<tdb::TTdbBTree>(scratch_.Storage(), 6, 6, std::move(less));
        tree_->SetItemSize(entrySize);
        tree_->New(tdb::TTdbBTree::CalcPageSizeFor(6, entrySize, kEntries), nullptr);
        std::mt19937 random(42);
        std::vector<std::vector<std::byte>> entries;
        while (map_.size() < static_cast<std::size_t>(kEntries)) {
            std::vector<std::byte> e = make_(random, nextRecNo_++);
            tree_->Insert(e);
            map_.emplace(toMapKey_(e), 0);
            entries.push_back(std::move(e));
        }
        tree_->Flush();
        // Probes just before random entries: the entry's key with record number 0.
        std::uniform_int_distribution<std::size_t> pick(0, entries.size() - 1);
        for (int i = 0; i < 4096; ++i) {
            std::vector<std::byte> probe = entries[pick(random)];
            tdb::StoreLE<std::int32_t>(probe.data(), 0);
            mapProbes_.push_back(toMapKey_(probe));
            probes_.push_back(std::move(probe));
        }
    }

    tdb::TTdbBTree& Tree() { return *tree_; }
    Map& GetMap() { return map_; }
    const std::vector<std::vector<std::byte>>& Probes() const { return probes_; }
    const std::vector<MapKey>& MapProbes() const { return mapProbes_; }
    std::int32_t EntrySize() const { return entrySize_; }
    std::vector<std::byte> Fresh(std::mt19937& random) { return make_(random, nextRecNo_++); }
    MapKey MapKeyOf(const std::vector<std::byte>& e) const { return toMapKey_(e); }

private:
    std::int32_t entrySize_;
    Make make_;
    ToMapKey toMapKey_;
    tdb::bench::TScratchStorage scratch_{u"bench.ind", kCacheKB};
    std::unique_ptr<tdb::TTdbBTree> tree_;
    Map map_;
    std::vector<std::vector<std::byte>> probes_;
    std::vector<MapKey> mapProbes_;
    std::int32_t nextRecNo_ = 1;
};

using IntSetupType = Setup<IntMapKey, std::less<IntMapKey>>;
using StringSetupType = Setup<StringMapKey, StringMapLess>;

std::vector<std::byte> MakeInt(std::mt19937& random, std::int32_t recNo) {
    std::vector<std::byte> e(kIntEntry);
    tdb::StoreLE<std::int32_t>(e.data(), recNo);
    tdb::StoreLE<std::int32_t>(e.data() + 4, static_cast<std::int32_t>(random()));
    return e;
}

std::vector<std::byte> MakeString(std::mt19937& random, std::int32_t recNo) {
    std::vector<std::byte> e(kStringEntry);
    const std::u16string text = RandomText(random);
    const std::size_t length = std::min(text.size(), kStringRoom);
    tdb::StoreLE<std::int32_t>(e.data(), recNo);
    tdb::StoreLE<std::uint16_t>(e.data() + 4, static_cast<std::uint16_t>(length));
    for (std::size_t i = 0; i < length; ++i) {
        tdb::StoreLE<std::uint16_t>(e.data() + 6 + 2 * i, static_cast<std::uint16_t>(text[i]));
    }
    return e;
}

IntSetupType& IntSetup() {
    static IntSetupType setup(kIntEntry, IntLess, MakeInt, IntMapKeyOf);
    return setup;
}

StringSetupType& StringSetup() {
    static StringSetupType setup(kStringEntry, StringLess, MakeString, StringMapKeyOf);
    return setup;
}

template <typename S>
void FindBeside(benchmark::State& state, S& setup) {
    std::vector<std::byte> out(static_cast<std::size_t>(setup.EntrySize()));
    tdb::bench::FindRounds(state, kBatch, setup.Tree(), setup.GetMap(), setup.Probes(),
                           setup.MapProbes(), out);
}

template <typename S>
void WalkBeside(benchmark::State& state, S& setup) {
    tdb::TTdbBTree& tree = setup.Tree();
    auto& map = setup.GetMap();
    const auto& probes = setup.Probes();
    const auto& mapProbes = setup.MapProbes();
    std::vector<std::byte> walk(static_cast<std::size_t>(setup.EntrySize()));
    std::size_t next = 0;
    tdb::bench::TBeside beside;
    for (auto _ : state) {
        tree.Find(probes[next % probes.size()], walk);
        auto it = map.lower_bound(mapProbes[next % mapProbes.size()]);
        ++next;
        state.SetIterationTime(beside.Time(
            [&] {
                for (int i = 0; i < kBatch; ++i) {
                    if (tree.FindNext(walk, walk) != tdb::kTreeFound) {
                        tree.FindFirst(walk);
                    }
                }
            },
            [&] {
                for (int i = 0; i < kBatch; ++i) {
                    if (++it == map.end()) {
                        it = map.begin();
                    }
                    benchmark::DoNotOptimize(it);
                }
            }));
    }
    beside.Report(state, static_cast<double>(state.iterations()) * kBatch);
}

template <typename S>
void InsertBeside(benchmark::State& state, S& setup) {
    std::mt19937 random(99);
    tdb::bench::InsertRounds(
        state, kBatch, setup.Tree(), setup.GetMap(), [&] { return setup.Fresh(random); },
        [&](const std::vector<std::byte>& e) { return setup.MapKeyOf(e); });
}

void BM_BTreeIntFind(benchmark::State& state) {
    FindBeside(state, IntSetup());
}
BENCHMARK(BM_BTreeIntFind)->UseManualTime();

void BM_BTreeIntFindNext(benchmark::State& state) {
    WalkBeside(state, IntSetup());
}
BENCHMARK(BM_BTreeIntFindNext)->UseManualTime();

void BM_BTreeIntInsert(benchmark::State& state) {
    InsertBeside(state, IntSetup());
}
BENCHMARK(BM_BTreeIntInsert)->UseManualTime()->Iterations(400);

void BM_BTreeStringFind(benchmark::State& state) {
    FindBeside(state, StringSetup());
}
BENCHMARK(BM_BTreeStringFind)->UseManualTime();

void BM_BTreeStringFindNext(benchmark::State& state) {
    WalkBeside(state, StringSetup());
}
BENCHMARK(BM_BTreeStringFindNext)->UseManualTime();

void BM_BTreeStringInsert(benchmark::State& state) {
    InsertBeside(state, StringSetup());
}
BENCHMARK(BM_BTreeStringInsert)->UseManualTime()->Iterations(400);

}  // namespace
