// The data workloads run with plain POSIX calls in a local directory: the
// ceiling the NFS figures are compared with (see NfsBench.cpp).
#pragma once

#include "bench/e2e/BenchTypes.h"

namespace lumebench {

// Runs config.workload in config.localDir with config.depth threads and
// returns its phases; throws std::runtime_error on failure (`null` has no
// local equivalent).
Results RunLocalWorkload(const BenchConfig& config);

}  // namespace lumebench
