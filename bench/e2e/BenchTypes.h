// What a workload is asked to do (BenchConfig) and what it measured
// (PhaseResult): shared by the NFS client side and the local-file-system side
// of lume_nfs_bench.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace lumebench {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kSmallIo = 4096;

struct BenchConfig {
    std::string workload;  // null, seqwrite, ..., restart, clients, smallfiles, bigtree, ...
    std::string url;       // nfs://... (NFS mode)
    std::string localDir;  // set: the same workload with POSIX calls in this directory
    std::string file = "lume-bench.dat";  // seqwrite/seqread/randread data file
    int depth = 1;                        // calls kept in flight (threads in local mode)
    double seconds = 5;                   // length of the timed workloads (null, randread)
    double capSeconds = 120;              // upper bound on any one phase of the counted workloads
    uint64_t sizeBytes = 256 * kMiB;      // seqwrite file size
    uint64_t files = 10000;               // meta: files in the directory; tree: files per directory
    uint64_t dirs = 1;                    // tree, bigtree: directories of the tree
    uint64_t fileBytes = 0;               // tree: bytes written to each file
    int clients = 16;                     // clients: connections, each with one call in flight
    double sinceMicros = 0;               // firstcall: when the server was started (epoch, µs)
};

// One measured phase: `ops` operations (or bytes, for MiB/s) in `seconds`.
// `complete` is false when a counted phase hit its time cap first.
struct PhaseResult {
    std::string name;
    uint64_t ops = 0;
    double seconds = 0;
    double value = 0;
    std::string unit;
    bool complete = true;
};

using Results = std::vector<PhaseResult>;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline Clock::time_point After(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// A phase of `ops` operations measured from `start` to now.
inline PhaseResult OpsPhase(const std::string& name, uint64_t ops, uint64_t wanted,
                            Clock::time_point start) {
    PhaseResult r;
    r.name = name;
    r.ops = ops;
    r.seconds = SecondsSince(start);
    r.value = r.seconds > 0 ? ops / r.seconds : 0;
    r.unit = "ops/s";
    r.complete = ops == wanted;
    return r;
}

// A transfer phase: `chunks` of 1 MiB out of `wanted`, as MiB/s.
inline PhaseResult MiBPhase(const std::string& name, uint64_t chunks, uint64_t wanted,
                            Clock::time_point start) {
    PhaseResult r = OpsPhase(name, chunks, wanted, start);
    r.unit = "MiB/s";
    return r;
}

// Pseudo-random number `index` of a fixed sequence (splitmix64: the same
// sequence on every run and in both modes).
inline uint64_t Mix(uint64_t index) {
    uint64_t z = index + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Pseudo-random 4 KiB-aligned offset number `index` in a file of `blocks` blocks.
inline uint64_t RandomBlockOffset(uint64_t index, uint64_t blocks) {
    return (Mix(index) % blocks) * kSmallIo;
}

inline double MillisBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The p-quantile (0 < p <= 1, nearest rank) of `ms` as a phase in ms; sorts `ms`.
inline PhaseResult LatencyPhase(const std::string& name, std::vector<double>& ms, double p,
                                double seconds) {
    std::sort(ms.begin(), ms.end());
    PhaseResult r{name, ms.size(), seconds, 0, "ms", !ms.empty()};
    if (!ms.empty())
        r.value = ms[std::min(ms.size(), static_cast<size_t>(std::ceil(p * ms.size()))) - 1];
    return r;
}

// Name number `i` of a tree: f000123 (files), d0012 (directories).
inline std::string TreeName(char kind, uint64_t i) {
    char name[32];
    std::snprintf(name, sizeof name, kind == 'd' ? "d%04llu" : "f%06llu",
                  static_cast<unsigned long long>(i));
    return name;
}

// File names of the meta workload: f000000, f000001, ...
inline std::vector<std::string> MetaNames(uint64_t count) {
    std::vector<std::string> names;
    names.reserve(count);
    for (uint64_t i = 0; i < count; ++i)
        names.push_back(TreeName('f', i));
    return names;
}

}  // namespace lumebench
