// How many quick calls, run on their connection's thread, found they would
// wait (a READ of data not in memory) and went to a worker instead: by
// every RpcServer of the process since it started. Thread-safe. Apart from
// RpcServer.h so that code which cannot include the RPC headers reads it.
#pragma once

#include <cstdint>

uint64_t RpcCallsHandedOver();
