// The kernel's identity of a file-system object, as bytes to keep and
// compare: its device and either its file system handle (name_to_handle_at:
// type and bytes, which carry the inode's generation) or, where the file
// system gives no handles (EOPNOTSUPP, EOVERFLOW, ENOSYS), its inode number.
// No two objects alive at once share one; with handles, a new file on a
// reused inode gets a new one too. Layout, host byte order: device (8
// bytes), kind (1), handle type (4), then the handle or the inode number.
#pragma once

#include <sys/stat.h>

#include <string>

// The identity of what name_to_handle_at(dirFd, path, flags) names, st being
// its lstat or fstat. 0, or -1 with errno.
int ReadFileIdentity(int dirFd, const char* path, int flags, const struct stat& st,
                     std::string& identity);
// The identity of what fd refers to, in hexadecimal: what an export keeps of
// its root directory, to compare across restarts. 0, or -1 with errno.
int ReadDescriptorIdentityText(int fd, std::string& text);
dev_t FileIdentityDevice(const std::string& identity);
// open_by_handle_at(mountFd, the handle, flags): a descriptor, or -1 with
// errno; EOPNOTSUPP for an identity by inode number.
int OpenFileIdentity(int mountFd, const std::string& identity, int flags);
