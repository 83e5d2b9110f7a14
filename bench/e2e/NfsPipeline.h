// Keeps up to `depth` libnfs asynchronous calls in flight on one context and
// drives them with poll() on nfs_get_fd()/nfs_which_events() + nfs_service().
// A run stops issuing at `count` calls or at the deadline, whichever is
// first, then waits for the calls in flight; a call that fails ends the run.
#pragma once

#include <nfsc/libnfs.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bench/e2e/BenchTypes.h"

struct rpc_context;

namespace lumebench {

class NfsPipeline {
  public:
    // Issues call number `index`, passing `tag` as the callback's private
    // data and OnNfs/OnRpc as the callback; returns what nfs_*_async returned.
    using Issue = std::function<int(uint64_t index, void* tag)>;
    // Sees the data of call `index` when it succeeded.
    using Done = std::function<void(uint64_t index, void* data)>;

    NfsPipeline(nfs_context* nfs, int depth);

    // Returns the number of calls completed (all of those issued); throws
    // std::runtime_error when a call fails or the server stops answering.
    uint64_t Run(uint64_t count, Clock::time_point deadline, const Issue& issue,
                 const Done& done = {});

    static void OnNfs(int err, nfs_context* nfs, void* data, void* tag);
    static void OnRpc(rpc_context* rpc, int status, void* data, void* tag);

  private:
    struct Slot {
        NfsPipeline* owner;
        uint64_t index;
    };

    void IssueUpTo(uint64_t count, Clock::time_point deadline, const Issue& issue);
    void WaitAndService(Clock::time_point giveUp);
    void Finish(Slot* slot, bool ok, void* data);

    nfs_context* nfs_;
    std::vector<Slot> slots_;
    std::vector<Slot*> free_;
    const Done* done_ = nullptr;
    uint64_t issued_ = 0;
    uint64_t completed_ = 0;
    std::string error_;
};

}  // namespace lumebench
