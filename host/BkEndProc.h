// The backend object interface: one file-system object under one export, on
// which the host carries out every NFS operation. A module derives from it
// and overrides every operation; the order of declaration is the slot order.
//
// Failures follow POSIX: -1 (or a null pointer, or the call's own failure
// value) with errno set. Objects are handed around as
// boost::shared_ptr<BkEndProc>; the last owner destroys the object.
// Note for protocol code: ftype3 here is the host's enumeration; XDR types
// generated for the wire must use other names.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "host/nfs_fh3.h"

class LumeCtxt;
struct LUMEACL;  // the host's ACL record; no module of this host serves ACLs

// NFSv3 file types (RFC 1813 ftype3).
enum ftype3 {
    NF3REG = 1,
    NF3DIR = 2,
    NF3BLK = 3,
    NF3CHR = 4,
    NF3LNK = 5,
    NF3SOCK = 6,
    NF3FIFO = 7
};

// What a write asks for after the data is written.
enum BkEndSyncType {
    BKEND_SYNC_NONE = 1,  // nothing (NFS UNSTABLE)
    BKEND_SYNC_DATA = 2,  // data sync (NFS DATA_SYNC)
    BKEND_SYNC_FILE = 3,  // full sync (NFS FILE_SYNC)
};

class BkEndProc {
  public:
    virtual ~BkEndProc() {}

    virtual int lstat(LumeCtxt* ctx, const char* path, struct stat* buf) = 0;
    virtual int access(LumeCtxt* ctx, const char* path, int mode) = 0;
    virtual int open(LumeCtxt* ctx, const char* path, int flags, unsigned int mode) = 0;
    virtual off_t lseek(LumeCtxt* ctx, int fd, unsigned long offset, int whence) = 0;
    virtual int truncate(LumeCtxt* ctx, const char* path, unsigned long length) = 0;
    virtual ssize_t read(LumeCtxt* ctx, int fd, void* buf, uint64_t offset, size_t count) = 0;
    virtual ssize_t write(LumeCtxt* ctx, int fd, const void* buf, uint64_t offset, size_t count,
                          BkEndSyncType sync) = 0;
    virtual int close(LumeCtxt* ctx, int fd) = 0;
    virtual int unlink(LumeCtxt* ctx, const char* path) = 0;
    virtual int mknod(LumeCtxt* ctx, const char* path, unsigned long device, ftype3 type,
                      unsigned int mode) = 0;
    virtual int filelock(LumeCtxt* ctx, int fd, struct flock* lock, int command, void* owner) = 0;
    virtual int createAndOpen(LumeCtxt* ctx, boost::shared_ptr<BkEndProc>& created,
                              const std::string& name, int flags, struct stat& attributes) = 0;
    virtual bool isCreateAndOpenSupported() = 0;
    virtual int setAllocationSize(LumeCtxt* ctx, const char* path, long& size) = 0;
    virtual int setFileAttributes(LumeCtxt* ctx, const char* path, struct stat& attributes) = 0;
    virtual DIR* opendir(LumeCtxt* ctx, const char* path) = 0;
    virtual void seekdir(LumeCtxt* ctx, DIR* dir, long position) = 0;
    virtual struct dirent64* readdir(LumeCtxt* ctx, DIR* dir) = 0;
    virtual bool is_readdir_ex_supported() = 0;
    virtual int readdir_ex(LumeCtxt* ctx, DIR* dir, nfs_fh3& fh, struct stat& attributes,
                           unsigned long* cookie) = 0;
    virtual long telldir(LumeCtxt* ctx, DIR* dir) = 0;
    virtual int closedir(LumeCtxt* ctx, DIR* dir) = 0;
    virtual int rmdir(LumeCtxt* ctx, const char* path) = 0;
    virtual bool isDirectoryEmpty(LumeCtxt* ctx) = 0;
    virtual int chmod(LumeCtxt* ctx, const char* path, unsigned int mode) = 0;
    virtual int utimes(LumeCtxt* ctx, const char* path, const struct timeval* times) = 0;
    virtual int chown(LumeCtxt* ctx, const char* path, unsigned int uid, unsigned int gid) = 0;
    virtual int rename(LumeCtxt* ctx, const char* from, const char* to) = 0;
    virtual int link(LumeCtxt* ctx, const char* existing, const char* name) = 0;
    virtual int symlink(LumeCtxt* ctx, const char* target, const char* name) = 0;
    virtual ssize_t readlink(LumeCtxt* ctx, const char* path, char* buf, unsigned long size) = 0;
    virtual boost::shared_ptr<BkEndProc> CreateChildFile(LumeCtxt* ctx, const std::string& name,
                                                         int flags, unsigned int mode) = 0;
    virtual boost::shared_ptr<BkEndProc> CreateChildDir(LumeCtxt* ctx, const std::string& name,
                                                        unsigned int mode) = 0;
    virtual boost::shared_ptr<BkEndProc> FindChild(LumeCtxt* ctx, const std::string& name) = 0;
    virtual boost::shared_ptr<BkEndProc> GetParent(LumeCtxt* ctx) = 0;
    virtual bool checkAccess(const char* path, const unsigned int& mask, void* const& token) = 0;
    virtual int fdatasync(LumeCtxt* ctx, int fd) = 0;
    virtual int fsync(LumeCtxt* ctx, int fd) = 0;
    virtual long pathconf(LumeCtxt* ctx, const char* path, int name) = 0;
    virtual int statfs(LumeCtxt* ctx, const char* path, struct statfs* buf) = 0;
    virtual int getACL(LumeCtxt* ctx, const char* path, void* acl) = 0;
    virtual bool is_getACL_ex_supported() = 0;
    virtual int getACL_ex(LumeCtxt* ctx, unsigned int index, LUMEACL* acl) = 0;
    virtual int setACL(LumeCtxt* ctx, const char* path, const void* acl) = 0;
    virtual int getACLCount(LumeCtxt* ctx, const char* path, unsigned int* count) = 0;
    virtual std::string& GetClientPath() = 0;
    virtual void GetFileHandle(nfs_fh3& fh) = 0;
    // The object's unique file id (the platform's GetUniqueFileId) and its
    // lstat as of when the module resolved it: the host checks and keys
    // objects by them without looking the path up again. 0, or -1 with errno.
    virtual int GetIdentity(unsigned long& id, struct stat& st) = 0;
    // Sets the object's own access and modification times with their
    // nanoseconds; each may be UTIME_NOW or UTIME_OMIT, as for utimensat.
    // 0, or -1 with errno.
    virtual int utimens(LumeCtxt* ctx, const struct timespec times[2]) = 0;
    // For a listing of this directory: the handle, unique file id and lstat
    // of its entry name, looked at relative to dirFd (this directory as
    // opendir opened it) without opening the entry; a symbolic link is not
    // followed. 0, or -1 with errno (ENOENT: the entry went meanwhile;
    // EINVAL for "." and "..", which the host resolves as objects).
    virtual int ListedEntry(LumeCtxt* ctx, int dirFd, const std::string& name, nfs_fh3& fh,
                            unsigned long& id, struct stat& st) = 0;
};
