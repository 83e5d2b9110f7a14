#include "bench/e2e/NfsWorkloads.h"

#include <fcntl.h>
#include <nfsc/libnfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nfsc/libnfs-raw.h>

#include "bench/e2e/ChurnWorkload.h"
#include "bench/e2e/ManyClients.h"
#include "bench/e2e/NfsMount.h"
#include "bench/e2e/NfsPipeline.h"
#include "bench/e2e/StallWorkloads.h"
#include "bench/e2e/TreeWorkloads.h"

namespace lumebench {

namespace {

constexpr uint64_t kUnbounded = 1ull << 40;  // count bound of the timed workloads

std::string RootPath(const std::string& name) {
    return "/" + name;
}

Results NullCalls(nfs_context* nfs, const BenchConfig& config) {
    rpc_context* rpc = nfs_get_rpc_context(nfs);
    NfsPipeline pipeline(nfs, config.depth);
    Clock::time_point start = Clock::now();
    uint64_t ops = pipeline.Run(kUnbounded, After(config.seconds), [&](uint64_t, void* tag) {
        return rpc_nfs3_null_async(rpc, NfsPipeline::OnRpc, tag);
    });
    return {OpsPhase("null", ops, ops, start)};
}

// 1 MiB UNSTABLE writes of the whole file, then one COMMIT (nfs_fsync).
Results SeqWrite(nfs_context* nfs, const BenchConfig& config) {
    NfsFile file(nfs, RootPath(config.file), O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<char> chunk(kMiB, 'w');
    uint64_t chunks = config.sizeBytes / kMiB;
    NfsPipeline pipeline(nfs, config.depth);
    Clock::time_point start = Clock::now();
    uint64_t done = pipeline.Run(chunks, After(config.capSeconds), [&](uint64_t i, void* tag) {
        return nfs_pwrite_async(nfs, file.get(), i * kMiB, kMiB, chunk.data(), NfsPipeline::OnNfs,
                                tag);
    });
    if (nfs_fsync(nfs, file.get()) != 0)
        Fail(nfs, "commit");
    return {MiBPhase("seqwrite", done, chunks, start)};
}

// Reads the whole file in 1 MiB calls.
Results SeqRead(nfs_context* nfs, const BenchConfig& config) {
    NfsFile file(nfs, RootPath(config.file), O_RDONLY);
    uint64_t chunks = file.Size() / kMiB;
    if (chunks == 0)
        throw std::runtime_error(config.file + " is under 1 MiB: run seqwrite first");
    NfsPipeline pipeline(nfs, config.depth);
    Clock::time_point start = Clock::now();
    uint64_t done = pipeline.Run(chunks, After(config.capSeconds), [&](uint64_t i, void* tag) {
        return nfs_pread_async(nfs, file.get(), i * kMiB, kMiB, NfsPipeline::OnNfs, tag);
    });
    return {MiBPhase("seqread", done, chunks, start)};
}

// 4 KiB reads at pseudo-random aligned offsets for config.seconds.
Results RandRead(nfs_context* nfs, const BenchConfig& config) {
    NfsFile file(nfs, RootPath(config.file), O_RDONLY);
    uint64_t blocks = file.Size() / kSmallIo;
    if (blocks == 0)
        throw std::runtime_error(config.file + " is empty: run seqwrite first");
    NfsPipeline pipeline(nfs, config.depth);
    Clock::time_point start = Clock::now();
    uint64_t ops = pipeline.Run(kUnbounded, After(config.seconds), [&](uint64_t i, void* tag) {
        return nfs_pread_async(nfs, file.get(), RandomBlockOffset(i, blocks), kSmallIo,
                               NfsPipeline::OnNfs, tag);
    });
    return {OpsPhase("randread", ops, ops, start)};
}

// The meta workload's state: file names and the handles CREATE returned.
struct MetaRun {
    nfs_context* nfs;
    const BenchConfig& config;
    NfsPipeline pipeline;
    std::vector<std::string> names;
    std::vector<nfsfh*> handles;
    uint64_t created = 0;

    // Runs one call per file (at most `count`), each phase under the time cap.
    PhaseResult Phase(const std::string& name, uint64_t count, const NfsPipeline::Issue& issue,
                      const NfsPipeline::Done& done = {}) {
        Clock::time_point start = Clock::now();
        uint64_t ops = pipeline.Run(count, After(config.capSeconds), issue, done);
        return OpsPhase(name, ops, count, start);
    }

    void CloseHandles() {
        for (uint64_t i = 0; i < created; ++i)
            nfs_close(nfs, handles[i]);
    }
};

PhaseResult MetaCreate(MetaRun& run) {
    PhaseResult r = run.Phase(
        "create", run.names.size(),
        [&](uint64_t i, void* tag) {
            return nfs_creat_async(run.nfs, run.names[i].c_str(), 0644, NfsPipeline::OnNfs, tag);
        },
        [&](uint64_t i, void* data) { run.handles[i] = static_cast<nfsfh*>(data); });
    run.created = r.ops;
    return r;
}

PhaseResult MetaLookup(MetaRun& run) {
    return run.Phase("lookup", run.created, [&](uint64_t i, void* tag) {
        return nfs_stat64_async(run.nfs, run.names[i].c_str(), NfsPipeline::OnNfs, tag);
    });
}

PhaseResult MetaGetattr(MetaRun& run) {
    return run.Phase("getattr", run.created, [&](uint64_t i, void* tag) {
        return nfs_fstat64_async(run.nfs, run.handles[i], NfsPipeline::OnNfs, tag);
    });
}

// One listing of the directory (READDIRPLUS); the figure is entries per second.
PhaseResult MetaReaddirplus(MetaRun& run) {
    uint64_t entries = 0;
    Clock::time_point start = Clock::now();
    run.pipeline.Run(
        1, After(run.config.capSeconds),
        [&](uint64_t, void* tag) {
            return nfs_opendir_async(run.nfs, ".", NfsPipeline::OnNfs, tag);
        },
        [&](uint64_t, void* data) {
            nfsdir* dir = static_cast<nfsdir*>(data);
            for (uint64_t n = 0; n <= run.created + 2 && nfs_readdir(run.nfs, dir); ++n)
                ++entries;
            nfs_closedir(run.nfs, dir);
        });
    PhaseResult r = OpsPhase("readdirplus", entries, run.created + 2, start);
    r.unit = "entries/s";
    return r;
}

PhaseResult MetaRemove(MetaRun& run) {
    return run.Phase("remove", run.created, [&](uint64_t i, void* tag) {
        return nfs_unlink_async(run.nfs, run.names[i].c_str(), NfsPipeline::OnNfs, tag);
    });
}

// CREATE, LOOKUP, GETATTR, READDIRPLUS and REMOVE of config.files files in a
// new directory (the working directory of the context while it runs).
Results Meta(nfs_context* nfs, const BenchConfig& config) {
    std::string dir = "/lume-bench-meta." + std::to_string(::getpid());
    if (nfs_mkdir(nfs, dir.c_str()) != 0)
        Fail(nfs, "mkdir " + dir);
    if (nfs_chdir(nfs, dir.c_str()) != 0)
        Fail(nfs, "chdir " + dir);
    MetaRun run{nfs, config, NfsPipeline(nfs, config.depth), MetaNames(config.files),
                std::vector<nfsfh*>(config.files, nullptr)};
    Results results{MetaCreate(run), MetaLookup(run), MetaGetattr(run), MetaReaddirplus(run)};
    run.CloseHandles();
    results.push_back(MetaRemove(run));
    if (nfs_chdir(nfs, "/") != 0 || nfs_rmdir(nfs, dir.c_str()) != 0)
        Fail(nfs, "rmdir " + dir);
    return results;
}

// 4 KiB reads of the data file through one handle, one at a time, for
// config.seconds, while the script kills the server and starts it again:
// the longest pause between two answered reads, and the reads that failed.
Results Restart(nfs_context* nfs, const BenchConfig& config) {
    nfs_set_autoreconnect(nfs, -1);  // wait for the server, as a mount does
    NfsFile file(nfs, RootPath(config.file), O_RDONLY);
    std::vector<char> block(kSmallIo);
    const Clock::time_point start = Clock::now(), end = After(config.seconds);
    Clock::time_point answered = start;
    double longest = 0;
    uint64_t reads = 0, errors = 0;
    while (Clock::now() < end) {
        if (nfs_pread(nfs, file.get(), 0, kSmallIo, block.data()) < 0) {
            ++errors;
            continue;
        }
        ++reads;
        const Clock::time_point now = Clock::now();
        longest =
            std::max(longest, std::chrono::duration<double, std::milli>(now - answered).count());
        answered = now;
    }
    PhaseResult pause{"pause", reads, SecondsSince(start), longest, "ms", true};
    PhaseResult failed{"errors", errors, SecondsSince(start), static_cast<double>(errors),
                       "errors", true};
    return {pause, failed};
}

}  // namespace

Results RunNfsWorkload(const BenchConfig& config) {
    if (config.workload == "clients")
        return ManyClients(config);
    if (config.workload == "firstcall")
        return FirstCall(config);
    NfsMount mount(config.url);
    nfs_context* nfs = mount.get();
    if (config.workload == "null")
        return NullCalls(nfs, config);
    if (config.workload == "seqwrite")
        return SeqWrite(nfs, config);
    if (config.workload == "seqread")
        return SeqRead(nfs, config);
    if (config.workload == "randread")
        return RandRead(nfs, config);
    if (config.workload == "meta")
        return Meta(nfs, config);
    if (config.workload == "restart")
        return Restart(nfs, config);
    if (config.workload == "smallfiles")
        return SmallFiles(nfs, config);
    if (config.workload == "bigtree")
        return BigTree(nfs, config);
    if (config.workload == "coldread")
        return ReadBesideGetattr(nfs, config);
    if (config.workload == "churn")
        return Churn(nfs, config);
    throw std::runtime_error("unknown workload " + config.workload);
}

}  // namespace lumebench
