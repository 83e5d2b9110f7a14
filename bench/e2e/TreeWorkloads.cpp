#include "bench/e2e/TreeWorkloads.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/e2e/NfsMount.h"
#include "bench/e2e/NfsPipeline.h"
#include "bench/e2e/RawNfs.h"

namespace lumebench {

namespace {

constexpr uint64_t kUnbounded = 1ull << 40;  // count bound of the timed phases
constexpr size_t kMaxHandles = 1 << 21;      // handles the lookup phase keeps for getattr

[[noreturn]] void FailErrno(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Throws what a Done callback found wrong (it cannot throw through libnfs).
void Check(const std::string& error) {
    if (!error.empty())
        throw std::runtime_error(error);
}

}  // namespace

Results SmallFiles(nfs_context* nfs, const BenchConfig& config) {
    std::string dir = "/" + config.file + "/" + TreeName('d', 0);
    if (nfs_chdir(nfs, dir.c_str()) != 0)
        Fail(nfs, "chdir " + dir + " (made by the tree workload)");
    std::vector<std::string> names = MetaNames(config.files);
    std::vector<nfsfh*> files(names.size(), nullptr);
    NfsPipeline pipeline(nfs, config.depth);
    uint64_t opened = pipeline.Run(
        names.size(), After(config.capSeconds),
        [&](uint64_t i, void* tag) {
            return nfs_open_async(nfs, names[i].c_str(), O_RDONLY, NfsPipeline::OnNfs, tag);
        },
        [&](uint64_t i, void* data) { files[i] = static_cast<nfsfh*>(data); });
    Clock::time_point start = Clock::now();
    uint64_t read = pipeline.Run(opened, After(config.capSeconds), [&](uint64_t i, void* tag) {
        return nfs_pread_async(nfs, files[i], 0, kSmallIo, NfsPipeline::OnNfs, tag);
    });
    PhaseResult r = OpsPhase("smallfiles", read, names.size(), start);
    r.unit = "files/s";
    for (uint64_t i = 0; i < opened; ++i)
        nfs_close(nfs, files[i]);
    return {r};
}

Results BigTree(nfs_context* nfs, const BenchConfig& config) {
    rpc_context* rpc = nfs_get_rpc_context(nfs);
    NfsFile top(nfs, "/" + config.file, O_RDONLY);
    Handle root = HandleOf(top.get());
    std::vector<Handle> dirs(config.dirs);
    std::string error;
    NfsPipeline pipeline(nfs, config.depth);
    auto keep = [&](std::vector<Handle>& into, uint64_t i, void* data) {
        Handle h = LookedUp(data, error);
        if (!h.empty() && i < into.size())
            into[i] = std::move(h);
    };
    pipeline.Run(
        dirs.size(), After(config.capSeconds),
        [&](uint64_t i, void* tag) {
            return LookupAsync(rpc, root, TreeName('d', i), NfsPipeline::OnRpc, tag);
        },
        [&](uint64_t i, void* data) { keep(dirs, i, data); });
    Check(error);
    std::vector<Handle> files;
    Clock::time_point start = Clock::now();
    uint64_t lookups = pipeline.Run(
        kUnbounded, After(config.seconds),
        [&](uint64_t i, void* tag) {
            uint64_t pick = Mix(i);
            return LookupAsync(rpc, dirs[pick % dirs.size()],
                               TreeName('f', (pick / dirs.size()) % config.files),
                               NfsPipeline::OnRpc, tag);
        },
        [&](uint64_t, void* data) {
            Handle h = LookedUp(data, error);
            if (!h.empty() && files.size() < kMaxHandles)
                files.push_back(std::move(h));
        });
    Check(error);
    PhaseResult lookup = OpsPhase("lookup", lookups, lookups, start);
    if (files.empty())
        throw std::runtime_error("no LOOKUP answered");
    start = Clock::now();
    uint64_t getattrs = pipeline.Run(
        kUnbounded, After(config.seconds),
        [&](uint64_t i, void* tag) {
            return GetattrAsync(rpc, files[Mix(i + kUnbounded) % files.size()], NfsPipeline::OnRpc,
                                tag);
        },
        [&](uint64_t, void* data) {
            if (static_cast<const GETATTR3res*>(data)->status != NFS3_OK && error.empty())
                error = "GETATTR answered status " +
                        std::to_string(static_cast<const GETATTR3res*>(data)->status);
        });
    Check(error);
    return {lookup, OpsPhase("getattr", getattrs, getattrs, start)};
}

Results MakeTree(const BenchConfig& config) {
    std::string top = config.localDir + "/" + config.file;
    if (::mkdir(top.c_str(), 0755) != 0 && errno != EEXIST)
        FailErrno("mkdir " + top);
    std::vector<char> bytes(config.fileBytes, 't');
    std::atomic<uint64_t> next{0}, made{0};
    std::atomic<bool> failed{false};
    const Clock::time_point deadline = After(config.capSeconds);
    // Each thread takes whole directories; a failure stops both.
    auto worker = [&](std::string& why) {
        for (uint64_t d; !failed && Clock::now() < deadline && (d = next++) < config.dirs;) {
            std::string dir = top + "/" + TreeName('d', d);
            int dfd = -1;
            if ((::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) ||
                (dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY)) < 0) {
                why = dir + ": " + std::strerror(errno);
                failed = true;
                return;
            }
            for (uint64_t f = 0; f < config.files && !failed; ++f) {
                std::string name = TreeName('f', f);
                int fd = ::openat(dfd, name.c_str(), O_WRONLY | O_CREAT, 0644);
                struct stat st {};
                bool ok = fd >= 0 && ::fstat(fd, &st) == 0 &&
                          (static_cast<uint64_t>(st.st_size) >= bytes.size() ||
                           ::pwrite(fd, bytes.data(), bytes.size(), 0) ==
                               static_cast<ssize_t>(bytes.size()));
                if (!ok) {
                    why = dir + "/" + name + ": " + std::strerror(errno);
                    failed = true;
                }
                if (fd >= 0)
                    ::close(fd);
            }
            ::close(dfd);
            made += config.files;
        }
    };
    Clock::time_point start = Clock::now();
    std::string why[2];
    std::thread second(worker, std::ref(why[1]));
    worker(why[0]);
    second.join();
    if (failed)
        throw std::runtime_error(why[0].empty() ? why[1] : why[0]);
    return {OpsPhase("tree", made, config.dirs * config.files, start)};
}

Results DropCache(const BenchConfig& config) {
    std::string path = config.localDir + "/" + config.file;
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        FailErrno("open " + path);
    // Dirty pages would stay: flush first, then drop.
    int rc = ::fsync(fd) != 0 ? -1 : ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    int saved = rc == -1 ? errno : rc;
    ::close(fd);
    if (rc != 0) {
        errno = saved;
        FailErrno("dropping the cached pages of " + path);
    }
    return {PhaseResult{"dropcache", 1, 0, 1, "files", true}};
}

}  // namespace lumebench
