// The module's backend object: one file-system object under one export,
// named by its absolute path, on which the host carries out NFS operations.
//
// The object is resolved once, when it is built: beneath the export's root
// descriptor, following no symbolic link (a final one is the object itself),
// into an O_PATH descriptor that it keeps. An object built from a client's
// handle must be, on that descriptor, the file its checksum stands for, or
// it fails to build (errno ESTALE; the lookup's own errno when its path no
// longer resolves). Every operation then acts on that descriptor, or on its
// parent directory resolved the same way, never following a link: a name
// swapped after the object was built changes nothing outside the export and
// nothing but the object (the parent-based operations check that the name
// still holds it, else ESTALE). The path is kept for messages and the path
// cache; the host's path arguments are ignored except where noted. The new
// names of CreateChildDir, rename, link and symlink must be single
// components (EINVAL otherwise); CreateChildFile and FindChild resolve
// theirs beneath this object like any path.
// Results are POSIX style: -1 (or null, or the call's own failure value)
// with errno. Timed operations restore errno after their counter stops. No
// operation switches identity: calls run as the calling thread. Descriptor
// operations go through the module's descriptor cache, keyed by checksum.
// Invariant: path, checksum and descriptor never change after construction;
// an object whose IsInitSuccess is false must not be used.
// Thread safety: no lock and no mutable state, so any number of threads may
// use one object; fsync and DrillHole take the cache entry's lock (see the
// cache).
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

#include "host/BkEndProc.h"
#include "host/Export.h"
#include "module/filehandle/SinkFSMFileHandle.h"
#include "platform/BeneathPath.h"

class SinkBkEndObj : public BkEndProc {
  public:
    // From a client's handle, resolved through exp's path cache.
    SinkBkEndObj(ExportPtr& exp, const nfs_fh3& fh);
    // From an absolute path under exp, resolved beneath its root; the
    // checksum is read from what was opened.
    SinkBkEndObj(ExportPtr& exp, const std::string& path);
    // For the object already open (O_PATH or otherwise) on fd at path; when
    // found as entry name of the directory open on dirFd, a new id records
    // that place.
    SinkBkEndObj(ExportPtr& exp, const std::string& path, UniqueFd fd, int dirFd = -1,
                 const std::string& name = "");
    ~SinkBkEndObj() override;

    bool IsInitSuccess() const { return m_initSuccess; }
    // The descriptor the object was resolved to (for the descriptor cache).
    int GetDescriptor() const { return m_fd.Get(); }
    // The object's unique file id: the key of its descriptor and its locks.
    unsigned long GetFileChecksum() const { return m_handle.GetChecksum(); }

    // BkEndProc, in slot order.
    int lstat(LumeCtxt* ctx, const char* path, struct stat* buf) override;
    int access(LumeCtxt* ctx, const char* path, int mode) override;
    int open(LumeCtxt* ctx, const char* path, int flags, unsigned int mode) override;
    off_t lseek(LumeCtxt* ctx, int fd, unsigned long offset, int whence) override;
    // Refused (EINVAL) on a symbolic link; EFBIG for a length past 2^63 - 1.
    int truncate(LumeCtxt* ctx, const char* path, unsigned long length) override;
    // Reads and writes are positional: neither uses nor moves fd's own
    // position, and no offset reaches the kernel as a negative one. A read
    // at or past 2^63 - 1 returns 0 (nothing lies there); a write that would
    // end past it fails with EFBIG.
    ssize_t read(LumeCtxt* ctx, int fd, void* buf, uint64_t offset, size_t count) override;
    // Syncs after a successful write for BKEND_SYNC_DATA and BKEND_SYNC_FILE;
    // a failing sync makes the result -1 with the sync's errno.
    ssize_t write(LumeCtxt* ctx, int fd, const void* buf, uint64_t offset, size_t count,
                  BkEndSyncType sync) override;
    int close(LumeCtxt* ctx, int fd) override;
    int unlink(LumeCtxt* ctx, const char* path) override;
    // The file type comes from the mode bits; type is not read.
    int mknod(LumeCtxt* ctx, const char* path, unsigned long device, ftype3 type,
              unsigned int mode) override;
    // Not supported: -1, EOPNOTSUPP.
    int filelock(LumeCtxt* ctx, int fd, struct flock* lock, int command, void* owner) override;
    // Not supported: -1, ENOSYS.
    int createAndOpen(LumeCtxt* ctx, boost::shared_ptr<BkEndProc>& created, const std::string& name,
                      int flags, struct stat& attributes) override;
    bool isCreateAndOpenSupported() override { return false; }
    int setAllocationSize(LumeCtxt* ctx, const char* path, long& size) override;
    int setFileAttributes(LumeCtxt* ctx, const char* path, struct stat& attributes) override;
    DIR* opendir(LumeCtxt* ctx, const char* path) override;
    void seekdir(LumeCtxt* ctx, DIR* dir, long position) override;
    struct dirent64* readdir(LumeCtxt* ctx, DIR* dir) override;
    bool is_readdir_ex_supported() override { return false; }
    // Never called (is_readdir_ex_supported is false): 0, arguments untouched.
    int readdir_ex(LumeCtxt* ctx, DIR* dir, nfs_fh3& fh, struct stat& attributes,
                   unsigned long* cookie) override;
    long telldir(LumeCtxt* ctx, DIR* dir) override;
    int closedir(LumeCtxt* ctx, DIR* dir) override;
    int rmdir(LumeCtxt* ctx, const char* path) override;
    // Not supported: false, EOPNOTSUPP.
    bool isDirectoryEmpty(LumeCtxt* ctx) override;
    int chmod(LumeCtxt* ctx, const char* path, unsigned int mode) override;
    // Both act on the object itself, never on a symbolic link's target.
    int utimes(LumeCtxt* ctx, const char* path, const struct timeval* times) override;
    int chown(LumeCtxt* ctx, const char* path, unsigned int uid, unsigned int gid) override;
    // Moves this object into ctx's target object (a directory of this
    // module) as to; from is not read.
    int rename(LumeCtxt* ctx, const char* from, const char* to) override;
    // This object is the directory that receives name; existing (link) is
    // resolved beneath the export like any object, target (symlink) is
    // stored unchanged.
    int link(LumeCtxt* ctx, const char* existing, const char* name) override;
    int symlink(LumeCtxt* ctx, const char* target, const char* name) override;
    // The result is not NUL-terminated.
    ssize_t readlink(LumeCtxt* ctx, const char* path, char* buf, unsigned long size) override;
    // Navigation: a new object for this path + "/" + name (or the parent:
    // at the export's root, the root itself), or empty with errno.
    // CreateChildFile honours O_EXCL in flags (EEXIST when the name exists,
    // link or not); without it an existing file is truncated, as creat does.
    // What either made and then could not identify (its new id not kept:
    // errno ENOSPC for a full store) is removed again before it fails.
    boost::shared_ptr<BkEndProc> CreateChildFile(LumeCtxt* ctx, const std::string& name, int flags,
                                                 unsigned int mode) override;
    boost::shared_ptr<BkEndProc> CreateChildDir(LumeCtxt* ctx, const std::string& name,
                                                unsigned int mode) override;
    boost::shared_ptr<BkEndProc> FindChild(LumeCtxt* ctx, const std::string& name) override;
    boost::shared_ptr<BkEndProc> GetParent(LumeCtxt* ctx) override;
    // Always true: the file system decides, under the caller's identity.
    bool checkAccess(const char*, const unsigned int&, void* const&) override { return true; }
    int fdatasync(LumeCtxt* ctx, int fd) override;
    // Also gives the object's unique id and attributes as they were when it
    // was resolved.
    int GetIdentity(unsigned long& id, struct stat& st) override;
    // As utimes, with nanoseconds and UTIME_NOW / UTIME_OMIT per time.
    int utimens(LumeCtxt* ctx, const struct timespec times[2]) override;
    // Also records the entry's path in the path cache, as every handle
    // written out does.
    int ListedEntry(LumeCtxt* ctx, int dirFd, const std::string& name, nfs_fh3& fh,
                    unsigned long& id, struct stat& st) override;
    // Only on a descriptor the cache holds for this file (else EINVAL),
    // under that descriptor's entry lock.
    int fsync(LumeCtxt* ctx, int fd) override;
    long pathconf(LumeCtxt* ctx, const char* path, int name) override;
    int statfs(LumeCtxt* ctx, const char* path, struct statfs* buf) override;
    // ACLs are not supported: -1 with EOPNOTSUPP, getACL_ex returns it.
    int getACL(LumeCtxt* ctx, const char* path, void* acl) override;
    bool is_getACL_ex_supported() override { return false; }
    int getACL_ex(LumeCtxt* ctx, unsigned int index, LUMEACL* acl) override;
    int setACL(LumeCtxt* ctx, const char* path, const void* acl) override;
    int getACLCount(LumeCtxt* ctx, const char* path, unsigned int* count) override;
    std::string& GetClientPath() override { return m_handle.GetPath(); }
    // Also records path and checksum in the export's path cache.
    void GetFileHandle(nfs_fh3& fh) override { m_handle.ToNfsFH(fh); }

    // Punches a hole in this object's file (path must be its own path)
    // through the descriptor cache, under the entry's lock so that it never
    // overlaps an fsync. 0 on success; -1 when no descriptor could be had;
    // else the platform call's result with error filled.
    virtual int DrillHole(LumeCtxt* ctx, const char* path, long long offset, long long length,
                          std::string& error);

  private:
    const char* Path() const { return m_handle.GetPath().c_str(); }
    std::string ChildPath(const std::string& name) const;
    // Opens the object of a client's handle and checks it is the file the
    // checksum stands for.
    bool Verify(ExportPtr& exp);
    // The object's directory, and its name there, still holding the object
    // unless newName (the object is yet to be made there); -1 with errno.
    int OpenParent(std::string& name, bool newName = false) const;
    // result of removing this object's name, passed on; on success the
    // object is Gone.
    int Removed(int result) const;
    // The object with id, held on fd, lost a name: the export's path cache
    // forgets it, and the store too once no name holds it. errno is kept.
    void Gone(unsigned long id, int fd) const;
    // The cache entry of this file whose descriptor is fd; else null with
    // errno EINVAL and a level -1 message.
    SinkFSMFileDescriptorInfo* CachedEntry(LumeCtxt* ctx, int fd);

    // Filled while the handle is built, hence first.
    struct stat m_found {};  // the object's attributes when it was resolved
    SinkFSMFileHandle m_handle;
    bool m_initSuccess = false;
    boost::shared_ptr<const BeneathRoot> m_root;
    UniqueFd m_fd;  // what the object was resolved to
};
