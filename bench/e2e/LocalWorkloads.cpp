#include "bench/e2e/LocalWorkloads.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/e2e/StoreSize.h"
#include "bench/e2e/TreeWorkloads.h"

namespace lumebench {

namespace {

constexpr uint64_t kUnbounded = 1ull << 40;  // count bound of the timed workloads

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// An open descriptor, closed when it goes.
class Fd {
  public:
    Fd(const std::string& path, int flags) : fd_(::open(path.c_str(), flags, 0644)) {
        if (fd_ < 0)
            Fail("open " + path);
    }
    ~Fd() { ::close(fd_); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }

    uint64_t Size() const {
        struct stat st {};
        if (::fstat(fd_, &st) != 0)
            Fail("fstat");
        return st.st_size;
    }

  private:
    int fd_;
};

// Runs op(thread, 0), op(thread, 1), ... on `threads` threads until `count` calls or the
// deadline; returns the calls made. op returns false (errno set) on failure,
// which stops every thread and is thrown.
uint64_t RunThreads(int threads, uint64_t count, Clock::time_point deadline,
                    const std::function<bool(int, uint64_t)>& op) {
    std::atomic<uint64_t> next{0};
    std::atomic<uint64_t> done{0};
    std::atomic<bool> failed{false};
    std::mutex errorLock;
    std::string error;
    auto worker = [&](int thread) {
        // Every index claimed is run, so the calls made are 0 .. done-1.
        while (!failed && Clock::now() < deadline) {
            uint64_t i = next++;
            if (i >= count)
                return;
            if (op(thread, i)) {
                ++done;
                continue;
            }
            std::lock_guard<std::mutex> hold(errorLock);
            error = "call " + std::to_string(i) + ": " + std::strerror(errno);
            failed = true;
        }
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back(worker, t);
    for (std::thread& t : pool)
        t.join();
    if (failed)
        throw std::runtime_error(error);
    return done;
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir + "/" + name;
}

// 1 MiB pwrites of the whole file, then one fsync.
Results SeqWrite(const BenchConfig& config) {
    Fd file(Join(config.localDir, config.file), O_WRONLY | O_CREAT | O_TRUNC);
    std::vector<char> chunk(kMiB, 'w');
    uint64_t chunks = config.sizeBytes / kMiB;
    Clock::time_point start = Clock::now();
    uint64_t done =
        RunThreads(config.depth, chunks, After(config.capSeconds), [&](int, uint64_t i) {
            return ::pwrite(file.get(), chunk.data(), kMiB, i * kMiB) == static_cast<ssize_t>(kMiB);
        });
    if (::fsync(file.get()) != 0)
        Fail("fsync");
    return {MiBPhase("seqwrite", done, chunks, start)};
}

Results SeqRead(const BenchConfig& config) {
    Fd file(Join(config.localDir, config.file), O_RDONLY);
    uint64_t chunks = file.Size() / kMiB;
    std::vector<std::vector<char>> buffers(config.depth, std::vector<char>(kMiB));
    Clock::time_point start = Clock::now();
    uint64_t done =
        RunThreads(config.depth, chunks, After(config.capSeconds), [&](int thread, uint64_t i) {
            return ::pread(file.get(), buffers[thread].data(), kMiB, i * kMiB) >= 0;
        });
    return {MiBPhase("seqread", done, chunks, start)};
}

Results RandRead(const BenchConfig& config) {
    Fd file(Join(config.localDir, config.file), O_RDONLY);
    uint64_t blocks = file.Size() / kSmallIo;
    if (blocks == 0)
        throw std::runtime_error(config.file + " is empty: run seqwrite first");
    Clock::time_point start = Clock::now();
    uint64_t ops =
        RunThreads(config.depth, kUnbounded, After(config.seconds), [&](int, uint64_t i) {
            char block[kSmallIo];
            return ::pread(file.get(), block, kSmallIo, RandomBlockOffset(i, blocks)) >= 0;
        });
    return {OpsPhase("randread", ops, ops, start)};
}

// Lets this process hold `files` descriptors at once, as the meta workload's
// GETATTR-by-handle phase needs.
void AllowOpenFiles(uint64_t files) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        Fail("getrlimit");
    rlim_t wanted = files + 64;
    if (limit.rlim_cur >= wanted)
        return;
    if (limit.rlim_max < wanted)
        throw std::runtime_error("meta needs " + std::to_string(wanted) + " open files");
    limit.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        Fail("setrlimit");
}

// The meta workload's state: file paths and the descriptors creat returned.
struct MetaRun {
    const BenchConfig& config;
    std::string dir;
    std::vector<std::string> paths;
    std::vector<int> fds;
    uint64_t created = 0;

    PhaseResult Phase(const std::string& name, uint64_t count,
                      const std::function<bool(int, uint64_t)>& op) {
        Clock::time_point start = Clock::now();
        uint64_t ops = RunThreads(config.depth, count, After(config.capSeconds), op);
        return OpsPhase(name, ops, count, start);
    }

    void CloseFds() {
        for (uint64_t i = 0; i < created; ++i)
            ::close(fds[i]);
    }
};

PhaseResult MetaCreate(MetaRun& run) {
    PhaseResult r = run.Phase("create", run.paths.size(), [&](int, uint64_t i) {
        run.fds[i] = ::open(run.paths[i].c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        return run.fds[i] >= 0;
    });
    run.created = r.ops;
    return r;
}

PhaseResult MetaLookup(MetaRun& run) {
    return run.Phase("lookup", run.created, [&](int, uint64_t i) {
        struct stat st {};
        return ::stat(run.paths[i].c_str(), &st) == 0;
    });
}

PhaseResult MetaGetattr(MetaRun& run) {
    return run.Phase("getattr", run.created, [&](int, uint64_t i) {
        struct stat st {};
        return ::fstat(run.fds[i], &st) == 0;
    });
}

// One listing with the attributes of every entry (readdir + fstatat: what a
// READDIRPLUS reply carries); the figure is entries per second.
PhaseResult MetaReaddirplus(MetaRun& run) {
    Clock::time_point start = Clock::now();
    DIR* dir = ::opendir(run.dir.c_str());
    if (!dir)
        Fail("opendir " + run.dir);
    uint64_t entries = 0;
    struct stat st {};
    for (dirent* e = ::readdir(dir); e && entries <= run.created + 2; e = ::readdir(dir)) {
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            ++entries;
    }
    ::closedir(dir);
    PhaseResult r = OpsPhase("readdirplus", entries, run.created + 2, start);
    r.unit = "entries/s";
    return r;
}

PhaseResult MetaRemove(MetaRun& run) {
    return run.Phase("remove", run.created,
                     [&](int, uint64_t i) { return ::unlink(run.paths[i].c_str()) == 0; });
}

Results Meta(const BenchConfig& config) {
    AllowOpenFiles(config.files);
    std::string dir = Join(config.localDir, "lume-bench-meta." + std::to_string(::getpid()));
    if (::mkdir(dir.c_str(), 0755) != 0)
        Fail("mkdir " + dir);
    MetaRun run{config, dir, {}, std::vector<int>(config.files, -1)};
    for (const std::string& name : MetaNames(config.files))
        run.paths.push_back(Join(dir, name));
    Results results{MetaCreate(run), MetaLookup(run), MetaGetattr(run), MetaReaddirplus(run)};
    run.CloseFds();
    results.push_back(MetaRemove(run));
    if (::rmdir(dir.c_str()) != 0)
        Fail("rmdir " + dir);
    return results;
}

}  // namespace

Results RunLocalWorkload(const BenchConfig& config) {
    if (config.workload == "seqwrite")
        return SeqWrite(config);
    if (config.workload == "seqread")
        return SeqRead(config);
    if (config.workload == "randread")
        return RandRead(config);
    if (config.workload == "meta")
        return Meta(config);
    if (config.workload == "tree")
        return MakeTree(config);
    if (config.workload == "dropcache")
        return DropCache(config);
    if (config.workload == "storesize")
        return StoreSize(config);
    throw std::runtime_error("workload " + config.workload + " has no local equivalent");
}

}  // namespace lumebench
