#include "bench/e2e/NfsPipeline.h"

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <nfsc/libnfs-raw.h>

namespace lumebench {

namespace {

// How long calls in flight may take to answer once issuing has stopped.
constexpr double kDrainSeconds = 30;
constexpr int kPollMillis = 100;

}  // namespace

NfsPipeline::NfsPipeline(nfs_context* nfs, int depth) : nfs_(nfs), slots_(depth) {
    for (Slot& slot : slots_)
        free_.push_back(&slot);
}

uint64_t NfsPipeline::Run(uint64_t count, Clock::time_point deadline, const Issue& issue,
                          const Done& done) {
    done_ = &done;
    issued_ = completed_ = 0;
    error_.clear();
    Clock::time_point giveUp = deadline + std::chrono::seconds(static_cast<int>(kDrainSeconds));
    for (;;) {
        IssueUpTo(count, deadline, issue);
        if (free_.size() == slots_.size())
            break;
        WaitAndService(giveUp);
    }
    done_ = nullptr;
    if (!error_.empty())
        throw std::runtime_error(error_);
    return completed_;
}

void NfsPipeline::IssueUpTo(uint64_t count, Clock::time_point deadline, const Issue& issue) {
    while (!free_.empty() && issued_ < count && error_.empty() && Clock::now() < deadline) {
        Slot* slot = free_.back();
        free_.pop_back();
        *slot = Slot{this, issued_};
        if (issue(issued_, slot) != 0) {
            free_.push_back(slot);
            error_ = std::string("cannot queue a call: ") + nfs_get_error(nfs_);
            return;
        }
        ++issued_;
    }
}

void NfsPipeline::WaitAndService(Clock::time_point giveUp) {
    if (Clock::now() > giveUp)
        throw std::runtime_error("the server stopped answering");
    pollfd pfd{nfs_get_fd(nfs_), static_cast<short>(nfs_which_events(nfs_)), 0};
    if (::poll(&pfd, 1, kPollMillis) < 0 && errno != EINTR)
        throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    if (nfs_service(nfs_, pfd.revents) < 0)
        throw std::runtime_error(std::string("nfs_service: ") + nfs_get_error(nfs_));
}

void NfsPipeline::Finish(Slot* slot, bool ok, void* data) {
    if (!ok && error_.empty())
        error_ = "call " + std::to_string(slot->index) +
                 " failed: " + (data ? static_cast<const char*>(data) : "no reason given");
    if (ok && *done_)
        (*done_)(slot->index, data);
    ++completed_;
    free_.push_back(slot);
}

void NfsPipeline::OnNfs(int err, nfs_context*, void* data, void* tag) {
    Slot* slot = static_cast<Slot*>(tag);
    slot->owner->Finish(slot, err >= 0, data);
}

void NfsPipeline::OnRpc(rpc_context*, int status, void* data, void* tag) {
    Slot* slot = static_cast<Slot*>(tag);
    // On RPC_STATUS_ERROR data is the reason; on RPC_STATUS_CANCEL it is null.
    slot->owner->Finish(slot, status == RPC_STATUS_SUCCESS,
                        status == RPC_STATUS_CANCEL ? nullptr : data);
}

}  // namespace lumebench
