// The objects calls found by handle, gave a handle to, or looked up by name,
// kept so that the next call with the same handle, or the same name in the
// same directory, need not walk to its object again beneath the export's
// root.
//
// An entry stands for its handle only while that is proved: the export is
// the one it was found beneath, the caller has the identity it was found
// under (the walk checked the directories' search permission for it), and
// the era of name changes (platform/NameChanges.h), taken before the walk,
// has not moved on since. An object is kept only when it is on a watched
// file system and no change was read between the walk and the noting of
// its name.
// Anything else is a miss, and the call resolves the handle afresh.
// Once a call brings a newer era, every entry is dropped: an entry of an
// older era can never be used, and its descriptor could keep a removed
// file's space taken.
// An entry by handle holds its object, so a descriptor: at most capacity
// of them. An entry by name holds its object only while something else
// does (an entry by handle, a call), so names cost memory alone: at most
// twice capacity of them. An object holds its whole path, so one whose
// path is longer than kLongestPathKept is not kept: however deep clients
// go, the paths kept cost at most that much per entry (deeper objects are
// walked to each time).
// Thread-safe. Lock order: m_eraMutex, then a cache shard's or NameChanges'
// (see platform/ThreadSafety.h).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include "host/BkEndProc.h"
#include "host/Export.h"
#include "host/nfs_fh3.h"
#include "platform/ClockCache.h"
#include "platform/NameChanges.h"
#include "platform/ThreadSafety.h"

class Nfs3FoundObjects {
  public:
    typedef boost::shared_ptr<BkEndProc> Object;

    explicit Nfs3FoundObjects(size_t capacity) : m_byHandle(capacity), m_byName(2 * capacity) {}

    // The key of the object of handle fh, found by a caller whose ids are
    // who (as bytes).
    static std::string HandleKey(const nfs_fh3& fh, const std::string& who);
    // The key of the entry name of the directory with handle dir.
    static std::string NameKey(const char* dir, size_t dirLength, const std::string& name,
                               const std::string& who);

    // The object and unique id kept for key found beneath exp in era; false
    // when none stands.
    bool Find(const std::string& key, const ExportPtr& exp, uint64_t era, Object& object,
              unsigned long& id);
    // Keeps object (on device) as found for key beneath exp at found, the
    // moment before the walk to it.
    void Keep(const std::string& key, const ExportPtr& exp, const NameChanges::Moment& found,
              const Object& object, unsigned long id, dev_t device);

  private:
    struct Entry {
        ExportPtr exp;
        uint64_t era;
        Object object;                     // by handle
        boost::weak_ptr<BkEndProc> named;  // by name
        unsigned long id;
    };
    typedef ClockCache<std::string, Entry, std::hash<std::string>> Entries;

    Entries& For(const std::string& key) REQUIRES_SHARED(m_eraMutex) {
        return key[0] == kByName ? m_byName : m_byHandle;
    }
    // Moves on to era, dropping every entry, when it is newer than m_era.
    void Settle(uint64_t era) EXCLUDES(m_eraMutex);

    static constexpr char kByHandle = 'H', kByName = 'N';
    static constexpr size_t kLongestPathKept = 4096;  // PATH_MAX
    SharedMutex m_eraMutex;  // shared to use the entries, unique to drop them
    uint64_t m_era GUARDED_BY(m_eraMutex) = 0;
    Entries m_byHandle GUARDED_BY(m_eraMutex), m_byName GUARDED_BY(m_eraMutex);
};
