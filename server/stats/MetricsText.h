// A statistics snapshot (CallStats.h) in the Prometheus text exposition
// format, version 0.0.4: per metric family one HELP and one TYPE line, then
// its samples; label values escaped (backslash, double quote, newline);
// latencies in seconds as summaries (quantiles 0.5, 0.9, 0.99, _sum,
// _count) beside a gauge of the maximum.
#pragma once

#include <string>

#include "server/stats/CallStats.h"

std::string MetricsText(const StatsSnapshot& snapshot);
