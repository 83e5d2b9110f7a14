#include "bench/e2e/StallWorkloads.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nfsc/libnfs-raw.h>

#include "bench/e2e/NfsMount.h"

namespace lumebench {

namespace {

constexpr double kDrainSeconds = 30;  // for the calls in flight once time is up
constexpr int kPollMillis = 100;
constexpr size_t kMaxCalls = 10'000'000;  // with the time: every run is bounded both ways
constexpr uint64_t kChunk = 256 * 1024;   // a READ: long enough on a cold disk to be felt
constexpr uint64_t kStride = 7919;  // prime: a permutation of any chunk count it does not divide
constexpr int kNfsProgram = 100003;
constexpr auto kRetry = std::chrono::milliseconds(2);

// One stream of calls, one in flight.
struct Stream {
    bool busy = false;
    Clock::time_point issued;
    std::vector<double> latencies;
    std::string error;
};

void OnCall(int err, nfs_context* nfs, void*, void* tag) {
    Stream& s = *static_cast<Stream*>(tag);
    s.busy = false;
    s.latencies.push_back(MillisBetween(s.issued, Clock::now()));
    if (err < 0 && s.error.empty())
        s.error = nfs_get_error(nfs);
}

void Start(Stream& s) {
    s.busy = true;
    s.issued = Clock::now();
}

void Service(nfs_context* nfs) {
    pollfd pfd{nfs_get_fd(nfs), static_cast<short>(nfs_which_events(nfs)), 0};
    if (::poll(&pfd, 1, kPollMillis) < 0 && errno != EINTR)
        throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    if (nfs_service(nfs, pfd.revents) < 0)
        throw std::runtime_error(std::string("nfs_service: ") + nfs_get_error(nfs));
}

double EpochMicros() {
    return std::chrono::duration<double, std::micro>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The value of `key` (host: the part after nfs://) in the URL.
std::string UrlPart(const std::string& url, const std::string& key) {
    if (key == "host") {
        size_t from = url.find("://") + 3;
        return url.substr(from, url.find('/', from) - from);
    }
    size_t at = url.find(key + "=");
    if (at == std::string::npos)
        throw std::runtime_error("the URL names no " + key);
    at += key.size() + 1;
    return url.substr(at, url.find('&', at) - at);
}

void OnRpcState(rpc_context*, int status, void*, void* tag) {
    *static_cast<int*>(tag) = status == RPC_STATUS_SUCCESS ? 1 : -1;
}

// Services `rpc` until `state` leaves 0 (1: success) or the deadline passes.
bool AwaitRpc(rpc_context* rpc, int& state, Clock::time_point deadline) {
    while (state == 0 && Clock::now() < deadline) {
        pollfd pfd{rpc_get_fd(rpc), static_cast<short>(rpc_which_events(rpc)), 0};
        if ((::poll(&pfd, 1, kPollMillis) < 0 && errno != EINTR) ||
            rpc_service(rpc, pfd.revents) < 0)
            return false;
    }
    return state == 1;
}

// Connects to the NFS port and sends one NULL; true when it was answered.
bool NullAnswered(const std::string& host, int port, Clock::time_point deadline) {
    rpc_context* rpc = rpc_init_context();
    if (!rpc)
        throw std::runtime_error("rpc_init_context failed");
    int state = 0;  // 0 waiting, 1 done, -1 failed
    bool answered =
        rpc_connect_port_async(rpc, host.c_str(), port, kNfsProgram, 3, OnRpcState, &state) == 0 &&
        AwaitRpc(rpc, state, deadline) && (state = 0, true) &&
        rpc_nfs3_null_async(rpc, OnRpcState, &state) == 0 && AwaitRpc(rpc, state, deadline);
    rpc_destroy_context(rpc);
    return answered;
}

bool GetattrAnswered(const std::string& url) {
    try {
        NfsMount mount(url);
        nfs_stat_64 st{};
        return nfs_stat64(mount.get(), "/", &st) == 0;
    } catch (const std::runtime_error&) {
        return false;  // not serving yet
    }
}

}  // namespace

Results ReadBesideGetattr(nfs_context* nfs, const BenchConfig& config) {
    NfsFile data(nfs, "/" + config.file, O_RDONLY);
    NfsFile other(nfs, "/lume-bench-attr", O_RDWR | O_CREAT);
    const uint64_t chunks = data.Size() / kChunk;
    if (chunks == 0)
        throw std::runtime_error(config.file + " is under 256 KiB: run seqwrite first");
    Stream reads, attrs;
    uint64_t issued = 0;
    const Clock::time_point start = Clock::now(), end = After(config.seconds),
                            giveUp = After(config.seconds + kDrainSeconds);
    for (;;) {
        bool running = Clock::now() < end && issued < chunks &&
                       attrs.latencies.size() < kMaxCalls && reads.error.empty() &&
                       attrs.error.empty();
        if (running && !reads.busy) {
            Start(reads);
            if (nfs_pread_async(nfs, data.get(), (issued++ * kStride % chunks) * kChunk, kChunk,
                                OnCall, &reads) != 0)
                Fail(nfs, "cannot queue a READ");
        }
        if (running && !attrs.busy) {
            Start(attrs);
            if (nfs_fstat64_async(nfs, other.get(), OnCall, &attrs) != 0)
                Fail(nfs, "cannot queue a GETATTR");
        }
        if (!reads.busy && !attrs.busy && !running)
            break;
        if (Clock::now() > giveUp)
            throw std::runtime_error("the server stopped answering");
        Service(nfs);
    }
    if (!reads.error.empty() || !attrs.error.empty())
        throw std::runtime_error(reads.error + attrs.error);
    const double seconds = SecondsSince(start);
    PhaseResult read = MiBPhase("read", reads.latencies.size(), reads.latencies.size(), start);
    read.value = read.value * kChunk / kMiB;
    return {LatencyPhase("getattr p99", attrs.latencies, 0.99, seconds), read};
}

Results FirstCall(const BenchConfig& config) {
    const std::string host = UrlPart(config.url, "host");
    const int port = std::stoi(UrlPart(config.url, "nfsport"));
    const Clock::time_point deadline = After(config.seconds);
    double at[2] = {0, 0};
    for (int phase = 0; phase < 2 && Clock::now() < deadline;) {
        if (phase == 0 ? NullAnswered(host, port, deadline) : GetattrAnswered(config.url))
            at[phase++] = EpochMicros();
        else
            std::this_thread::sleep_for(kRetry);
    }
    Results results;
    const char* names[2] = {"null", "getattr"};
    for (int phase = 0; phase < 2; ++phase) {
        if (at[phase] == 0)
            throw std::runtime_error(std::string("no ") + names[phase] + " answered in time");
        double ms = (at[phase] - config.sinceMicros) / 1000;
        results.push_back(PhaseResult{names[phase], 1, ms / 1000, ms, "ms", true});
    }
    return results;
}

}  // namespace lumebench
