// Timing a tree beside its std::map peer in one run: each round times the tree's part and then
// the map's on the same keys. The benchmark's own (manual) time is the tree's; the counters give
// both sides per operation and the ratio tree/map.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>

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

}  // namespace tdb::bench
