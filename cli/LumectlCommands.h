// The lumectl commands: each builds its configuration request, makes the
// call and turns the server's answer into a report. A lock command's
// expected answers count as success: lock 20 (granted), unlock 22 or 27
// (unlocked, or held by nobody), lock-status 26 or 27 (locked or not).
#pragma once

#include "cli/ConfigClient.h"
#include "cli/LumectlCommand.h"
#include "cli/LumectlReport.h"

LumectlReport RunLumectlCommand(const LumectlCommand& command, ConfigClient& client);
