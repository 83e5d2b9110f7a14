// lumectl's listings: list (every export, fetched page by page) and locks
// SHARE (the locks held through one export). The text form is a table with
// a header line; --json gives the same rows as an array.
#pragma once

#include "cli/ConfigClient.h"
#include "cli/LumectlCommand.h"
#include "cli/LumectlReport.h"

LumectlReport RunListExports(ConfigClient& client);
LumectlReport RunListLocks(const LumectlCommand& command, ConfigClient& client);
