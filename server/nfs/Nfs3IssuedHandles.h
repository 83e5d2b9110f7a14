// The handles this server has given to clients, each with the unique file
// id of the object its path named when it was given out.
//
// A handle only resolves while its path still names that object: a file
// removed and replaced by another at the same path has a new unique id, so
// its old handle is found stale instead of reading the new file's data.
// Thread safety: every member may be called from any thread; one mutex (a
// leaf lock) guards the map. The map grows by one entry per distinct handle
// given out; the module's handles are per object, so that is per object.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

#include "host/nfs_fh3.h"

class Nfs3IssuedHandles {
  public:
    // Records (or updates) what fh stands for.
    void Record(const nfs_fh3& fh, unsigned long fileId);
    // True when fh was given out and recorded with fileId.
    bool Matches(const nfs_fh3& fh, unsigned long fileId) const;

  private:
    // The id fh was last recorded with; false when it was never given out.
    bool Lookup(const nfs_fh3& fh, unsigned long& fileId) const;

    static std::string Key(const nfs_fh3& fh);

    mutable std::mutex m_mutex;  // guards m_ids
    std::unordered_map<std::string, unsigned long> m_ids;
};
