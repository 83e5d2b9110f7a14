// The exports lumed makes at start, each through the configuration
// program's own create-export request (ConfigRequests), made in the host's
// own client name, which needs no authorisation:
// - the --export directories: never expiring, with the given clients and
//   permissions, not recorded;
// - the exports the configuration channel had made when lumed last stopped
//   (SavedExports): one create per recorded reference, with the recorded
//   clients, permissions, interval (its clock starting afresh) and job id.
//   A record the module refuses (its directory gone) is logged and dropped.
#pragma once

#include <string>

#include "host/FSM.h"
#include "host/SharePerms.h"

// True when the module created (or already had) the export of dir; else
// false and error carries the module's status and message.
bool CreateStartupExport(FSM* fsm, const std::string& dir, const std::string& clients,
                         SharePerms perms, std::string& error);
void RestoreSavedExports(FSM* fsm);
