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
// Thread-safe: m_mutex orders reading events with moving the era on, so an
// era returned after an event was queued is past every era from before it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
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
    void Watch(const std::string& path);
    // Reads every queued event; true when one of them matters.
    bool Drain();

    const int m_group;   // the fanotify group; -1 when none could be made
    std::mutex m_mutex;  // guards the members below
    uint64_t m_era = 1;
    std::set<std::string> m_paths;   // tried, watched or not
    std::map<dev_t, int> m_watched;  // device -> descriptor keeping it open
};
