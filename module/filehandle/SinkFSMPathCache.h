// One export's memory of which path belongs to which handle checksum.
//
// Handles carry only a share id and a checksum (a unique file id); the path
// behind a checksum is added here whenever a handle is written out and found
// here when the handle comes back. Memory only, no eviction: an entry stays
// for the life of the cache. The hash of a checksum is its own value.
// Thread safety: every operation holds the cache's lock for one map
// operation and never calls out while holding it (a leaf lock, see
// platform/ThreadSafety.h).
#pragma once

#include <cstddef>
#include <string>

#include <boost/unordered_map.hpp>

#include "platform/OxCriticalSection.h"

class SinkFSMPathCache {
  public:
    SinkFSMPathCache() = default;
    SinkFSMPathCache(const SinkFSMPathCache&) = delete;
    SinkFSMPathCache& operator=(const SinkFSMPathCache&) = delete;

    // Creates the entry or replaces the path it held.
    void Add(unsigned long cksum, const std::string& path);
    // True and path set to a copy of the entry's path; false, path untouched.
    bool Find(unsigned long cksum, std::string& path);
    void Remove(unsigned long cksum);
    void Empty();

  private:
    struct IdentityHash {
        std::size_t operator()(unsigned long cksum) const { return cksum; }
    };

    OxCriticalSection m_lock;
    boost::unordered_map<unsigned long, std::string, IdentityHash> m_map GUARDED_BY(m_lock);
};
