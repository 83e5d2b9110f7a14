// Whether a client may have a path of this server exported.
//
// A path is allowed, whoever asks, when it lies under this machine's job
// results directory (registry "Machines\<this machine's client name>" /
// "dJOBRESULTSDIR"); otherwise, with "nEnableSinkSecurityFixes" (section
// "Lume", default 1) nonzero, when the storage-to-client access list names
// the client for the last mount path that holds it (a refusal from the saved
// list is checked once more against a fresh list pulled from HQ); with it 0,
// when the path lies under one of the library mount paths, whoever asks.
//
// Path form: RemoveDoubleDots with '/', then a trailing '/'. A path lies
// under a directory when its path form starts with the directory's, and —
// so that a symbolic link inside an allowed tree cannot carry an export out
// of it — the path as it resolves on disk (its longest existing part
// resolved) lies under the directory as it resolves. Client names compare
// case-insensitively. An empty path is never allowed; an empty directory or
// mount path holds nothing.
// Managing an export (unexport, keep-alive, locks, holes) is for this
// machine, for a client that asked for the export, and for one that may
// export its real path. Changing an export's clients or options is for this
// machine and for the proved client that created it only.
// No state, no lock: any number of calls may run at once.
#pragma once

#include <string>

#include "host/Export.h"

// path: the real path of the export to be (normalised here).
bool IsAllowedToExport(std::string path, const std::string& client);
// exportPath already in path form. The second pass (firstPass false) pulls
// the list from HQ first; it never starts another.
bool IsClientAllowedToExport(const std::string& exportPath, const std::string& client,
                             bool firstPass);
// path already in path form.
bool IsPartOfLibraryPath(const std::string& path);
// This machine itself: the host's own client name, never an empty one.
bool IsThisMachine(const std::string& caller);
// True when caller may unexport, keep alive, lock in or punch holes in exp.
bool MayManageExport(const ExportPtr& exp, const std::string& caller);
// True when caller may change exp's clients, permissions and timeout.
bool MayChangeExport(const ExportPtr& exp, const std::string& caller);
// What a refused manager is told, with LUME_STATUS_PATH_NOT_ALLOWED.
extern const char kNotAllowedText[];
