// lume_nfs_bench: end-to-end benchmark client of an NFSv3 server (libnfs,
// asynchronous calls kept `--depth` deep on one connection), or of the local
// file system with the same workloads (`--local DIR`, `--depth` threads), as
// the ceiling. One run prints one JSON line. What each workload measures:
//   null      NULL calls for --seconds: ops/s (round trip, no file system)
//   seqwrite  a file of --size-mib in 1 MiB UNSTABLE writes, then one COMMIT,
//             timed together: MiB/s (local: pwrite + fsync)
//   seqread   that file in 1 MiB reads: MiB/s
//   randread  4 KiB reads of that file at pseudo-random aligned offsets for
//             --seconds: ops/s
//   meta      --files files in a new directory: CREATE, LOOKUP (a stat by
//             name), GETATTR by handle, one READDIRPLUS listing
//             (entries/s), REMOVE: ops/s per phase
//   restart   4 KiB reads of --file through one handle, one at a time, for
//             --seconds while the server is restarted under it: the longest
//             pause between answered reads (ms) and the reads that failed
//   clients   --clients connections, each creating, writing, reading and
//             removing 4 KiB files for --seconds: ops/s and p99 latency (ms)
//   smallfiles  one 4 KiB READ of each of --files files of the tree --file
//             (opened beforehand): files/s
//   bigtree   LOOKUP of random names across the tree --file (--dirs x
//             --files), then GETATTR of the handles found: ops/s each
//   coldread  GETATTRs beside a READ stream of --file: their p99 (ms)
//   firstcall the first NULL and GETATTR answered after --since-us: ms
//   tree, dropcache (local only)  make the tree --file; drop --file's
//             cached pages
// Counted phases stop at --cap-seconds; `complete: false` says one did.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "bench/e2e/BenchTypes.h"
#include "bench/e2e/LocalWorkloads.h"
#include "bench/e2e/NfsWorkloads.h"

namespace {

using lumebench::BenchConfig;

const char kUsage[] =
    "usage: lume_nfs_bench (URL | --local DIR) WORKLOAD [--depth N] [--seconds S]\n"
    "                      [--size-mib N] [--files N] [--file NAME] [--cap-seconds S]\n"
    "                      [--dirs N] [--file-bytes N] [--clients N] [--since-us T]\n"
    "  URL       nfs://127.0.0.1/DIR?version=3&nfsport=P&mountport=P\n"
    "  WORKLOAD  null | seqwrite | seqread | randread | meta | restart | clients |\n"
    "            smallfiles | bigtree | coldread | firstcall | tree | dropcache\n";

double PositiveNumber(const std::string& name, const std::string& value) {
    char* end = nullptr;
    double number = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !(number > 0))
        throw std::invalid_argument(name + " wants a positive number, not '" + value + "'");
    return number;
}

// Applies option `name` with `value`; false when there is no such option.
bool ApplyOption(BenchConfig& config, const std::string& name, const std::string& value) {
    if (name == "--local")
        config.localDir = value;
    else if (name == "--file")
        config.file = value;
    else if (name == "--depth")
        config.depth = static_cast<int>(PositiveNumber(name, value));
    else if (name == "--seconds")
        config.seconds = PositiveNumber(name, value);
    else if (name == "--cap-seconds")
        config.capSeconds = PositiveNumber(name, value);
    else if (name == "--size-mib")
        config.sizeBytes = static_cast<uint64_t>(PositiveNumber(name, value)) * lumebench::kMiB;
    else if (name == "--files")
        config.files = static_cast<uint64_t>(PositiveNumber(name, value));
    else if (name == "--dirs")
        config.dirs = static_cast<uint64_t>(PositiveNumber(name, value));
    else if (name == "--file-bytes")
        config.fileBytes = static_cast<uint64_t>(PositiveNumber(name, value));
    else if (name == "--clients")
        config.clients = static_cast<int>(PositiveNumber(name, value));
    else if (name == "--since-us")
        config.sinceMicros = PositiveNumber(name, value);
    else
        return false;
    return true;
}

BenchConfig ParseArguments(int argc, char** argv) {
    BenchConfig config;
    std::string positional[2];
    int positionals = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) == 0) {
            if (i + 1 >= argc || !ApplyOption(config, arg, argv[i + 1]))
                throw std::invalid_argument("bad option " + arg);
            ++i;
        } else if (positionals < 2) {
            positional[positionals++] = arg;
        } else {
            throw std::invalid_argument("unexpected argument " + arg);
        }
    }
    int wanted = config.localDir.empty() ? 2 : 1;
    if (positionals != wanted)
        throw std::invalid_argument("wrong number of arguments");
    config.url = wanted == 2 ? positional[0] : "";
    config.workload = positional[wanted - 1];
    return config;
}

nlohmann::json ToJson(const BenchConfig& config, const lumebench::Results& results) {
    nlohmann::json phases = nlohmann::json::array();
    for (const lumebench::PhaseResult& r : results)
        phases.push_back({{"name", r.name},
                          {"value", r.value},
                          {"unit", r.unit},
                          {"ops", r.ops},
                          {"seconds", r.seconds},
                          {"complete", r.complete}});
    return {{"workload", config.workload},
            {"target", config.localDir.empty() ? "nfs" : "local"},
            {"depth", config.depth},
            {"results", phases}};
}

}  // namespace

int main(int argc, char** argv) {
    BenchConfig config;
    try {
        config = ParseArguments(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "lume_nfs_bench: " << e.what() << "\n" << kUsage;
        return 2;
    }
    try {
        lumebench::Results results = config.localDir.empty() ? lumebench::RunNfsWorkload(config)
                                                             : lumebench::RunLocalWorkload(config);
        std::cout << ToJson(config, results).dump() << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cout << nlohmann::json{{"workload", config.workload}, {"error", e.what()}}.dump()
                  << std::endl;
        return 1;
    }
}
