// Latency rows: how long quick calls wait behind a slow one on the same
// connection, and how long a server takes from its start to its first answer.
#pragma once

#include <nfsc/libnfs.h>

#include "bench/e2e/BenchTypes.h"

namespace lumebench {

// On one connection: a READ stream of config.file, 256 KiB at a time, one in
// flight, each part once in a scattered order (so readahead cannot hide a cold
// file), beside a GETATTR stream of another file, one in flight; until the
// file is read or config.seconds. The GETATTRs' p99 latency (ms) and the
// READs' MiB/s.
Results ReadBesideGetattr(nfs_context* nfs, const BenchConfig& config);

// From config.sinceMicros (the server's start, epoch µs) to the first NULL
// the URL's NFS port answers, then to the first GETATTR of the export's root
// (a MOUNT first): ms each. Tries every 2 ms for at most config.seconds.
Results FirstCall(const BenchConfig& config);

}  // namespace lumebench
