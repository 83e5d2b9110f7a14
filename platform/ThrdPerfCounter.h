// Performance counters: calls, time and bytes per counter id, kept per thread
// so that counting takes the shared lock only to find the thread's block
// (once, and again when its small cache misses), and summed over all
// threads when read. Inert (Start and Stop do nothing) until enabled. With
// log-each set, every Stop logs all counters under the heading "For All The
// Files".
// Counter ids run from 0 to kMaxCounters - 1; others are ignored. The
// category names the caller's group of counters and appears in the log; it
// is kept by pointer, so it must outlive the object (a string literal).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/ThreadSafety.h"

class ThrdPerfCounter {
  public:
    static constexpr int kMaxCounters = 64;

    struct Totals {
        uint64_t calls = 0;
        uint64_t nanoseconds = 0;
        uint64_t bytes = 0;
    };

    ThrdPerfCounter();
    virtual ~ThrdPerfCounter();
    ThrdPerfCounter(const ThrdPerfCounter&) = delete;
    ThrdPerfCounter& operator=(const ThrdPerfCounter&) = delete;

    void Enable(bool on) { m_enabled.store(on); }
    bool IsEnabled() const { return m_enabled.load(); }
    void SetLogEach(bool on) { m_logEach.store(on); }

    virtual void StartPerfCounter(const char* category, int counter);
    virtual void StopPerfCounter(const char* category, int counter, unsigned long long bytes);

    // Summed over every thread that counted.
    Totals GetTotals(int counter) const EXCLUDES(m_mutex);
    // Logs (level 1) the heading "For All The Files", then one line per
    // counter that has calls.
    void LogAll() const EXCLUDES(m_mutex);

  private:
    struct ThreadBlock;
    ThreadBlock& BlockOfThisThread() EXCLUDES(m_mutex);

    const uint64_t m_id;  // tells this object apart in per-thread lookups
    std::atomic<bool> m_enabled{false};
    std::atomic<bool> m_logEach{false};
    mutable Mutex m_mutex;  // a leaf lock
    std::vector<std::shared_ptr<ThreadBlock>> m_blocks GUARDED_BY(m_mutex);
};
