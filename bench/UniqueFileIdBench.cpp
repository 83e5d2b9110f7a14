// Micro-benchmarks of unique file ids kept in the state directory's store,
// each against what it costs at least, measured in the same process:
//   - GetUniqueFileIdOfDescriptor of a known object, young (found by its
//     handle) and settled (found by its birth), at 1 and 2 threads, against
//     fstat of the same descriptor;
//   - GetUniqueFileId of a known path against lstat of it;
//   - a new id: lstat, handle, a store miss and a committed transaction;
//   - a new id and a handle recorded for it, in a batch (one commit) against
//     apart (two commits, as before batches);
//   - resident bytes per entry of an identity cache of 256k entries.
// A benchmark measured against a baseline reports the ratio of its wall time
// per iteration to the baseline's last run as the counter x_<baseline>.
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/Ratios.h"
#include "bench/ScratchDir.h"
#include "platform/ClockCache.h"
#include "platform/LogWriter.h"
#include "platform/StateDir.h"
#include "platform/StateStore.h"
#include "platform/UniqueFileId.h"

namespace {

constexpr int kNewIds = 10000;  // per benchmark of new ids; three of them
constexpr size_t kCacheEntries = size_t(1) << 18;

// What the benchmarks share: a state directory, a file (for fstat and
// lstat), one settled enough to be known by its birth, and files never
// asked for.
struct World {
    ScratchDir state, files;
    std::string settled = files.Write("settled", "0123456789");
    std::string young;
    std::vector<std::string> fresh;
    size_t nextFresh = 0;
    int settledFd = -1, youngFd = -1;

    World() {
        SetPlatformStateDir(state.Path());
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // settled: 2 s old
        young = files.Write("young", "0123456789");
        for (int i = 0; i < 3 * kNewIds; ++i)
            fresh.push_back(files.Write("new" + std::to_string(i), ""));
        settledFd = ::open(settled.c_str(), O_PATH | O_CLOEXEC);
        youngFd = ::open(young.c_str(), O_PATH | O_CLOEXEC);
    }
    // A file never asked for (again from the first when all were: repeated
    // runs then measure known ids).
    const std::string& Fresh() { return fresh[nextFresh++ % fresh.size()]; }
    ~World() {
        ::close(settledFd);
        ::close(youngFd);
    }
};

// --- Known objects -------------------------------------------------------------

void BM_Fstat(benchmark::State& state, World& world) {
    struct stat st;
    const int fd = world.youngFd;
    RunBaseline(state, "fstat", [fd, &st] { benchmark::DoNotOptimize(::fstat(fd, &st)); });
}

void DescriptorId(benchmark::State& state, int fd) {
    unsigned long id = 0;
    struct stat st;
    if (GetUniqueFileIdOfDescriptor(fd, id, st) != 0)
        return state.SkipWithError("no unique file id");
    RunAgainst(state, "fstat", [fd, &id, &st] {
        benchmark::DoNotOptimize(GetUniqueFileIdOfDescriptor(fd, id, st));
    });
}

// A file made for this run is known by its handle: a run ends well before
// the file is old enough to be known by its birth.
void BM_YoungDescriptorId(benchmark::State& state, World& world) {
    static std::atomic<int> made{0};
    const std::string path = world.files.Write("young" + std::to_string(made++), "");
    const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    DescriptorId(state, fd);
    ::close(fd);
}

void BM_SettledDescriptorId(benchmark::State& state, World& world) {
    DescriptorId(state, world.settledFd);
}

void BM_Lstat(benchmark::State& state, World& world) {
    struct stat st;
    const char* path = world.young.c_str();
    RunBaseline(state, "lstat", [path, &st] { benchmark::DoNotOptimize(::lstat(path, &st)); });
}

void BM_PathId(benchmark::State& state, World& world) {
    unsigned long id = 0;
    if (GetUniqueFileId(world.young, id) != 0)
        return state.SkipWithError("no unique file id");
    RunAgainst(state, "lstat",
               [&world, &id] { benchmark::DoNotOptimize(GetUniqueFileId(world.young, id)); });
}

// Each iteration names a file never asked for: a committed transaction.
void BM_NewId(benchmark::State& state, World& world) {
    unsigned long id = 0;
    RunAgainst(state, "lstat",
               [&world, &id] { benchmark::DoNotOptimize(GetUniqueFileId(world.Fresh(), id)); });
}

// A new id and a handle recorded for it, as a CREATE or a first LOOKUP
// does: in two commits, or in one batch.
void NewIdAndHandle(World& world, unsigned table) {
    unsigned long id = 0;
    GetUniqueFileId(world.Fresh(), id);
    StateStore::Get()->Put(table, std::string(reinterpret_cast<const char*>(&id), sizeof id), "h");
}

void BM_NewIdAndHandleApart(benchmark::State& state, World& world) {
    unsigned table = 0;
    if (!StateStore::Get()->Table("bench-handles", table))
        return state.SkipWithError("no store");
    RunBaseline(state, "apart", [&world, table] { NewIdAndHandle(world, table); });
}

void BM_NewIdAndHandleBatched(benchmark::State& state, World& world) {
    unsigned table = 0;
    if (!StateStore::Get()->Table("bench-handles", table))
        return state.SkipWithError("no store");
    RunAgainst(state, "apart", [&world, table] {
        StateStore::Batch batch;
        NewIdAndHandle(world, table);
    });
}

// --- Memory --------------------------------------------------------------------

long ResidentBytes() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// A full identity cache of ext4-sized identities (21 bytes).
void BM_IdentityCacheMemory(benchmark::State& state) {
    for (auto _ : state) {
        malloc_trim(0);
        const long before = ResidentBytes();
        ClockCache<std::string, unsigned long, std::hash<std::string>> cache(kCacheEntries);
        std::string identity(21, 'i');
        for (size_t i = 0; i < kCacheEntries; ++i) {
            identity.replace(0, sizeof i, reinterpret_cast<const char*>(&i), sizeof i);
            cache.Put(identity, i);
        }
        state.counters["bytes_per_entry"] =
            static_cast<double>(ResidentBytes() - before) / kCacheEntries;
    }
}

void RegisterAll(World& world) {
    benchmark::RegisterBenchmark("IdentityCacheMemory/256k", BM_IdentityCacheMemory)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Fstat", BM_Fstat, std::ref(world))->Threads(1)->Threads(2);
    benchmark::RegisterBenchmark("DescriptorId/young", BM_YoungDescriptorId, std::ref(world))
        ->Threads(1)
        ->Threads(2);
    benchmark::RegisterBenchmark("DescriptorId/settled", BM_SettledDescriptorId, std::ref(world))
        ->Threads(1)
        ->Threads(2);
    benchmark::RegisterBenchmark("Lstat", BM_Lstat, std::ref(world));
    benchmark::RegisterBenchmark("PathId", BM_PathId, std::ref(world));
    benchmark::RegisterBenchmark("NewId", BM_NewId, std::ref(world))->Iterations(kNewIds);
    benchmark::RegisterBenchmark("NewIdAndHandle/apart", BM_NewIdAndHandleApart, std::ref(world))
        ->Iterations(kNewIds);
    benchmark::RegisterBenchmark("NewIdAndHandle/batched", BM_NewIdAndHandleBatched,
                                 std::ref(world))
        ->Iterations(kNewIds);
}

}  // namespace

int main(int argc, char** argv) {
    TheLogWriter().SetLevel(-1);  // errors only: the table is the output
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    World world;
    RegisterAll(world);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
