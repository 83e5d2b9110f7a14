// The exports lumed makes by itself, each through the configuration
// program's own create-export request (ConfigRequests), and each checked,
// once made, to serve the very directory meant: the export's root identity
// (its "RootIdentity") must be that of the directory opened beforehand with
// no symbolic link anywhere on its path, else the export is removed again
// (the module's unexport) and refused.
// - the --export and [[export]] directories, at start and on SIGHUP: made as
//   this machine, never expiring, not recorded. The administrator names the
//   directory itself: a path with a link on it is refused.
// - the exports the configuration channel had made when lumed last stopped
//   (SavedExports): a record is made again only when its real path, opened
//   with no link, is still the directory exported (same identity), each
//   reference as its recorded creator (so authorised as that creator would
//   be today), with the recorded clients, permissions, interval (its clock
//   starting afresh) and job id. A record that cannot be read, whose
//   directory is not the one exported, or none of whose creators may export
//   it now is dropped; a creator refused loses its reference; one log line
//   per record says what was made again, or why not.
// Thread safety: as the module's requests; RestoreSavedExports holds
// SavedExports::Lock() throughout.
#pragma once

#include <string>

#include "host/FSM.h"
#include "host/SharePerms.h"

// A directory opened with no symbolic link on its path.
struct ExportDirectory {
    std::string path;      // the kernel's path of what was opened
    std::string identity;  // ReadDescriptorIdentityText's form
};

// Opens dir (openat2 RESOLVE_NO_SYMLINKS); false with error set, which for
// a link on the way names the directory it leads to.
bool OpenExportDirectory(const std::string& dir, ExportDirectory& opened, std::string& error);
// Exports the directory opened, as this machine; false with error set when
// the module refuses or the export made serves another directory.
bool CreateStartupExport(FSM* fsm, const ExportDirectory& dir, const std::string& clients,
                         SharePerms perms, std::string& error);
void RestoreSavedExports(FSM* fsm);
