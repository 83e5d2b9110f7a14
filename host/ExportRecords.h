// The records of the create-export, unexport and keep-alive requests.
//
// Plain structures the host and the module share, laid out for x86-64
// (little-endian, natural alignment); every string is a pointer to
// NUL-terminated bytes, null meaning "no text". Request records belong to
// the host and are only read. Response records are allocated with new and
// freed with delete, their strings with strdup and free (the module's
// ReleaseConfigRPCMem frees them).
// The unexport and keep-alive requests are LumeExportPath records of which
// only the path is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/Export.h"

struct LumeExportPath {
    uint32_t reserved;   // the host's; not read
    uint32_t timeout;    // expiry interval in minutes
    char* path;          // the directory, as the caller names it
    char* clients;       // allowed clients, handed to the host unparsed
    int32_t perms;       // SharePerms
    uint64_t jobId;      // the caller's job id, tags this request's messages
    int32_t uniqueName;  // nonzero: make the share name unique by a suffix
};
static_assert(offsetof(LumeExportPath, timeout) == 4, "");
static_assert(offsetof(LumeExportPath, path) == 8, "");
static_assert(offsetof(LumeExportPath, clients) == 16, "");
static_assert(offsetof(LumeExportPath, perms) == 24, "");
static_assert(offsetof(LumeExportPath, jobId) == 32, "");
static_assert(offsetof(LumeExportPath, uniqueName) == 40, "");
static_assert(sizeof(LumeExportPath) == 48, "");

// One export as described to the caller.
struct LumeShare {
    char* path = nullptr;     // strdup of the export's path in the caller's form
    uint32_t reserved32 = 0;  // the host's; always 0 here
    uint64_t reserved64 = 0;  // the host's; always 0 here
    uint64_t refCount = 0;    // the export's reference count
};
static_assert(offsetof(LumeShare, reserved32) == 8, "");
static_assert(offsetof(LumeShare, reserved64) == 16, "");
static_assert(offsetof(LumeShare, refCount) == 24, "");
static_assert(sizeof(LumeShare) == 32, "");

struct LumeExportPathResp {
    uint16_t status = 0;
    char* message = nullptr;  // failure text
    LumeShare share;          // filled on success only
};
static_assert(offsetof(LumeExportPathResp, message) == 8, "");
static_assert(offsetof(LumeExportPathResp, share) == 16, "");
static_assert(sizeof(LumeExportPathResp) == 48, "");

struct LumeUnExportResp {
    LumeShare share;  // filled when the share was found and caller may manage it
    uint16_t status = 0;
    char* message = nullptr;  // failure text
};
static_assert(offsetof(LumeUnExportResp, status) == 32, "");
static_assert(offsetof(LumeUnExportResp, message) == 40, "");
static_assert(sizeof(LumeUnExportResp) == 48, "");

// The one-line text of a create request for the log, ending in a newline:
// "path: P clients: C perms: N jobId: J timeout: T\n" (null strings as "").
std::string LumeExportPathtoStr(const LumeExportPath& request);

// Fills a freshly built share description from the export: a strdup of its
// path in the caller's form and its reference count; the other fields 0.
void ExportToLumeShare(ExportPtr& exp, LumeShare& share);
