// The configuration program's statistics procedure: a snapshot of the
// process's call statistics (CallStats.h) as lumecfg_stats_res, within the
// bounds lumecfg.x sets (longer names cut, rows beyond the bounds left out).
#pragma once

#include <rpc/rpc.h>

#include "server/stats/CallStats.h"

// True when the snapshot was encoded.
bool EncodeStats(const StatsSnapshot& snapshot, XDR* results);
