// Timing our side and its peer once per iteration of a benchmark: the benchmark's own (manual)
// time is ours; the counters give both per operation, in microseconds, and the ratio.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

namespace tdb::bench {

// PeerName names the peer's counter ("sqlite" gives "sqlite_us/op" and "ours/sqlite").
template <typename Ours, typename Peer>
void TimeBeside(benchmark::State& state, double opsPerIteration, const std::string& peerName,
                Ours&& ours, Peer&& peer) {
    using Clock = std::chrono::steady_clock;
    Clock::duration spentOurs{};
    Clock::duration spentPeer{};
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        ours();
        const Clock::time_point t1 = Clock::now();
        peer();
        const Clock::time_point t2 = Clock::now();
        spentOurs += t1 - t0;
        spentPeer += t2 - t1;
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    const double ops = static_cast<double>(state.iterations()) * opsPerIteration;
    const double usOurs = std::chrono::duration<double, std::micro>(spentOurs).count() / ops;
    const double usPeer = std::chrono::duration<double, std::micro>(spentPeer).count() / ops;
    state.counters["us/op"] = usOurs;
    state.counters[peerName + "_us/op"] = usPeer;
    state.counters["ours/" + peerName] = usOurs / usPeer;
}

}  // namespace tdb::bench
