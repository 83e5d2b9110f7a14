// The host's performance counting flag and counter object.
#include "host/PerfCounters.h"

std::atomic<bool> gPerfFlag{false};

namespace {

ThrdPerfCounter* MakeCounter() {
    ThrdPerfCounter* counter = new ThrdPerfCounter();
    // gPerfFlag gates the callers; the counter itself is ready to count.
    counter->Enable(true);
    return counter;
}

}  // namespace

// Never freed: modules may still count while static destructors run.
ThrdPerfCounter* gPerfCounter = MakeCounter();
