// The module's one table of open file descriptors.
//
// Opens of one file through the module share a descriptor per access mode:
// read-only opens share a read-only descriptor, and every open for writing
// (O_WRONLY or O_RDWR) shares one descriptor opened O_RDWR, so a writer
// (a lock, a hole punch, an NFS write) never gets a descriptor it cannot
// write through. The first Open of a mode opens the file and records its
// descriptor with a reference count of 1, later Opens of that mode get the
// same descriptor and raise the count, each Close lowers it, and the last
// Close of a mode closes its descriptor. A file is known by its unique file
// id (the checksum its handle carries), never by its path, and opened anew
// from the O_PATH descriptor its backend object resolved, so the path is
// never walked again (it serves messages only).
//
// Invariants: at most one entry, and so one descriptor, per (file id, access
// mode); every entry has a count of at least 1 and a descriptor from a
// successful open; a file with no entry left has no slot in the table.
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

    // The file's shared descriptor for the access mode of flags, reopening
    // objectFd (the file's O_PATH descriptor) when the file has none of that
    // mode yet (O_RDWR for any writer, the other flags as given); errno is 0
    // on success. On failure a negative value with errno set, and nothing
    // recorded.
    int Open(int objectFd, const char* path, int flags, unsigned long fileId);
    // Gives one reference of fd's entry back: 0 while others remain,
    // close()'s result for the last one, -1 (nothing changed) when the file
    // has no entry or fd is neither of its descriptors. Never sets errno
    // itself.
    int Close(int fd, const char* path, unsigned long fileId);
    // 0 and entry set to the file's entry whose descriptor is fd; else -1,
    // entry untouched.
    int GetFD(unsigned long fileId, int fd, SinkFSMFileDescriptorInfo*& entry);
    // 0 and entry set to one of the file's entries (the writable one first);
    // else -1, entry untouched.
    int GetFD(unsigned long fileId, SinkFSMFileDescriptorInfo*& entry);

  private:
    // A file's entries, by access mode; at least one is set.
    struct Modes {
        std::unique_ptr<SinkFSMFileDescriptorInfo> readOnly;
        std::unique_ptr<SinkFSMFileDescriptorInfo> readWrite;
    };
    typedef std::unordered_map<unsigned long, Modes> Table;

    static std::unique_ptr<SinkFSMFileDescriptorInfo>* HoldingFd(Modes& modes, int fd);
    static SinkFSMFileDescriptorInfo* AnyEntry(const Modes& modes);

    OxCriticalSection m_lock;  // guards the entries' fd and count too
    Table m_table GUARDED_BY(m_lock);
};
