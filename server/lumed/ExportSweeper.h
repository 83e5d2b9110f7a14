// Removes the exports whose expiry interval has passed since their last
// access (a create or keep-alive request), as the host's own decision:
// through the module's UnExport, so their locks go with them, whatever
// their reference count. An interval of 0 never expires. The removal is
// recorded (SavedExports), so an expired export is not made again at start.
//
// Each pass also checks the next kIdsPerSweep unique file ids kept for
// each export's file system (SweepUniqueFileIds) and the next
// kHandlesPerSweep handles given out, so the store lets go of objects
// removed beside the server: a million ids are all seen within about a
// quarter of an hour.
//
// A "minute" of the expiry interval lasts minuteSeconds seconds: 60 in
// service; tests shorten it. One background thread sweeps every period and
// works on a snapshot of the export table, so it never holds the table's
// lock while it calls the module.
// Lifetime: Start once; Stop (also run by the destructor) wakes the thread
// at once and joins it. Stop it before the exports are finalised.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <ctime>
#include <thread>

#include "host/FSM.h"
#include "platform/ThreadSafety.h"

class ExportSweeper {
  public:
    ExportSweeper(FSM* fsm, unsigned minuteSeconds,
                  std::chrono::milliseconds period = std::chrono::seconds(1));
    ~ExportSweeper();
    ExportSweeper(const ExportSweeper&) = delete;
    ExportSweeper& operator=(const ExportSweeper&) = delete;

    void Start();
    void Stop() EXCLUDES(m_mutex);
    static constexpr size_t kIdsPerSweep = 1024, kHandlesPerSweep = 4096;

    // One pass at time now; the number of exports removed.
    size_t SweepOnce(time_t now) EXCLUDES(m_mutex);
    // One check of ids for each export; the number forgotten.
    static size_t SweepIds();

  private:
    void Run() EXCLUDES(m_mutex);

    FSM* const m_fsm;  // not owned
    const unsigned m_minuteSeconds;
    const std::chrono::milliseconds m_period;
    std::thread m_thread;

    Mutex m_mutex;  // a leaf: never held while sweeping
    std::condition_variable m_wake;
    bool m_stopping GUARDED_BY(m_mutex) = false;
};
