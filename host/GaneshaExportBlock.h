// The EXPORT block that hands one share to NFS-Ganesha, and its file.
//
// MakeGaneshaExportBlock turns what an export is into the text of one block,
// or refuses with a reason when Ganesha cannot express it (the caller logs
// the reason and answers status 17). Invariants of every block written:
//   - Path and Pseudo are quoted and hold no '"', '\\', control character,
//     "." or ".." component; both are absolute (a share path that is not gets
//     a leading "/").
//   - Ganesha reads client entries only unquoted, so each is first brought to
//     the host's canonical form (AllowedClients) and written only when its
//     text lexes as that form: an address, a CIDR range, a host name (Ganesha
//     resolves it once, when it loads the block), *.suffix or *.
//   - Access is granted only inside CLIENT blocks: the export itself and a
//     last CLIENT block matching everyone say None, so a client off the list,
//     or the site's EXPORT_DEFAULTS, never widens it. An empty list admits
//     no client, as it does in lumed.
//   - Squashed callers become 65534, as lumed squashes them.
// Files live in STATE_DIR/ganesha/export-<id>.conf (0600, in a directory
// only root or lumed's user may change) and are replaced whole.
// No shared state: thread-safe, but two writers of one id race (last wins).
#pragma once

#include <cstdint>
#include <string>

#include "host/SharePerms.h"

struct GaneshaExportFields {
    uint32_t shareId = 0;   // Export_Id; Ganesha takes 1..65535 here
    std::string realPath;   // Path: the directory served, absolute
    std::string sharePath;  // Pseudo: where NFSv4 clients find it
    SharePerms perms = 0;   // READ or WRITE needed; ROOT keeps root's identity
    std::string clients;    // allowed clients, in AllowedClients' text form
};

// True and block filled with the text of one EXPORT block; false and reason
// filled (block untouched) when Ganesha cannot express the export.
bool MakeGaneshaExportBlock(const GaneshaExportFields& fields, std::string& block,
                            std::string& reason);

// STATE_DIR/ganesha/export-<shareId>.conf.
std::string GaneshaExportFilePath(uint32_t shareId);
// The expression AddExport and UpdateExport take with the file:
// "EXPORT(Export_Id=<shareId>)".
std::string GaneshaExportExpression(uint32_t shareId);

// Makes the block and replaces the export's file with it (creating
// STATE_DIR/ganesha when missing). True and path filled; false and reason
// filled, with the old file (if any) left as it was.
bool WriteGaneshaExportFile(const GaneshaExportFields& fields, std::string& path,
                            std::string& reason);
// Removes the export's file. True when it is gone, also when it was not
// there; false and reason filled otherwise.
bool RemoveGaneshaExportFile(uint32_t shareId, std::string& reason);
