#include "bench/e2e/ManyClients.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/e2e/NfsMount.h"

namespace lumebench {

namespace {

constexpr double kDrainSeconds = 30;  // for the calls in flight once time is up
constexpr int kPollMillis = 100;
constexpr size_t kMaxCalls = 10'000'000;  // with the time: every run is bounded both ways

enum Step { kCreate, kWrite, kRead, kRemove, kSteps };

struct Client {
    std::unique_ptr<NfsMount> mount;
    std::string dir;
    Step step = kCreate;
    bool busy = false;
    uint64_t cycle = 0;
    nfsfh* file = nullptr;
    Clock::time_point issued;
    std::vector<double>* latencies = nullptr;
    std::string* error = nullptr;

    nfs_context* nfs() const { return mount->get(); }
    std::string Name() const { return "c" + std::to_string(cycle); }
};

void OnDone(int err, nfs_context* nfs, void* data, void* tag) {
    Client& c = *static_cast<Client*>(tag);
    c.busy = false;
    c.latencies->push_back(MillisBetween(c.issued, Clock::now()));
    if (err < 0) {
        if (c.error->empty())
            *c.error = c.dir + " step " + std::to_string(c.step) + ": " + nfs_get_error(nfs);
        return;
    }
    if (c.step == kCreate)
        c.file = static_cast<nfsfh*>(data);
    if (c.step == kRemove)
        ++c.cycle;
    c.step = static_cast<Step>((c.step + 1) % kSteps);
}

int Issue(Client& c) {
    static const std::vector<char> block(kSmallIo, 'c');
    if (c.step == kRemove && c.file) {
        nfs_close(c.nfs(), c.file);  // local to libnfs for NFSv3: nothing is sent
        c.file = nullptr;
    }
    c.busy = true;
    c.issued = Clock::now();
    std::string name = c.Name();
    switch (c.step) {
        case kCreate:
            return nfs_creat_async(c.nfs(), name.c_str(), 0644, OnDone, &c);
        case kWrite:
            return nfs_pwrite_async(c.nfs(), c.file, 0, kSmallIo, block.data(), OnDone, &c);
        case kRead:
            return nfs_pread_async(c.nfs(), c.file, 0, kSmallIo, OnDone, &c);
        default:
            return nfs_unlink_async(c.nfs(), name.c_str(), OnDone, &c);
    }
}

// One poll over every client's connection, then each is serviced.
void ServiceAll(std::vector<Client>& clients) {
    std::vector<pollfd> fds;
    for (Client& c : clients)
        fds.push_back({nfs_get_fd(c.nfs()), static_cast<short>(nfs_which_events(c.nfs())), 0});
    if (::poll(fds.data(), fds.size(), kPollMillis) < 0 && errno != EINTR)
        throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    for (size_t i = 0; i < clients.size(); ++i)
        if (nfs_service(clients[i].nfs(), fds[i].revents) < 0)
            throw std::runtime_error(std::string("nfs_service: ") +
                                     nfs_get_error(clients[i].nfs()));
}

}  // namespace

Results ManyClients(const BenchConfig& config) {
    std::vector<double> latencies;
    std::string error;
    std::vector<Client> clients(config.clients);
    for (size_t i = 0; i < clients.size(); ++i) {
        Client& c = clients[i];
        c.mount = std::make_unique<NfsMount>(config.url);
        c.dir = "/lume-bench-client." + std::to_string(::getpid()) + "." + std::to_string(i);
        if (nfs_mkdir(c.nfs(), c.dir.c_str()) != 0 || nfs_chdir(c.nfs(), c.dir.c_str()) != 0)
            Fail(c.nfs(), "mkdir " + c.dir);
        c.latencies = &latencies;
        c.error = &error;
    }
    const Clock::time_point start = Clock::now(), end = After(config.seconds),
                            giveUp = After(config.seconds + kDrainSeconds);
    for (;;) {
        bool running = Clock::now() < end && latencies.size() < kMaxCalls, idle = true;
        for (Client& c : clients) {
            // Once time is up, only a cycle begun goes on, so no file is left.
            if (!c.busy && error.empty() && (running || c.step != kCreate) && Issue(c) != 0)
                Fail(c.nfs(), "cannot queue a call");
            idle = idle && !c.busy;
        }
        if (idle)
            break;
        if (Clock::now() > giveUp)
            throw std::runtime_error("the server stopped answering");
        ServiceAll(clients);
    }
    if (!error.empty())
        throw std::runtime_error(error);
    const double seconds = SecondsSince(start);
    for (Client& c : clients)
        if (nfs_chdir(c.nfs(), "/") != 0 || nfs_rmdir(c.nfs(), c.dir.c_str()) != 0)
            Fail(c.nfs(), "rmdir " + c.dir);
    PhaseResult ops{"throughput", latencies.size(), seconds, latencies.size() / seconds, "ops/s",
                    true};
    return {ops, LatencyPhase("p99", latencies, 0.99, seconds)};
}

}  // namespace lumebench
