// The records of a drill-hole request (configuration RPC 0x2460045) and its
// response (0x2460046), shared by the host and the module and laid out for
// x86-64. The request belongs to the host and is only read; the response is
// allocated with new and freed with delete by the module's release path, its
// strings with strdup and free.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/LumeStatus.h"

struct LumeSinkFSMDrillHoleReq {
    uint64_t reserved;  // the host's; not read
    char* sharePath;    // the export's path as the caller names it
    char* filePath;     // the file's path within the export
    uint64_t offset;    // first byte of the hole
    uint64_t size;      // length of the hole in bytes
};
static_assert(offsetof(LumeSinkFSMDrillHoleReq, sharePath) == 8, "");
static_assert(offsetof(LumeSinkFSMDrillHoleReq, filePath) == 16, "");
static_assert(offsetof(LumeSinkFSMDrillHoleReq, offset) == 24, "");
static_assert(offsetof(LumeSinkFSMDrillHoleReq, size) == 32, "");

struct LumeSinkFSMDrillHoleResp {
    LumeStatus status = 0;
    char* sharePath = nullptr;  // the share path after conversion
    char* filePath = nullptr;   // the file path after conversion
    char* errorText = nullptr;
};
static_assert(offsetof(LumeSinkFSMDrillHoleResp, sharePath) == 8, "");
static_assert(offsetof(LumeSinkFSMDrillHoleResp, filePath) == 16, "");
static_assert(offsetof(LumeSinkFSMDrillHoleResp, errorText) == 24, "");
static_assert(sizeof(LumeSinkFSMDrillHoleResp) == 32, "");
