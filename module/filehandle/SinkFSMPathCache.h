// One export's memory of which path belongs to which handle checksum.
//
// Handles carry only a share id and a checksum (a unique file id); the path
// behind a checksum is added here whenever a handle is written out and found
// here when the handle comes back. Memory only, and bounded: at most
// Capacity() entries, the least recently added or found one dropped to make
// room. A checksum the cache does not know is not an error: lumed finds the
// object again by its id in the state store and has the handle written out
// anew. Entries of objects removed through the module are dropped at once.
// The hash of a checksum is its own value.
// Thread safety: every operation holds the cache's lock for one map
// operation and never calls out while holding it (a leaf lock, see
// platform/ThreadSafety.h).
#pragma once

#include <cstddef>
#include <list>
#include <string>
#include <utility>

#include <boost/unordered_map.hpp>

#include "platform/OxCriticalSection.h"

class SinkFSMPathCache {
  public:
    // 64k entries, more than the objects clients commonly work on at once:
    // some 100 bytes each beside its path, so about 10 MB per export for
    // paths of 50 bytes; whole paths are kept, so deep trees cost more.
    static constexpr std::size_t kDefaultCapacity = 65536;

    // capacity 0 counts as 1.
    explicit SinkFSMPathCache(std::size_t capacity = kDefaultCapacity);
    SinkFSMPathCache(const SinkFSMPathCache&) = delete;
    SinkFSMPathCache& operator=(const SinkFSMPathCache&) = delete;

    // Creates the entry or replaces the path it held; either way the entry
    // becomes the most recently used.
    void Add(unsigned long cksum, const std::string& path);
    // True and path set to a copy of the entry's path, which becomes the
    // most recently used; false, path untouched.
    bool Find(unsigned long cksum, std::string& path);
    void Remove(unsigned long cksum);
    void Empty();
    std::size_t Size();
    std::size_t Capacity() const { return m_capacity; }

  private:
    struct IdentityHash {
        std::size_t operator()(unsigned long cksum) const { return cksum; }
    };
    using Entry = std::pair<unsigned long, std::string>;
    using Order = std::list<Entry>;

    const std::size_t m_capacity;
    OxCriticalSection m_lock;
    // Most recently used first; the index points into it.
    Order m_order GUARDED_BY(m_lock);
    boost::unordered_map<unsigned long, Order::iterator, IdentityHash> m_index GUARDED_BY(m_lock);
};
