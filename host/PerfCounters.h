// The host's performance counting: modules time their operations on
// gPerfCounter while gPerfFlag is set. gPerfCounter is never null; a test
// may point it at its own counter object while no operation runs.
#pragma once

#include <atomic>

#include "platform/ThrdPerfCounter.h"

extern std::atomic<bool> gPerfFlag;
extern ThrdPerfCounter* gPerfCounter;
