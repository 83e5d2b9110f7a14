// The split of lumed's descriptors between exports, connections and caches.
#include "server/lumed/DescriptorBudget.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>

#include "host/LumeServiceGlobals.h"
#include "platform/LogWriter.h"

namespace {

// The kernel's default nr_open: beyond it an unlimited soft limit counts as this.
constexpr size_t kMostDescriptors = 1 << 20;
constexpr size_t kMostConnections = 1024;
constexpr size_t kMostFoundObjects = 65536;
constexpr size_t kMostKeptListings = 64;

// The soft limit, raised to the hard one: the administrator's ceiling
// (systemd's LimitNOFILE=, ulimit -Hn) is the budget.
void RaiseSoftLimit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

size_t SoftLimit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return kMostConnections;
    return static_cast<size_t>(std::min<rlim_t>(limit.rlim_cur, kMostDescriptors));
}

// The descriptors open now (the log's, the store's); 0 when they cannot
// be counted.
size_t OpenDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return 0;
    size_t count = 0;
    while (const dirent* entry = ::readdir(dir))
        count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count > 0 ? count - 1 : 0;  // not the one reading the list
}

size_t Sixteenths(size_t free, size_t n, size_t floor) {
    return std::max(floor, free / 16 * n);
}

}  // namespace

DescriptorBudget DescriptorBudget::Split(size_t limit, size_t openAtStart) {
    DescriptorBudget budget;
    budget.limit = limit;
    budget.openAtStart = openAtStart;
    const size_t free = limit > openAtStart ? limit - openAtStart : 0;
    budget.exports = Sixteenths(free, 2, 4);
    budget.exportsForHost = std::max<size_t>(2, budget.exports / 8);
    const size_t connections = std::min(kMostConnections, Sixteenths(free, 2, 8));
    budget.configConnections = std::max<size_t>(2, connections / 8);
    budget.nfsConnections = std::max<size_t>(4, connections - 2 * budget.configConnections);
    budget.nfs.keptFiles = Sixteenths(free, 4, 8) / 2;
    budget.nfs.foundObjects = std::min(kMostFoundObjects, Sixteenths(free, 6, 16));
    budget.nfs.keptListings = std::min(kMostKeptListings, Sixteenths(free, 2, 16) / 8);
    return budget;
}

DescriptorBudget DescriptorBudget::OfProcess() {
    return Split(SoftLimit(), OpenDescriptors());
}

DescriptorBudget DescriptorBudget::AtStart() {
    RaiseSoftLimit();
    const DescriptorBudget budget = OfProcess();
    OXLOG(1, 0,
          "Descriptors: %zu, %zu open at start; exports %zu (%zu for this machine only), "
          "connections %zu (+%zu per configuration server), kept files %zu, found objects %zu, "
          "kept listings %zu.",
          budget.limit, budget.openAtStart, budget.exports, budget.exportsForHost,
          budget.nfsConnections, budget.configConnections, budget.nfs.keptFiles,
          budget.nfs.foundObjects, budget.nfs.keptListings);
    return budget;
}

void DescriptorBudget::ApplyToExports() const {
    LumeServiceGlobals::exportDescriptors = exports;
    LumeServiceGlobals::exportDescriptorsForHost = exportsForHost;
}
