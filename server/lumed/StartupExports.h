// The exports lumed makes at start: the configuration program's own
// create-export request (ConfigRequests), made in the host's own client
// name, which needs no authorisation; never expiring, with the given
// clients and permissions.
#pragma once

#include <string>

#include "host/FSM.h"
#include "host/SharePerms.h"

// True when the module created (or already had) the export of dir; else
// false and error carries the module's status and message.
bool CreateStartupExport(FSM* fsm, const std::string& dir, const std::string& clients,
                         SharePerms perms, std::string& error);
