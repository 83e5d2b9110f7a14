// The write verifier WRITE and COMMIT replies carry.
//
// A client keeps the data of its unstable writes until a COMMIT answers the
// verifier its writes saw, and sends it again when the verifier changed.
// So the verifier changes at every start (start time and pid) and whenever
// written data may have been lost since: a failed sync (COMMIT, stable
// WRITE) or a failed close of a written descriptor (Renew).
// Thread-safe: one atomic value.
#pragma once

#include <atomic>
#include <cstdint>

#include "server/protocol/nfs3.h"

class Nfs3WriteVerifier {
  public:
    Nfs3WriteVerifier();
    Nfs3WriteVerifier(const Nfs3WriteVerifier&) = delete;
    Nfs3WriteVerifier& operator=(const Nfs3WriteVerifier&) = delete;

    void CopyTo(char out[NFS3_WRITEVERFSIZE]) const;
    // Written data may be lost: clients must resend what is not committed.
    void Renew();

  private:
    std::atomic<uint64_t> m_value;
};
