// How much of an LMDB environment (lumed's state store) is in use, read
// from its meta page beside the server that writes it.
#pragma once

#include "bench/e2e/BenchTypes.h"

namespace lumebench {

// Local: the pages the environment in config.localDir has used (up to its
// last page in use, so free pages it keeps for reuse count too) times its
// page size, in MiB; ops holds the pages. Opened read-only without the lock
// file and without a transaction, so the writer is not disturbed.
Results StoreSize(const BenchConfig& config);

}  // namespace lumebench
