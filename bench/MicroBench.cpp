// Micro-benchmarks of the module's per-call hot paths, each against what it
// costs at least, measured in the same process:
//   - path cache (handle -> path): Find on 1,000,000 entries at 1, 2 and 8
//     threads, Add of an existing and of a new entry, and resident bytes per
//     entry (from /proc/self/statm); the same for a chain 2,000 levels deep,
//     its bytes against the bytes of its whole paths;
//   - descriptor cache Open+Close on a file it already holds, against raw
//     open+close of the same file;
//   - GetUniqueFileId, the backend object's lstat and the handle round trip
//     (SinkFSM::GetFSObject on a handle the module issued), against raw lstat
//     of the same path;
//   - an entry of a directory listing: one look relative to the directory
//     (ListedEntry) against an object of its own per entry.
// A benchmark measured against a baseline reports the ratio of its wall time
// per iteration to the baseline's last run as the counter x_<baseline>.
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/shared_ptr.hpp>

#include "bench/Ratios.h"
#include "bench/ScratchDir.h"
#include "host/ExportCache.h"
#include "host/LumeCtxt.h"
#include "host/PerfCounters.h"
#include "host/SharePerms.h"
#include "module/SinkFSM.h"
#include "module/backend/SinkBkEndObj.h"
#include "module/backend/SinkFSMFileDescriptorCache.h"
#include "module/exports/SinkFSMExport.h"
#include "module/filehandle/SinkFSMPathCache.h"
#include "platform/BeneathPath.h"
#include "platform/LogWriter.h"
#include "platform/StateDir.h"
#include "platform/UniqueFileId.h"
#include "server/handles/IssuedHandles.h"

namespace {

constexpr unsigned long kEntries = 1000000;
constexpr unsigned long kDeepLevels = 2000;

// A scratch directory exported through the module, read-write to everyone,
// while the object lives.
struct ScratchExport {
    explicit ScratchExport(uint32_t shareId) {
        ExportPtr none;
        auto* sink = new SinkFSMExport("/bench" + std::to_string(shareId), dir.Path(),
                                       SHARE_PERM_READ | SHARE_PERM_WRITE, "*", shareId, none);
        exp.reset(sink);
        std::string error;
        if (sink->InitExportFileHandle(error) != 0 || !gAllExports->AddExport(exp))
            throw std::runtime_error("cannot export " + dir.Path() + ": " + error);
    }
    ~ScratchExport() { gAllExports->RemoveExport(exp); }
    ScratchExport(const ScratchExport&) = delete;
    ScratchExport& operator=(const ScratchExport&) = delete;

    // A request context on the export, without a target object.
    LumeCtxt Ctx() const { return LumeCtxt(IdInfo(), exp, {}); }

    ScratchDir dir;
    ExportPtr exp;
};

// What the file benchmarks share: an exported temporary directory holding
// one small file.
struct World {
    ScratchExport exported{77};
    std::string file = exported.dir.Write("data", "0123456789");
};

// --- Path cache --------------------------------------------------------------

// Realistic export paths, "/export/dir17/file123456"; entry i has key i + 1
// (dense keys: the cache's hash of a key is the key itself).
const std::vector<std::string>& MillionPaths() {
    static const std::vector<std::string> paths = [] {
        std::vector<std::string> made;
        made.reserve(kEntries);
        for (unsigned long i = 0; i < kEntries; ++i)
            made.push_back("/export/dir" + std::to_string(i % 100) + "/file" +
                           std::to_string(100000 + i));
        return made;
    }();
    return paths;
}

void Fill(SinkFSMPathCache& cache) {
    const std::vector<std::string>& paths = MillionPaths();
    for (unsigned long i = 0; i < kEntries; ++i)
        cache.Add(i + 1, paths[i]);
}

// Built once, on first use, and shared by every thread; room for all of
// them, so that every key is found.
SinkFSMPathCache& MillionEntryCache() {
    static SinkFSMPathCache* cache = [] {
        auto* made = new SinkFSMPathCache(kEntries);
        Fill(*made);
        return made;
    }();
    return *cache;
}

// What a client making a tree kDeepLevels directories deep hands out: the
// path of every level, "/export/level0000/level0001/...", entry i key i + 1.
const std::vector<std::string>& DeepPaths() {
    static const std::vector<std::string> paths = [] {
        std::vector<std::string> made;
        std::string path = "/export";
        char name[16];
        for (unsigned long i = 0; i < kDeepLevels; ++i) {
            snprintf(name, sizeof(name), "/level%04lu", i);
            made.push_back(path += name);
        }
        return made;
    }();
    return paths;
}

void FillDeep(SinkFSMPathCache& cache) {
    const std::vector<std::string>& paths = DeepPaths();
    for (unsigned long i = 0; i < kDeepLevels; ++i)
        cache.Add(i + 1, paths[i]);
}

// Pseudo-random keys 1..count (xorshift64), one stream per thread, so
// lookups do not walk the table in order.
class KeyStream {
  public:
    KeyStream(int thread, unsigned long count)
        : m_state(0x9e3779b97f4a7c15ULL * (thread + 1)), m_count(count) {}
    unsigned long Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return 1 + m_state % m_count;
    }

  private:
    uint64_t m_state;
    const unsigned long m_count;
};

void BM_PathCacheFind(benchmark::State& state) {
    SinkFSMPathCache& cache = MillionEntryCache();
    KeyStream keys(state.thread_index(), kEntries);
    std::string path;
    for (auto _ : state) {
        bool found = cache.Find(keys.Next(), path);
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations());
}

// The common Add: a handle written out again, same key and same path.
void BM_PathCacheAddExisting(benchmark::State& state) {
    SinkFSMPathCache& cache = MillionEntryCache();
    const std::vector<std::string>& paths = MillionPaths();
    KeyStream keys(state.thread_index(), kEntries);
    for (auto _ : state) {
        unsigned long key = keys.Next();
        cache.Add(key, paths[key - 1]);
    }
    state.SetItemsProcessed(state.iterations());
}

// Find of the levels of the deep chain: a path of 10 KB on average.
void BM_PathCacheFindDeep(benchmark::State& state) {
    SinkFSMPathCache cache;
    FillDeep(cache);
    KeyStream keys(state.thread_index(), kDeepLevels);
    std::string path;
    for (auto _ : state) {
        bool found = cache.Find(keys.Next(), path);
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations());
}

// Fills an empty cache with the million entries, one Add per iteration.
void BM_PathCacheAddNew(benchmark::State& state) {
    const std::vector<std::string>& paths = MillionPaths();
    SinkFSMPathCache cache(kEntries);
    unsigned long i = 0;
    for (auto _ : state) {
        cache.Add(i + 1, paths[i]);
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

// Resident memory of the process's own (anonymous), less the file pages it
// maps, such as the state store's: those are the page cache's to reclaim.
long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0, shared = 0;
    statm >> size >> resident >> shared;
    return (resident - shared) * sysconf(_SC_PAGESIZE);
}

// Resident memory a million-entry cache adds; the time is filling and freeing.
void BM_PathCacheMemory(benchmark::State& state) {
    MillionPaths();
    for (auto _ : state) {
        malloc_trim(0);  // freed pages elsewhere in the heap would hide the growth
        long before = ResidentBytes();
        SinkFSMPathCache cache(kEntries);
        Fill(cache);
        state.counters["bytes_per_entry"] =
            static_cast<double>(ResidentBytes() - before) / kEntries;
    }
}

// Resident memory of the deep chain's entries, against the bytes of their
// whole paths (x_path_bytes: the first divided by the second).
void BM_PathCacheMemoryDeep(benchmark::State& state) {
    double pathBytes = 0;
    for (const std::string& path : DeepPaths())
        pathBytes += static_cast<double>(path.size()) / kDeepLevels;
    for (auto _ : state) {
        malloc_trim(0);
        long before = ResidentBytes();
        SinkFSMPathCache cache;
        FillDeep(cache);
        const double perEntry = static_cast<double>(ResidentBytes() - before) / kDeepLevels;
        state.counters["bytes_per_entry"] = perEntry;
        state.counters["path_bytes_per_entry"] = pathBytes;
        state.counters["x_path_bytes"] = perEntry / pathBytes;
    }
}

// --- Descriptor cache ------------------------------------------------------------

void BM_RawOpenClose(benchmark::State& state, World& world) {
    const char* path = world.file.c_str();
    RunBaseline(state, "open_close", [path] { ::close(::open(path, O_RDONLY)); });
}

void BM_DescriptorCacheOpenClose(benchmark::State& state, World& world) {
    const char* path = world.file.c_str();
    unsigned long id = 0;
    if (GetUniqueFileId(world.file, id) != 0)
        return state.SkipWithError("no unique file id");
    SinkFSMFileDescriptorCache cache;
    UniqueFd object(::open(path, O_PATH | O_CLOEXEC));
    const int fd = object.Get();
    int held = cache.Open(fd, path, O_RDONLY, id);  // the entry every Open below finds
    RunAgainst(state, "open_close", [&cache, fd, path, id] {
        cache.Close(cache.Open(fd, path, O_RDONLY, id), path, id);
    });
    cache.Close(held, path, id);
}

// --- lstat and what is measured against it ---------------------------------------

void BM_RawLstat(benchmark::State& state, World& world) {
    const char* path = world.file.c_str();
    struct stat st;
    RunBaseline(state, "lstat", [path, &st] { benchmark::DoNotOptimize(::lstat(path, &st)); });
}

void BM_GetUniqueFileId(benchmark::State& state, World& world) {
    unsigned long id = 0;
    RunAgainst(state, "lstat",
               [&world, &id] { benchmark::DoNotOptimize(GetUniqueFileId(world.file, id)); });
}

void BM_BackendLstat(benchmark::State& state, World& world) {
    SinkBkEndObj object(world.exported.exp, world.file);
    LumeCtxt ctx = world.exported.Ctx();
    struct stat st;
    RunAgainst(state, "lstat", [&object, &ctx, &st] {
        benchmark::DoNotOptimize(object.lstat(&ctx, nullptr, &st));
    });
}

// A client's handle back to a backend object: what every NFS call starts with.
void BM_HandleRoundTrip(benchmark::State& state, World& world) {
    nfs_fh3 fh;
    SinkBkEndObj(world.exported.exp, world.file).GetFileHandle(fh);  // issued: now in the cache
    SinkFSM* fsm = SinkFSM::GetFSM();
    if (!fsm->GetFSObject(world.exported.exp, fh))
        return state.SkipWithError("the issued handle does not resolve");
    RunAgainst(state, "lstat", [fsm, &world, &fh] {
        benchmark::DoNotOptimize(fsm->GetFSObject(world.exported.exp, fh));
    });
}

// --- An entry of a listing ------------------------------------------------------

// Lets world's file settle (two seconds old): its birth then stands for its
// id without its handle being read, as for most entries of a listing.
void Settle() {
    static const bool settled = [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2100));
        return true;
    }();
    benchmark::DoNotOptimize(settled);
}

// What READDIRPLUS did per entry: an object of its own (opened beneath the
// directory, identified, its descriptor closed), its handle written.
void BM_ListedAsObject(benchmark::State& state, World& world) {
    Settle();
    SinkBkEndObj dir(world.exported.exp, world.exported.dir.Path());
    LumeCtxt ctx = world.exported.Ctx();
    RunBaseline(state, "listed_object", [&dir, &ctx] {
        boost::shared_ptr<BkEndProc> child = dir.FindChild(&ctx, "data");
        nfs_fh3 fh;
        unsigned long id = 0;
        struct stat st;
        child->GetFileHandle(fh);
        benchmark::DoNotOptimize(child->GetIdentity(id, st));
    });
}

// What it does now: one look at the entry relative to the directory read.
void BM_ListedEntry(benchmark::State& state, World& world) {
    Settle();
    SinkBkEndObj dir(world.exported.exp, world.exported.dir.Path());
    LumeCtxt ctx = world.exported.Ctx();
    UniqueFd fd(::open(world.exported.dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    RunAgainst(state, "listed_object", [&dir, &ctx, &fd] {
        nfs_fh3 fh;
        unsigned long id = 0;
        struct stat st;
        benchmark::DoNotOptimize(dir.ListedEntry(&ctx, fd.Get(), "data", fh, id, st));
    });
}

// --- Memory of handles given out --------------------------------------------

// Resident memory that giving out handles for range(0) distinct files adds:
// the module's path cache, the bounded caches of ids and handles in front of
// the state store. The files are made before and removed after the timing.
void BM_HandleMemory(benchmark::State& state, World& world) {
    const size_t count = static_cast<size_t>(state.range(0));
    const std::string dir = world.exported.dir.Path() + "/many";
    ::mkdir(dir.c_str(), 0755);
    for (size_t i = 0; i < count; ++i)
        ::close(::open((dir + "/f" + std::to_string(i)).c_str(), O_CREAT | O_WRONLY, 0644));
    for (auto _ : state) {
        malloc_trim(0);
        const long before = ResidentBytes();
        for (size_t i = 0; i < count; ++i) {
            SinkBkEndObj object(world.exported.exp, dir + "/f" + std::to_string(i));
            nfs_fh3 fh;
            object.GetFileHandle(fh);
            IssuedHandles::Process().Record(fh, object.GetFileChecksum());
        }
        const double grown = static_cast<double>(ResidentBytes() - before);
        state.counters["bytes_per_handle"] = grown / static_cast<double>(count);
        state.counters["MiB"] = grown / (1 << 20);
    }
    for (size_t i = 0; i < count; ++i)
        ::unlink((dir + "/f" + std::to_string(i)).c_str());
    ::rmdir(dir.c_str());
}

// In this order: memory first, before other benchmarks leave freed heap behind.
void RegisterAll(World& world) {
    benchmark::RegisterBenchmark("PathCacheMemory/1M", BM_PathCacheMemory)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("PathCacheMemory/deep", BM_PathCacheMemoryDeep)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("PathCacheFind/1M", BM_PathCacheFind)
        ->Threads(1)
        ->Threads(2)
        ->Threads(8)
        ->UseRealTime();
    benchmark::RegisterBenchmark("PathCacheFind/deep", BM_PathCacheFindDeep);
    benchmark::RegisterBenchmark("PathCacheAddExisting/1M", BM_PathCacheAddExisting);
    benchmark::RegisterBenchmark("PathCacheAddNew", BM_PathCacheAddNew)->Iterations(kEntries);
    benchmark::RegisterBenchmark("RawOpenClose", BM_RawOpenClose, std::ref(world));
    benchmark::RegisterBenchmark("DescriptorCacheOpenClose", BM_DescriptorCacheOpenClose,
                                 std::ref(world));
    benchmark::RegisterBenchmark("RawLstat", BM_RawLstat, std::ref(world));
    benchmark::RegisterBenchmark("GetUniqueFileId", BM_GetUniqueFileId, std::ref(world));
    benchmark::RegisterBenchmark("BackendLstat", BM_BackendLstat, std::ref(world));
    benchmark::RegisterBenchmark("HandleRoundTrip", BM_HandleRoundTrip, std::ref(world));
    benchmark::RegisterBenchmark("ListedAsObject", BM_ListedAsObject, std::ref(world));
    benchmark::RegisterBenchmark("ListedEntry", BM_ListedEntry, std::ref(world));
    benchmark::RegisterBenchmark("HandleMemory", BM_HandleMemory, std::ref(world))
        ->Arg(kEntries)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
}

}  // namespace

int main(int argc, char** argv) {
    TheLogWriter().SetLevel(-1);  // errors only: the table is the output
    gPerfFlag = false;            // the normal case: backend calls are not timed
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ScratchDir state;  // the store of ids and handles lives here, not on the machine
    SetPlatformStateDir(state.Path());
    World world;
    RegisterAll(world);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
