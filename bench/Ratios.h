// Ratios against a baseline measured in the same process: a baseline
// benchmark records its wall time per iteration under a name, and a
// benchmark run against it reports x_<name>, its own time divided by the
// baseline's. Baselines are kept per thread count (threads contend in the
// kernel too); the baseline must run first. Only thread 0 reports.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <string>

namespace ratios {

// Wall nanoseconds per iteration of each baseline's last run, by key.
inline std::map<std::string, double> baselineNs;

template <class Body>
double NsPerIteration(benchmark::State& state, Body body) {
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        body();
    std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / static_cast<double>(state.iterations());
}

inline std::string Key(const benchmark::State& state, const std::string& name) {
    return name + "/" + std::to_string(state.threads());
}

}  // namespace ratios

template <class Body>
void RunBaseline(benchmark::State& state, const std::string& name, Body body) {
    const double ns = ratios::NsPerIteration(state, body);
    if (state.thread_index() == 0)
        ratios::baselineNs[ratios::Key(state, name)] = ns;
}

// Runs body and, when the baseline ran, reports the ratio to it.
template <class Body>
void RunAgainst(benchmark::State& state, const std::string& baseline, Body body) {
    const double ns = ratios::NsPerIteration(state, body);
    auto found = ratios::baselineNs.find(ratios::Key(state, baseline));
    if (state.thread_index() == 0 && found != ratios::baselineNs.end())
        state.counters["x_" + baseline] = ns / found->second;
}
