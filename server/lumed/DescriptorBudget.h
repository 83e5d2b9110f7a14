// lumed's open descriptors, shared out once at start so that no consumer
// can take what the others need. lumed raises its soft RLIMIT_NOFILE to the
// hard limit first; what is not open by then is split in sixteenths:
//   2  the host's own, given to no cache: each call's passing opens (MNT's
//      walk, a new export's root before it counts), listings kept open (an
//      eighth of this, at most 64), the log, the store, accepted sockets
//      before they are counted
//   2  exports' root descriptors (LumeServiceGlobals::exportDescriptors);
//      an eighth of them (at least 2) only for this machine's exports, so
//      root can export when every other caller has used its share
//   2  connections: the NFS server's maxConnections, and an eighth of it
//      for each configuration server (at most 1024 in all)
//   4  kept files: Nfs3OpenFiles keeps half as many files (a kept file
//      holds two: the module's object and the open file)
//   6  objects kept as found (Nfs3FoundObjects, at most 65536)
// Each share has a floor, so a small limit still serves a little of all.
// Computed once at start, single-threaded; read-only afterwards.
#pragma once

#include <cstddef>

#include "server/nfs/Nfs3Request.h"

struct DescriptorBudget {
    size_t limit = 0;  // the soft RLIMIT_NOFILE after raising it
    size_t openAtStart = 0;
    size_t exports = 0;         // root descriptors of all exports
    size_t exportsForHost = 0;  // of them, for this machine's exports only
    size_t nfsConnections = 0;
    size_t configConnections = 0;  // each configuration server's
    Nfs3Limits nfs;

    // Raises the soft limit to the hard one and shares out what is free.
    static DescriptorBudget AtStart();
    // Shares out what the process may still open under its soft limit as
    // it stands (a server made inside another program).
    static DescriptorBudget OfProcess();
    // The split of limit descriptors of which openAtStart are in use.
    static DescriptorBudget Split(size_t limit, size_t openAtStart);
    // Hands the exports' share to the module (LumeServiceGlobals).
    void ApplyToExports() const;
};
