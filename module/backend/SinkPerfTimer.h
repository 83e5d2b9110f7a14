// Times one backend call on the host's per-thread performance counters
// ("LUME" category) while the host's counting flag is set.
//
// Start on construction, stop once: explicitly with the bytes the call
// moved, or on destruction with 0. The flag is read at each end; with it
// clear no counter call is made. Starting and stopping save and restore errno, so
// timing never disturbs what the timed call left for the caller.
// One timer is used by one thread.
#pragma once

#include <cerrno>

#include "host/PerfCounters.h"

class SinkPerfTimer {
  public:
    explicit SinkPerfTimer(int counter) : m_counter(counter) {
        if (!gPerfFlag.load())
            return;
        // A caller may have cleared errno to tell an end (readdir) from a failure.
        int savedErrno = errno;
        gPerfCounter->StartPerfCounter(kCategory, m_counter);
        errno = savedErrno;
    }
    ~SinkPerfTimer() { Stop(0); }
    SinkPerfTimer(const SinkPerfTimer&) = delete;
    SinkPerfTimer& operator=(const SinkPerfTimer&) = delete;

    void Stop(unsigned long long bytes) {
        if (m_stopped)
            return;
        m_stopped = true;
        if (!gPerfFlag.load())
            return;
        int savedErrno = errno;
        gPerfCounter->StopPerfCounter(kCategory, m_counter, bytes);
        errno = savedErrno;
    }

  private:
    static constexpr const char* kCategory = "LUME";
    const int m_counter;
    bool m_stopped = false;
};
