// Whether the way to an object found beneath a directory may have changed
// since it was found.
//
// An object found by walking names stays where it was found, and stays
// reachable by the identity that walked there, until a name on the way is
// renamed, removed or replaced, or a directory's attributes (its
// permissions) change. Each of these queues an event on a fanotify group
// watching the whole file system before the system call that made it
// returns. Now() reads what is queued and moves the era on when an event
// matters: any about a directory, and those about a file's name that was
// noted (Note) before the event was read. An era taken before a walk and
// equal to one taken later proves that nothing on the way to an object
// whose name was noted in between changed, on a watched file system, as
// long as no event at all was read between the walk and the note (Quiet).
// Mounts are not names: a file system mounted over a directory is not seen.
//
// Watching needs CAP_SYS_ADMIN and a file system that gives file handles;
// where the kernel refuses, nothing is proved there (Watched is false). A
// watched file system is kept open (one descriptor) until the process ends,
// so its device number cannot pass to another one meanwhile.
// Thread-safe. A moment is read without a lock when nothing is queued and
// no thread is reading events: a reader marks itself (m_reading) before it
// takes events off the queue, counts them (m_read) before it judges them,
// and clears the mark only once the era has moved on for them; so a queue
// seen empty with no mark up means every event queued before is counted and
// judged. Locks: m_drainMutex (one reader at a time) or m_watchMutex, then
// m_namesMutex; order: see platform/ThreadSafety.h.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_set>

#include "platform/ThreadSafety.h"

class NameChanges {
  public:
    struct Moment {
        uint64_t era = 0;  // 0: nothing is watched, nothing proved
        uint64_t read = 0;
    };

    static NameChanges& Process();

    // Watches the file system holding the directory at path (once per path),
    // and the moment after reading what is queued.
    Moment Now(const std::string& path) EXCLUDES(m_drainMutex);
    // Whether the file system of device is watched.
    bool Watched(dev_t device) EXCLUDES(m_watchMutex);
    // Events about files named name matter from now on, until the era moves.
    void Note(const std::string& name) EXCLUDES(m_namesMutex);
    // Whether no event was read and the era stayed since moment.
    bool Quiet(const Moment& moment) const;

  private:
    NameChanges();
    // Watches path's file system unless tried before; whether any is.
    bool Watching(const std::string& path) EXCLUDES(m_watchMutex);
    void Watch(const std::string& path) REQUIRES(m_watchMutex);
    // Reads what is queued, at most kReadsPerMoment buffers; true when an
    // event matters, or when some may be left unread or unjudged.
    bool Drain() REQUIRES(m_drainMutex);
    // Whether the event from event to end matters.
    bool Matters(const char* event, const char* end) REQUIRES(m_drainMutex);
    void NextEra() EXCLUDES(m_namesMutex);

    const int m_group;  // the fanotify group; -1 when none could be made
    std::atomic<uint64_t> m_era{1};
    std::atomic<uint64_t> m_read{0};  // events taken off the queue
    std::atomic<int> m_reading{0};    // threads taking events off the queue
    Mutex m_drainMutex;
    SharedMutex m_watchMutex;
    Mutex m_namesMutex ACQUIRED_AFTER(m_drainMutex, m_watchMutex);
    std::unordered_set<std::string> m_names GUARDED_BY(m_namesMutex);  // noted in this era
    std::set<std::string> m_paths GUARDED_BY(m_watchMutex);            // tried, watched or not
    // device -> descriptor keeping it open
    std::map<dev_t, int> m_watched GUARDED_BY(m_watchMutex);
};
