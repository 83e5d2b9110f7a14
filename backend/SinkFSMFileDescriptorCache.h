// The module's one table of open file descriptors.
//
// Every open of one file through the module shares a single descriptor: the
// first Open opens the file and records its descriptor with a reference
// count of 1, later Opens of the same file get the same descriptor (whatever
// flags they ask for) and raise the count, each Close lowers it, and the last
// Close closes the descriptor and forgets the file. A file is known by its
// unique file id (the checksum its handle carries), never by its path, and
// opened anew from the O_PATH descriptor its backend object resolved, so
// the path is never walked again (it serves messages only).
//
// Invariants: at most one entry, and so one descriptor, per file id; every
// entry has a count of at least 1 and a descriptor from a successful open.
// Locks: the table lock guards the table and every entry's fd and count; it
// is held for a whole Open or Close, including the open and close calls.
// An entry's own lock is for users only (around fsync and hole punching);
// the table lock and an entry lock are never held together: take GetFD,
// release, then the entry lock, and release it before calling Close. An
// entry stays valid while its user holds a reference it got from Open.
#pragma once

#include <memory>
#include <unordered_map>

#include "platform/OxCriticalSection.h"

struct SinkFSMFileDescriptorInfo {
    int fd = -1;
    int refCount = 0;
    OxCriticalSection lock;  // never taken by the cache itself
};

class SinkFSMFileDescriptorCache {
  public:
    SinkFSMFileDescriptorCache() = default;
    // Frees the entries; descriptors still listed are left open.
    ~SinkFSMFileDescriptorCache() = default;
    SinkFSMFileDescriptorCache(const SinkFSMFileDescriptorCache&) = delete;
    SinkFSMFileDescriptorCache& operator=(const SinkFSMFileDescriptorCache&) = delete;

    // The file's shared descriptor, reopening objectFd (the file's O_PATH
    // descriptor) with flags when the file has none yet; errno is 0 when an
    // open descriptor was reused. On failure a negative value with errno
    // set, and nothing recorded.
    int Open(int objectFd, const char* path, int flags, unsigned long fileId);
    // Gives one reference back: 0 while others remain, close()'s result for
    // the last one, -1 (nothing changed) when the file has no entry or fd is
    // not its descriptor. Never sets errno itself.
    int Close(int fd, const char* path, unsigned long fileId);
    // 0 and entry set when the file has an entry; else -1, entry untouched.
    int GetFD(unsigned long fileId, SinkFSMFileDescriptorInfo*& entry);

  private:
    OxCriticalSection m_lock;  // guards m_table and the entries' fd and count
    std::unordered_map<unsigned long, std::unique_ptr<SinkFSMFileDescriptorInfo>> m_table;
};
