// Unique 64-bit file ids.
//
// GetUniqueFileId gives every file-system object one id for the life of the
// process, and never one id to two objects. The object is named by its path
// without following a final symbolic link, so a link has its own id, and
// hard links to one file share one.
//
// An object is known by its device and, where the file system can describe
// it (name_to_handle_at: ext4, XFS, Btrfs, tmpfs and others), by its file
// system handle, which carries the inode's generation number; elsewhere by
// its inode number. Each new identity gets the next id of a process-wide
// counter, so an inode that is removed and reused for a new file, with a new
// generation, gets a new id rather than inheriting the old one. Where the
// file system keeps creation times to the nanosecond, an object once seen
// through a descriptor is known again by device, inode and creation time,
// without asking for its handle. Ids are not
// kept across restarts. Thread-safe; the table grows by one entry per
// distinct object named.
#pragma once

#include <sys/stat.h>

#include <string>

// 0 on success with id filled; -1 with errno set (id untouched) on failure.
int GetUniqueFileId(const std::string& path, unsigned long& id);
// The same, also giving the lstat of path the id was found with.
int GetUniqueFileId(const std::string& path, unsigned long& id, struct stat& st);
// The id of the object an open descriptor refers to, and its fstat.
int GetUniqueFileIdOfDescriptor(int fd, unsigned long& id, struct stat& st);
