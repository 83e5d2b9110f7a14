// The records of a lock request (configuration RPC 0x246002C) and its
// response (0x246002D), shared by the host and the module and laid out for
// x86-64. The request belongs to the host and is only read. The response is
// allocated with new and freed with delete by the module's release path;
// its strings are strdup copies freed with free; null means "no text".
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/LumeStatus.h"

enum LumeLockOperation : int32_t {
    LUME_LOCK_WRITE = 0,   // take a write (exclusive) lock
    LUME_LOCK_UNLOCK = 1,  // give back the owner's lock
    LUME_LOCK_STATUS = 2,  // who holds the file
    LUME_LOCK_READ = 3,    // take a read (shared) lock
};

struct LumeLockRequest {
    uint32_t reserved;             // the host's; not read
    int32_t operation;             // a LumeLockOperation; anything else is refused
    char* exportPath;              // the share path of the export; may be null
    unsigned long long lockOwner;  // chosen by the caller; 0 is an owner too
    char* filePath;                // relative to the export's real path; may be null
};
static_assert(offsetof(LumeLockRequest, operation) == 4, "");
static_assert(offsetof(LumeLockRequest, exportPath) == 8, "");
static_assert(offsetof(LumeLockRequest, lockOwner) == 16, "");
static_assert(offsetof(LumeLockRequest, filePath) == 24, "");
static_assert(sizeof(LumeLockRequest) == 32, "");

struct LumeLockResp {
    LumeStatus status = 0;
    char* exportPath = nullptr;
    char* filePath = nullptr;
    unsigned long long lockOwner = 0;  // meaning depends on the status
    char* message = nullptr;
};
static_assert(offsetof(LumeLockResp, exportPath) == 8, "");
static_assert(offsetof(LumeLockResp, filePath) == 16, "");
static_assert(offsetof(LumeLockResp, lockOwner) == 24, "");
static_assert(offsetof(LumeLockResp, message) == 32, "");
static_assert(sizeof(LumeLockResp) == 40, "");

// Sets status and owner, then stores a strdup copy of each text that is not
// null (replacing and freeing what the field held); a null text leaves its
// field as it was. Note the order: file path before export path.
void PopulateFileLockResponse(LumeLockResp* response, LumeStatus status, const char* filePath,
                              const char* exportPath, const char* message,
                              unsigned long long lockOwner);
