// The registry value that sizes the host's NFS RPC thread pool, set once per
// process.
#include "module/exports/RpcThreadCount.h"

#include <atomic>

#include "platform/LogWriter.h"
#include "platform/OXPlatformInfo.h"
#include "platform/SystemInfo.h"

namespace {

const char kSection[] = "Lume";
const char kKey[] = "nMaxNFSRPCThread";
// The smallest count written: a lower bound, whatever the name says.
constexpr int MAX_DEFAULT_RPC_THREAD = 5;
constexpr int kThreadsPerProcessor = 2;

}  // namespace

uint32_t GetNFSRpcThreadCount() {
    unsigned int count = 0;
    OXPlatformInfo().getNumber(kSection, kKey, &count);
    return count;
}

void SetNFSRpcThreadCount(uint32_t count) {
    OXLOG(1, 0, "Setting [Lume/%s] to [%d]", kKey, static_cast<int>(count));
    OXPlatformInfo().setNumber(kSection, kKey, count);
}

void UpdateNFSRpcThreadCount() {
    static std::atomic<bool> updated{false};
    // Claimed before anything else, so no later call repeats the work even if
    // this one finds the value set or fails to store it.
    if (updated.exchange(true))
        return;

    int processors = GetLogicalProcessorCount();
    OXLOG(1, 0, "Number of processors [%d] MAX_DEFAULT_RPC_THREAD [%d]", processors,
          MAX_DEFAULT_RPC_THREAD);
    int count = kThreadsPerProcessor * processors;
    if (count <= 4)
        count = MAX_DEFAULT_RPC_THREAD;

    if (GetNFSRpcThreadCount() != 0) {
        OXLOG(1, 0, "[Lume/%s] is alreay set. Will not set based on processor count.", kKey);
        return;
    }
    SetNFSRpcThreadCount(static_cast<uint32_t>(count));
}
