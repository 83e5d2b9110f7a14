// Sizing of the host's NFS RPC thread pool, once per process.
//
// The count lives in the registry, "nMaxNFSRPCThread" in section "Lume"
// (absent or 0: not set). The first successful export request of a process
// writes max(2 x logical processors, 5) there unless a value is already set;
// no later call repeats the work, even when several first calls race.
#pragma once

#include <cstdint>

// The registry value truncated to 32 bits; 0 when absent.
uint32_t GetNFSRpcThreadCount();
void SetNFSRpcThreadCount(uint32_t count);
void UpdateNFSRpcThreadCount();
