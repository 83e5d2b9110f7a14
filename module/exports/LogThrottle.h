// Lets a message about one key (a caller) through at most once per interval,
// however often it happens: a caller refused on every call leaves one line
// a minute, not one per call.
// Invariant: at most kMaxKeys keys are remembered; past that, keys whose
// interval has passed are forgotten first, then all (a burst of new keys
// costs a line each, never unbounded memory).
// Thread safety: any thread; m_mutex is a leaf lock.
#pragma once

#include <chrono>
#include <map>
#include <string>

#include "platform/ThreadSafety.h"

class LogThrottle {
  public:
    typedef std::chrono::steady_clock Clock;
    static constexpr size_t kMaxKeys = 4096;

    explicit LogThrottle(Clock::duration interval) : m_interval(interval) {}
    // True when key's last line was let through an interval or more before
    // now (or never); now is then its last line.
    bool Allow(const std::string& key, Clock::time_point now = Clock::now()) EXCLUDES(m_mutex);

  private:
    void Forget(Clock::time_point now) REQUIRES(m_mutex);

    const Clock::duration m_interval;
    Mutex m_mutex;
    std::map<std::string, Clock::time_point> m_lastLine GUARDED_BY(m_mutex);
};
