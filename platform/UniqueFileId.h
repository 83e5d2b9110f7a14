// Unique 64-bit file ids that outlive the process.
//
// GetUniqueFileId gives every file-system object one id, and never one id to
// two objects, for as long as the state directory is kept, across restarts.
// The object is named by its path without following a final symbolic link,
// so a link has its own id, and hard links to one file share one.
//
// An object is known by its FileIdentity (device and file system handle, or
// inode number where there are no handles). The state directory's store
// keeps identity -> id, id -> identity and the last 4 places the object was
// seen at, each a link: its directory's id and its name there, so an
// object costs the same however deep it lies. A new identity is committed
// there before its id is returned, or, within a StateStore::Batch, with the
// batch (no cache knows the id before that, and other writers wait for the
// commit). Ids are drawn at random (never 0 or all ones, never one the
// store holds), so an id from another state directory or host is almost
// surely unknown here rather than another object's. An object no name
// holds any more (removed, still open) gets no new id. What a removed
// object had is dropped when its remover says so (ForgetUniqueFileId), when
// a search finds its handle unknown to the file system, or by a sweep
// (SweepUniqueFileIds), so the store follows the objects that exist.
//
// Ids the caches hold cost no store transaction: bounded CLOCK caches
// (ClockCache.h) stand in front of the store, per state directory:
// identity -> id (256k entries, about 130 bytes each with an 8-byte handle:
// 34 MB at most), birth -> id (256k, about 80 bytes: 21 MB) and the
// (id, link) pairs recorded lately (64k, about 150 bytes plus the name).
// A birth is device, inode and creation time: where the file system keeps
// creation times to the nanosecond, an object once seen by
// GetUniqueFileIdOfDescriptor or GetUniqueFileIdAt is known again by it
// without asking for its handle; that shortcut lives in memory only.
//
// Each call reads the state directory setting (a short global lock) to find
// its store and caches. Thread-safe. Lock order: the state directories'
// mutex, then the store's; a cache shard's mutex is taken alone. The store
// does not cross fork: a child forked after its parent asked for an id must
// not ask.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>

// 0 on success with id filled; -1 with errno set (id untouched) on failure
// (EIO when the store fails, ENOSPC when it is full). A new id records the
// object's place in the directory path names (followed as open(2) does).
int GetUniqueFileId(const std::string& path, unsigned long& id);
// The same, also giving the lstat of path the id was found with.
int GetUniqueFileId(const std::string& path, unsigned long& id, struct stat& st);
// The id of the object an open descriptor refers to, and its fstat. A new
// id records its place as the entry name of the directory open on dirFd
// when the caller gives them (the directory's id drawn when it has none).
int GetUniqueFileIdOfDescriptor(int fd, unsigned long& id, struct stat& st, int dirFd = -1,
                                const std::string& name = "");
// The id of the entry name (one name, neither "." nor "..": else EINVAL)
// of the directory open on dirFd, a symbolic link not followed, and its
// lstat, without opening it: one statx when its settled birth is known in
// memory. Otherwise its handle is read by name and the entry looked at
// again: a name that held another object meanwhile fails (ESTALE). A new
// id records that entry as its place.
int GetUniqueFileIdAt(int dirFd, const char* name, unsigned long& id, struct stat& st);
// Records that the object with this id is (now also) the entry name of the
// directory open on dirFd: after a rename or a new hard link. A hint only;
// failures are silent.
void NoteUniqueFileIdName(unsigned long id, int dirFd, const char* name);
// Whether the store holds id (a read, no more).
bool UniqueFileIdKnown(unsigned long id);
// Drops what the store and caches hold for id, whose object the caller
// removed and holds open on fd, once no name holds it (its link count 0).
void ForgetUniqueFileId(unsigned long id, int fd);
// Checks the next count ids (in id order, from where the last sweep of that
// device stopped, round again after the last) of objects on mountFd's file
// system, and forgets those whose handle it no longer knows: removed beside
// the server. mountFd must not be O_PATH. The number forgotten.
size_t SweepUniqueFileIds(int mountFd, size_t count);

// Where the object with this id is now beneath the directory open on
// rootFd, whose absolute path is rootPath: 0 with the names that lead from
// that directory to it ("" for the directory itself), or -1 with errno:
// ESTALE when the id is unknown, the object is gone or not found beneath
// it; EPERM or EACCES as open_by_handle_at gives them (it needs
// CAP_DAC_READ_SEARCH). rootFd must be on the object's file system and not
// O_PATH, which open_by_handle_at refuses (then only links are followed).
// A directory opened by its handle is walked up from (AncestorPath, the
// path its links make as the hint), so neither its depth nor a rename
// above it matters; another object is found by the kernel's name for it,
// else in the directory one of its links names, newest first, found so;
// a name is followed beneath rootFd past directories renamed in place since
// (OpenRenamed, no symbolic link followed) and taken only when it leads to
// that object. An object whose handle the file system no longer knows is
// forgotten.
int FindUniqueFileIdBeneath(unsigned long id, int rootFd, const std::string& rootPath,
                            std::string& relative);

namespace PlatformSeam {
// Each cache of a state directory first used after this call holds at most
// entries (at least 1) rounded up to a multiple of 16 (ClockCache's
// shards); 0 restores the sizes above.
void SetUniqueFileIdCacheEntries(size_t entries);
// New ids are drawn from source (empty: the kernel's pool again). Set and
// clear it only while no other thread asks for ids.
void SetUniqueFileIdDraws(std::function<unsigned long()> source);
}  // namespace PlatformSeam
