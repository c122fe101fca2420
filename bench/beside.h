// Timing a tree beside its std::map peer in one run: each round times the tree's part and then
// the map's on the same keys. The benchmark's own (manual) time is the tree's; the counters give
// both sides per operation and the ratio tree/map.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tdb::bench {

class TBeside {
public:
    // Runs TreePart, then MapPart; adds up both times and answers the tree's.
    template <typename TreePart, typename MapPart>
    double Time(TreePart&& treePart, MapPart&& mapPart) {
        const Clock::time_point t0 = Clock::now();
        treePart();
        const Clock::time_point t1 = Clock::now();
        mapPart();
        const Clock::time_point t2 = Clock::now();
        const double tree = Seconds(t0, t1);
        FTreeSeconds += tree;
        FMapSeconds += Seconds(t1, t2);
        return tree;
    }

    // Ops: the operations each side did in all.
    void Report(benchmark::State& state, double ops) const {
        state.counters["tree_ns/op"] = FTreeSeconds * 1e9 / ops;
        state.counters["map_ns/op"] = FMapSeconds * 1e9 / ops;
        state.counters["tree/map"] = FTreeSeconds / FMapSeconds;
        state.SetItemsProcessed(static_cast<std::int64_t>(ops));
    }

private:
    using Clock = std::chrono::steady_clock;

    static double Seconds(Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double>(to - from).count();
    }

    double FTreeSeconds = 0;
    double FMapSeconds = 0;
};

// Rounds of Batch searches: the tree's Find beside the map's lower_bound, on the same probes.
template <typename Tree, typename Map, typename Probes, typename MapProbes>
void FindRounds(benchmark::State& state, int batch, Tree& tree, const Map& map,
                const Probes& probes, const MapProbes& mapProbes, std::span<std::byte> out) {
    const auto size = static_cast<std::size_t>(batch);
    std::size_t next = 0;
    TBeside beside;
    for (auto _ : state) {
        state.SetIterationTime(beside.Time(
            [&] {
                for (std::size_t i = next; i < next + size; ++i) {
                    benchmark::DoNotOptimize(tree.Find(probes[i % probes.size()], out));
                }
            },
            [&] {
                for (std::size_t i = next; i < next + size; ++i) {
                    benchmark::DoNotOptimize(map.lower_bound(mapProbes[i % mapProbes.size()]));
                }
            }));
        next += size;
    }
    beside.Report(state, static_cast<double>(state.iterations()) * batch);
}

// Rounds of Batch new entries inserted into both: Make gives the next entry, MapKeyOf its key
// in the map. Answers how many the tree refused.
template <typename Tree, typename Map, typename Make, typename MapKeyOf>
std::int64_t InsertRounds(benchmark::State& state, int batch, Tree& tree, Map& map, Make make,
                          MapKeyOf mapKeyOf) {
    std::vector<decltype(make())> entries(static_cast<std::size_t>(batch));
    std::vector<decltype(mapKeyOf(entries[0]))> mapKeys(entries.size());
    std::int64_t refused = 0;
    TBeside beside;
    for (auto _ : state) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            entries[i] = make();
            mapKeys[i] = mapKeyOf(entries[i]);
        }
        state.SetIterationTime(beside.Time(
            [&] {
                for (const auto& entry : entries) {
                    refused += tree.Insert(entry) ? 0 : 1;
                }
            },
            [&] {
                for (const auto& key : mapKeys) {
                    map.emplace(key, 0);
                }
            }));
    }
    beside.Report(state, static_cast<double>(state.iterations()) * batch);
    return refused;
}

}  // namespace tdb::bench
