// lumectl stats: the server's call statistics as one report, a table like
// nfsstat's (procedures, then exports, then connections) or, with --json,
// {"procedures": [...], "exports": [...], "connections": [...]} with
// latencies in nanoseconds. A caller the server knows no name for is
// refused, as the listings refuse it (status 11, exit 1).
#pragma once

#include "cli/ConfigClient.h"
#include "cli/LumectlCommand.h"
#include "cli/LumectlReport.h"

LumectlReport RunLumectlStats(const LumectlCommand& command, ConfigClient& client);
