// Whether the way to an object found beneath a directory may have changed
// since it was found.
//
// An object found by walking names stays where it was found, and stays
// reachable by the identity that walked there, until a name on the way is
// renamed or removed, or a directory's attributes (its permissions) change.
// Each of these queues an event on a fanotify group watching the whole file
// system before the system call that made it returns. Era() reads what is
// queued and moves on when any such event was there: an era taken before a
// walk and equal to one taken later proves that no name was renamed or
// removed and no directory's attributes changed, on a watched file system,
// in between. Mounts are not names: a file system mounted over a directory
// is not seen.
//
// Watching needs CAP_SYS_ADMIN and a file system that gives file handles;
// where the kernel refuses, nothing is proved there (Watched is false). A
// watched file system is kept open (one descriptor) until the process ends,
// so its device number cannot pass to another one meanwhile.
// Thread-safe. An era is read without a lock when nothing is queued and no
// thread is reading events: a reader marks itself (m_reading) before it
// takes events off the queue and clears the mark only once the era has
// moved on for them, so a queue seen empty with no mark up means every
// event queued before has moved the era already. m_drainMutex lets one
// thread read events at a time; m_watchMutex guards what is watched.
// Neither is taken while holding the other.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>

class NameChanges {
  public:
    static NameChanges& Process();

    // Watches the file system holding the directory at path (once per path),
    // and the current era; 0 (never an era) when nothing can be watched.
    uint64_t Era(const std::string& path);
    // Whether the file system of device is watched.
    bool Watched(dev_t device);

  private:
    NameChanges();
    // Watches path's file system unless tried before; whether any is.
    bool Watching(const std::string& path);
    void Watch(const std::string& path);
    // Reads every queued event; true when one of them matters.
    bool Drain();

    const int m_group;  // the fanotify group; -1 when none could be made
    std::atomic<uint64_t> m_era{1};
    std::atomic<int> m_reading{0};  // threads taking events off the queue
    std::mutex m_drainMutex;
    std::shared_mutex m_watchMutex;  // guards the members below
    std::set<std::string> m_paths;   // tried, watched or not
    std::map<dev_t, int> m_watched;  // device -> descriptor keeping it open
};
