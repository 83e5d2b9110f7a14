// The configuration program's statistics procedure: a snapshot of the
// process's call statistics (CallStats.h) as lumecfg_stats_res, within the
// bounds lumecfg.x sets (longer names cut, rows beyond the bounds left out).
#pragma once

#include <rpc/rpc.h>

#include <string>

#include "server/stats/CallStats.h"

// Encodes the snapshot with status 0, or (snapshot null) a refusal with its
// status and text and no rows. True when encoded.
bool EncodeStats(const StatsSnapshot* snapshot, int status, const std::string& message,
                 XDR* results);
