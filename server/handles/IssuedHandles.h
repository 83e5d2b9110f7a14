// The file handles this server has given to clients (by NFS and by MOUNT),
// each with the unique file id of the object it was given for. Kept in the
// state store, so that a handle given out before a restart is still known
// to be ours, and for which object; a handle that is not here was never
// given out by a server of this state directory.
//
// A new (handle, id) pair is committed to the store before Record returns,
// so before the reply that carries the handle goes out; in a
// StateStore::Batch, when the batch commits, which the caller does before
// replying. A pair the store holds already costs no write (so no commit a
// full store would refuse). The most recently used pairs are also kept in
// memory (kRemembered of them, about 150 bytes each, ClockCache.h), so that
// known handles cost no store access; memory stays bounded. The handle of
// an object that is gone is forgotten: by the call that removed it (Drop),
// else by a sweep, so the table follows the objects that exist.
// Thread-safe. Process() is the one instance every program shares.
#pragma once

#include <functional>
#include <string>

#include "host/nfs_fh3.h"
#include "platform/ClockCache.h"
#include "platform/ThreadSafety.h"

class IssuedHandles {
  public:
    static constexpr size_t kRemembered = 1 << 16;

    static IssuedHandles& Process();

    // Records that fh was given out for the object with id.
    void Record(const nfs_fh3& fh, unsigned long id);
    // The id fh was given out for; false when it never was.
    bool Lookup(const nfs_fh3& fh, unsigned long& id);
    // Forgets fh, given out for id, whose object is gone.
    void Drop(const nfs_fh3& fh, unsigned long id);
    // Checks the next count handles (in key order, from where the last
    // sweep stopped, round again after the last) and forgets those whose id
    // the store no longer knows: their objects went beside the server. The
    // number forgotten.
    size_t Sweep(size_t count);

  private:
    IssuedHandles() : m_recent(kRemembered) {}

    ClockCache<std::string, unsigned long, std::hash<std::string>> m_recent;
    Mutex m_sweepMutex;                              // a leaf
    std::string m_sweptTo GUARDED_BY(m_sweepMutex);  // the last key checked
};
