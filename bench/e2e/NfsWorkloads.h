// The workloads run against an NFSv3 server through libnfs (see NfsBench.cpp).
#pragma once

#include "bench/e2e/BenchTypes.h"

namespace lumebench {

// Mounts config.url, runs config.workload and returns its phases; throws
// std::runtime_error on failure.
Results RunNfsWorkload(const BenchConfig& config);

}  // namespace lumebench
