// Many short-lived files in one directory: what a server keeps of files that
// are gone shows as growth of its memory and its state across the run.
#pragma once

#include <nfsc/libnfs.h>

#include "bench/e2e/BenchTypes.h"

namespace lumebench {

// Files existing at once in a churn (the last ones made).
constexpr uint64_t kChurnWindow = 50;

// In the directory config.file (made when missing), config.files cycles of
// one CREATE and one REMOVE, one call at a time: file i is created once
// file i - kChurnWindow is removed, so never more than kChurnWindow exist;
// those left at the end are removed too. Names carry the process id, so a
// second run (after a warm-up) makes new files. Cycles/s.
Results Churn(nfs_context* nfs, const BenchConfig& config);

}  // namespace lumebench
