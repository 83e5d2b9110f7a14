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
// Each entry holds its object, so a descriptor; at most capacity entries.
// Thread-safe. Lock order: m_era's mutex, then a cache shard's.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <string>

#include <boost/shared_ptr.hpp>

#include "host/BkEndProc.h"
#include "host/Export.h"
#include "platform/ClockCache.h"
#include "platform/NameChanges.h"

class Nfs3FoundObjects {
  public:
    typedef boost::shared_ptr<BkEndProc> Object;

    explicit Nfs3FoundObjects(size_t capacity) : m_entries(capacity) {}

    // The object and unique id kept for key (a handle and an identity)
    // found beneath exp in era; false when none stands.
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
        Object object;
        unsigned long id;
    };
    // Moves on to era, dropping every entry, when it is newer than m_era.
    void Settle(uint64_t era);

    std::shared_mutex m_eraMutex;  // shared to use the entries, unique to drop them
    uint64_t m_era = 0;
    ClockCache<std::string, Entry, std::hash<std::string>> m_entries;
};
