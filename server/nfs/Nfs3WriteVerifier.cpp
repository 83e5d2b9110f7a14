// The write verifier: a stamp of the process's start, moved on when written data may have been
// lost.
#include "server/nfs/Nfs3WriteVerifier.h"

#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

// The process start, as nanoseconds and pid: one value per start.
uint64_t ProcessStartStamp() {
    return static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
           (static_cast<uint64_t>(::getpid()) << 48);
}

}  // namespace

Nfs3WriteVerifier::Nfs3WriteVerifier() : m_value(ProcessStartStamp()) {}

void Nfs3WriteVerifier::CopyTo(char out[NFS3_WRITEVERFSIZE]) const {
    const uint64_t value = m_value.load(std::memory_order_acquire);
    static_assert(sizeof value == NFS3_WRITEVERFSIZE, "verifier is 8 bytes");
    std::memcpy(out, &value, sizeof value);
}

void Nfs3WriteVerifier::Renew() {
    // An odd step never brings back a value of this start within 2^64 renewals.
    m_value.fetch_add(0x9e3779b97f4a7c15ull, std::memory_order_acq_rel);
}
