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
//   churn     --files CREATE + REMOVE cycles in the directory --file, at most
//             50 files existing at once: cycles/s
//   tree, dropcache (local only)  make the tree --file; drop --file's
//             cached pages
//   storesize (local only)  the used size of the LMDB environment in the
//             --local directory: MiB
// Counted phases stop at --cap-seconds; `complete: false` says one did.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>
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
    "            smallfiles | bigtree | coldread | firstcall | churn | tree | dropcache |\n"
    "            storesize\n";

// A number above zero, as strtod reads it.
const CLI::Validator kPositive(
    [](std::string& text) {
        char* end = nullptr;
        const double number = std::strtod(text.c_str(), &end);
        return text.empty() || *end != '\0' || !(number > 0)
                   ? "wants a positive number, not '" + text + "'"
                   : std::string();
    },
    "N");

// Adds the numeric option `name`, whose value set() stores.
template <typename Set>
void AddNumber(CLI::App& app, const char* name, Set set) {
    app.add_option_function<double>(name, set)->check(kPositive);
}

BenchConfig ParseArguments(int argc, char** argv) {
    BenchConfig config;
    CLI::App app("lume_nfs_bench", "lume_nfs_bench");
    app.set_help_flag();
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--local", config.localDir);
    app.add_option("--file", config.file);
    AddNumber(app, "--depth", [&](double v) { config.depth = static_cast<int>(v); });
    AddNumber(app, "--seconds", [&](double v) { config.seconds = v; });
    AddNumber(app, "--cap-seconds", [&](double v) { config.capSeconds = v; });
    AddNumber(app, "--size-mib",
              [&](double v) { config.sizeBytes = static_cast<uint64_t>(v) * lumebench::kMiB; });
    AddNumber(app, "--files", [&](double v) { config.files = static_cast<uint64_t>(v); });
    AddNumber(app, "--dirs", [&](double v) { config.dirs = static_cast<uint64_t>(v); });
    AddNumber(app, "--file-bytes", [&](double v) { config.fileBytes = static_cast<uint64_t>(v); });
    AddNumber(app, "--clients", [&](double v) { config.clients = static_cast<int>(v); });
    AddNumber(app, "--since-us", [&](double v) { config.sinceMicros = v; });
    std::string first, second;
    app.add_option("WORKLOAD", first)->required();
    app.add_option("second", second);
    app.parse(argc, argv);
    // URL WORKLOAD, or WORKLOAD alone with --local.
    if (config.localDir.empty() == second.empty())
        throw std::invalid_argument("wrong number of arguments");
    config.url = second.empty() ? "" : first;
    config.workload = second.empty() ? first : second;
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
