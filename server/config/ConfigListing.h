// The configuration program's listings: the host's export table, a page at
// a time in share id order, and the locks held through one export, both
// read from snapshots (gAllExports, FSM::ListLocks) taken without holding
// any lock while the reply is built.
// Bounds: a reply holds at most LUMECFG_LIST_MAX entries and, past its
// first, about LUMECFG_LIST_BYTES of text, so a huge table never makes a
// reply the transport cannot carry; a text longer than LUMECFG_TEXTLEN is
// cut to it. Thread-safe: keeps no state.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "host/FSM.h"
#include "server/protocol/lumecfg.h"

struct ExportRow {
    std::string sharePath, realPath, clients;
    uint32_t shareId = 0;
    int32_t perms = 0;
    uint32_t refCount = 0;
    int64_t expiryLeft = -1;  // seconds; -1 never expires
    uint64_t jobId = 0;
    uint32_t locks = 0;
};

struct ExportPage {
    std::vector<ExportRow> rows;
    bool more = false;  // rows from nextShareId on were left for the next page
    uint32_t nextShareId = 0;
};

// The exports from share id `from` on, as they stand at `now`.
ExportPage ListExports(FSM* fsm, uint32_t from, time_t now);

struct LockPage {
    std::vector<HeldLock> locks;  // by file, then owner; cut at the bounds
    uint32_t total = 0;           // every lock held through the export
};

// The locks held through the export of sharePath; false when it is not
// exported.
bool ListExportLocks(FSM* fsm, const std::string& sharePath, LockPage& page);

// Encode a page with status 0, or (page null) a refusal with its text.
bool EncodeExportPage(XDR* out, const ExportPage* page, int status, const std::string& message);
bool EncodeLockPage(XDR* out, const LockPage* page, int status, const std::string& message);
