// Many clients at once: config.clients libnfs contexts (one TCP connection
// each), driven by one poll loop, each with one call in flight.
#pragma once

#include "bench/e2e/BenchTypes.h"

namespace lumebench {

// Each client, in a directory of its own, repeats CREATE, WRITE 4 KiB,
// READ 4 KiB, REMOVE of a new file for config.seconds (a cycle begun is
// finished): all clients' calls per second, and their p99 latency in ms.
Results ManyClients(const BenchConfig& config);

}  // namespace lumebench
