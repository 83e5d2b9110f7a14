// The module's backend object: resolving an object beneath its export, and
// each NFS operation on it.
#include "module/backend/SinkBkEndObj.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <boost/make_shared.hpp>

#include "host/LumeCtxt.h"
#include "module/SinkFSM.h"
#include "module/backend/SinkFSMFileDescriptorCache.h"
#include "module/backend/SinkPerfTimer.h"
#include "module/exports/SinkFSMExport.h"
#include "platform/DrillHole.h"
#include "platform/LogWriter.h"
#include "platform/OxCriticalSection.h"
#include "platform/PathUtil.h"
#include "platform/UniqueFileId.h"

// Offsets go through the *64 calls; statfs keeps the interface's struct
// statfs, which has the large-file layout when off_t has 64 bits.
static_assert(sizeof(off_t) == 8, "large-file offsets");

namespace {

// The kernel's offsets are signed: one at or past 2^63 would reach it as
// negative (and -1 is "the descriptor's own position" to some calls), so
// none does. No file reaches that far.
constexpr uint64_t kFileReach = INT64_MAX;

// The host's counter slots, as the host reads them.
enum Counter : int {
    kCounterRead = 1,
    kCounterWrite = 2,    // also truncate and both syncs
    kCounterCreate = 30,  // link, symlink, new files and directories
    kCounterLstat = 34,
    kCounterReaddir = 39,
    kCounterRemove = 40,
    kCounterSetAttr = 41,
    kCounterOpen = 42,
    kCounterAccess = 43,
    kCounterLookup = 44,
    kCounterStatfs = 45,
    kCounterOpendir = 46,
};

SinkFSMFileDescriptorCache& DescriptorCache() {
    return *SinkFSM::GetFSM()->GetFileDescriptorCache();
}

unsigned long long CtxJobId(LumeCtxt* ctx) {
    return ctx ? JobIdOf(ctx->GetExport()) : 0;
}

// utimes' two timevals as utimensat wants them; false (EINVAL) for a
// microsecond count that utimes would refuse.
bool ToNanoTimes(const struct timeval* times, struct timespec* out) {
    for (int i = 0; i < 2; ++i) {
        if (times[i].tv_usec < 0 || times[i].tv_usec >= 1000000) {
            errno = EINVAL;
            return false;
        }
        out[i].tv_sec = times[i].tv_sec;
        out[i].tv_nsec = times[i].tv_usec * 1000;
    }
    return true;
}

// A done call's outcome as the platform calls report it: errno is written
// on success too (0).
int Outcome(int result) {
    if (result == 0)
        errno = 0;
    return result == 0 ? 0 : -1;
}

boost::shared_ptr<const BeneathRoot> RootOf(const ExportPtr& exp) {
    SinkFSMExport* sinkExport = AsSinkFSMExport(exp);
    return sinkExport ? sinkExport->GetRoot() : boost::shared_ptr<const BeneathRoot>();
}

// The object at path under exp, opened as itself (a final link included).
UniqueFd OpenObject(const ExportPtr& exp, const std::string& path) {
    boost::shared_ptr<const BeneathRoot> root = RootOf(exp);
    std::string relative;
    if (!root) {
        errno = ESTALE;
        return UniqueFd();
    }
    if (!root->Relative(path, relative)) {
        errno = EXDEV;
        return UniqueFd();
    }
    return UniqueFd(root->Open(relative, O_PATH | O_NOFOLLOW));
}

// A name that the *at calls take as one entry: with a '/' they would walk,
// following links.
bool SingleName(const char* name) {
    if (std::strchr(name, '/') == nullptr)
        return true;
    errno = EINVAL;
    return false;
}

// A new object for the entry open on fd at path, found as name in the
// directory open on dirFd (a name with a '/' records no place); empty, with
// errno as the failed construction left it, when it cannot be identified.
boost::shared_ptr<BkEndProc> NewObject(LumeCtxt* ctx, const std::string& path, int fd,
                                       int dirFd = -1, const std::string& name = "") {
    if (fd < 0)
        return {};
    auto object =
        boost::make_shared<SinkBkEndObj>(ctx->GetExport(), path, UniqueFd(fd), dirFd, name);
    if (!object->IsInitSuccess()) {
        int savedErrno = errno;
        object.reset();
        errno = savedErrno;
        return {};
    }
    errno = 0;
    return object;
}

// Removes entry name of directory dir, which this call made (made: its
// fstat) but could build no object for (its new id not kept), so that
// nothing stays that no handle names; only while the name still holds
// what was made. errno is kept.
void Unmake(int dir, const std::string& name, const struct stat& made, int flags) {
    const int err = errno;
    struct stat now;
    if (std::strchr(name.c_str(), '/') == nullptr &&
        ::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == made.st_dev &&
        now.st_ino == made.st_ino)
        ::unlinkat(dir, name.c_str(), flags);
    errno = err;
}

// The trace keeps errno: a creator reports the construction's own.
void TraceCreated(const void* self) {
    int savedErrno = errno;
    OXLOG(10, 0, "SinkBkEndObj [%p] created", self);
    errno = savedErrno;
}

}  // namespace

SinkBkEndObj::SinkBkEndObj(ExportPtr& exp, const nfs_fh3& fh)
    : m_handle(exp, fh), m_root(RootOf(exp)) {
    m_initSuccess = m_handle.IsInitSuccess() && Verify(exp);
    TraceCreated(this);
}

SinkBkEndObj::SinkBkEndObj(ExportPtr& exp, const std::string& path)
    : SinkBkEndObj(exp, path, OpenObject(exp, path)) {}

SinkBkEndObj::SinkBkEndObj(ExportPtr& exp, const std::string& path, UniqueFd fd, int dirFd,
                           const std::string& name)
    : m_handle(exp ? exp->GetShareId() : 0, path, fd.Get(), &m_found, dirFd, name),
      m_initSuccess(m_handle.IsInitSuccess()),
      m_root(RootOf(exp)),
      m_fd(std::move(fd)) {
    TraceCreated(this);
}

SinkBkEndObj::~SinkBkEndObj() {
    OXLOG(10, 0, "SinkBkEndObj [%p] deleted", static_cast<void*>(this));
}

bool SinkBkEndObj::Verify(ExportPtr& exp) {
    const unsigned long long checksum = GetFileChecksum();
    unsigned long id = 0;
    m_fd = OpenObject(exp, m_handle.GetPath());
    if (!m_fd.Valid() || GetUniqueFileIdOfDescriptor(m_fd.Get(), id, m_found) != 0) {
        int err = errno;
        OXLOG(1, JobIdOf(exp), "path [%s] of cksum [%llx] cannot be resolved [%s].", Path(),
              checksum, std::strerror(err));
        errno = err;
        return false;
    }
    if (id == checksum)
        return true;
    OXLOG(1, JobIdOf(exp), "path [%s] no longer names cksum [%llx].", Path(), checksum);
    errno = ESTALE;
    return false;
}

std::string SinkBkEndObj::ChildPath(const std::string& name) const {
    return m_handle.GetPath() + "/" + name;
}

int SinkBkEndObj::OpenParent(std::string& name, bool newName) const {
    std::string relative, parent;
    if (!m_root || !m_root->Relative(m_handle.GetPath(), relative)) {
        errno = ESTALE;
        return -1;
    }
    if (relative.empty()) {
        errno = EBUSY;  // the export's root has no entry inside the export
        return -1;
    }
    SplitLastName(relative, parent, name);
    int dir = m_root->Open(parent, O_PATH | O_DIRECTORY);
    struct stat st;
    if (dir < 0 || newName)
        return dir;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == m_found.st_dev && st.st_ino == m_found.st_ino)
        return dir;
    ::close(dir);
    errno = ESTALE;  // the name holds something else by now
    return -1;
}

int SinkBkEndObj::lstat(LumeCtxt*, const char*, struct stat* buf) {
    SinkPerfTimer timer(kCounterLstat);
    return ::fstat(m_fd.Get(), buf);
}

int SinkBkEndObj::access(LumeCtxt*, const char*, int mode) {
    SinkPerfTimer timer(kCounterAccess);
    return ::faccessat(m_fd.Get(), "", mode, AT_EMPTY_PATH);
}

int SinkBkEndObj::open(LumeCtxt*, const char*, int flags, unsigned int) {
    SinkPerfTimer timer(kCounterOpen);
    return DescriptorCache().Open(m_fd.Get(), Path(), flags, GetFileChecksum());
}

off_t SinkBkEndObj::lseek(LumeCtxt*, int fd, unsigned long offset, int whence) {
    return ::lseek64(fd, static_cast<off64_t>(offset), whence);
}

int SinkBkEndObj::truncate(LumeCtxt*, const char*, unsigned long length) {
    SinkPerfTimer timer(kCounterWrite);
    if (S_ISLNK(m_found.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    if (length > kFileReach) {
        errno = EFBIG;
        return -1;
    }
    // Non-blocking: a FIFO must not hold the call up.
    UniqueFd file(ReopenDescriptor(m_fd.Get(), O_WRONLY | O_NONBLOCK));
    if (!file.Valid())
        return -1;
    return ::ftruncate64(file.Get(), static_cast<off64_t>(length));
}

ssize_t SinkBkEndObj::read(LumeCtxt*, int fd, void* buf, uint64_t offset, size_t count) {
    SinkPerfTimer timer(kCounterRead);
    if (offset >= kFileReach)
        return 0;  // nothing lies there: the end of the file
    count = std::min<uint64_t>(count, kFileReach - offset);
    ssize_t got = ::pread64(fd, buf, count, static_cast<off64_t>(offset));
    timer.Stop(got > 0 ? static_cast<unsigned long long>(got) : 0);
    return got;
}

ssize_t SinkBkEndObj::write(LumeCtxt* ctx, int fd, const void* buf, uint64_t offset, size_t count,
                            BkEndSyncType sync) {
    SinkPerfTimer timer(kCounterWrite);
    if (offset > kFileReach || count > kFileReach - offset) {
        errno = EFBIG;
        return -1;
    }
    ssize_t written = ::pwrite64(fd, buf, count, static_cast<off64_t>(offset));
    timer.Stop(written > 0 ? static_cast<unsigned long long>(written) : 0);
    // A stable write is synced whenever the data went out, not only when
    // nothing was written.
    if (written < 0 || (sync != BKEND_SYNC_DATA && sync != BKEND_SYNC_FILE))
        return written;
    int synced = sync == BKEND_SYNC_DATA ? fdatasync(ctx, fd) : fsync(ctx, fd);
    if (synced == 0)
        return written;
    int syncErrno = errno;
    OXLOG(-1, CtxJobId(ctx), "Failed to sync [%s]. Err [%s]", Path(), std::strerror(syncErrno));
    errno = syncErrno;
    return -1;
}

int SinkBkEndObj::close(LumeCtxt*, int fd) {
    return DescriptorCache().Close(fd, Path(), GetFileChecksum());
}

int SinkBkEndObj::unlink(LumeCtxt*, const char*) {
    SinkPerfTimer timer(kCounterRemove);
    std::string name;
    UniqueFd dir(OpenParent(name));
    return Removed(dir.Valid() ? Outcome(::unlinkat(dir.Get(), name.c_str(), 0)) : -1);
}

int SinkBkEndObj::mknod(LumeCtxt*, const char*, unsigned long device, ftype3, unsigned int mode) {
    std::string name;
    UniqueFd dir(OpenParent(name, true));
    if (!dir.Valid())
        return -1;
    return ::mknodat(dir.Get(), name.c_str(), static_cast<mode_t>(mode),
                     static_cast<dev_t>(device));
}

int SinkBkEndObj::filelock(LumeCtxt*, int, struct flock*, int, void*) {
    errno = EOPNOTSUPP;
    return -1;
}

int SinkBkEndObj::createAndOpen(LumeCtxt*, boost::shared_ptr<BkEndProc>&, const std::string&, int,
                                struct stat&) {
    errno = ENOSYS;
    return -1;
}

int SinkBkEndObj::setAllocationSize(LumeCtxt*, const char*, long&) {
    errno = EOPNOTSUPP;
    return -1;
}

int SinkBkEndObj::setFileAttributes(LumeCtxt*, const char*, struct stat&) {
    errno = EOPNOTSUPP;
    return -1;
}

DIR* SinkBkEndObj::opendir(LumeCtxt*, const char*) {
    SinkPerfTimer timer(kCounterOpendir);
    UniqueFd dir(::openat(m_fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* stream = dir.Valid() ? ::fdopendir(dir.Get()) : nullptr;
    if (stream)
        dir.Release();  // the stream owns it now
    return stream;
}

void SinkBkEndObj::seekdir(LumeCtxt*, DIR* dir, long position) {
    ::seekdir(dir, position);
}

struct dirent64* SinkBkEndObj::readdir(LumeCtxt*, DIR* dir) {
    SinkPerfTimer timer(kCounterReaddir);
    return ::readdir64(dir);
}

int SinkBkEndObj::readdir_ex(LumeCtxt*, DIR*, nfs_fh3&, struct stat&, unsigned long*) {
    return 0;
}

long SinkBkEndObj::telldir(LumeCtxt*, DIR* dir) {
    return ::telldir(dir);
}

int SinkBkEndObj::closedir(LumeCtxt*, DIR* dir) {
    return ::closedir(dir);
}

int SinkBkEndObj::rmdir(LumeCtxt*, const char*) {
    SinkPerfTimer timer(kCounterRemove);
    std::string name;
    UniqueFd dir(OpenParent(name));
    return Removed(dir.Valid() ? Outcome(::unlinkat(dir.Get(), name.c_str(), AT_REMOVEDIR)) : -1);
}

int SinkBkEndObj::Removed(int result) const {
    if (result == 0)
        Gone(GetFileChecksum(), m_fd.Get());
    return result;
}

void SinkBkEndObj::Gone(unsigned long id, int fd) const {
    const int savedErrno = errno;  // the removal's outcome stays for its caller
    SinkFSMFileHandle::Forget(m_handle.GetShareId(), id);
    ForgetUniqueFileId(id, fd);  // kept while another name holds it
    errno = savedErrno;
}

bool SinkBkEndObj::isDirectoryEmpty(LumeCtxt*) {
    errno = EOPNOTSUPP;
    return false;
}

int SinkBkEndObj::chmod(LumeCtxt*, const char*, unsigned int mode) {
    SinkPerfTimer timer(kCounterSetAttr);
    // A link's own mode means nothing, and chmod would reach its target.
    if (S_ISLNK(m_found.st_mode)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return Outcome(::chmod(DescriptorPath(m_fd.Get()).c_str(), static_cast<mode_t>(mode)));
}

int SinkBkEndObj::utimes(LumeCtxt*, const char*, const struct timeval* times) {
    SinkPerfTimer timer(kCounterSetAttr);
    struct timespec when[2];
    if (times && !ToNanoTimes(times, when))
        return -1;
    // Null times mean "now", as for utimes.
    return ::utimensat(m_fd.Get(), "", times ? when : nullptr, AT_EMPTY_PATH);
}

int SinkBkEndObj::utimens(LumeCtxt*, const struct timespec times[2]) {
    SinkPerfTimer timer(kCounterSetAttr);
    return ::utimensat(m_fd.Get(), "", times, AT_EMPTY_PATH);
}

int SinkBkEndObj::chown(LumeCtxt*, const char*, unsigned int uid, unsigned int gid) {
    SinkPerfTimer timer(kCounterSetAttr);
    return ::fchownat(m_fd.Get(), "", static_cast<uid_t>(uid), static_cast<gid_t>(gid),
                      AT_EMPTY_PATH);
}

int SinkBkEndObj::rename(LumeCtxt* ctx, const char*, const char* to) {
    auto* target = dynamic_cast<SinkBkEndObj*>(ctx->GetTargetObject().get());
    if (!target) {
        // The host sets the destination directory before every rename.
        errno = EINVAL;
        return -1;
    }
    std::string name;
    if (!SingleName(to))
        return -1;
    UniqueFd dir(OpenParent(name));
    if (!dir.Valid())
        return -1;
    // What the new name holds now is gone after the rename: it is held and
    // its id read before (it is known already when a client could name it),
    // dropped after unless a name still holds it. A wrong guess, the name
    // changing in between, costs a lookup.
    unsigned long replaced = 0;
    struct stat st;
    const UniqueFd held(OpenBeneath(target->m_fd.Get(), to, O_PATH | O_NOFOLLOW));
    const bool over = held.Valid() && GetUniqueFileIdOfDescriptor(held.Get(), replaced, st) == 0 &&
                      replaced != GetFileChecksum();
    if (Outcome(::renameat(dir.Get(), name.c_str(), target->m_fd.Get(), to)) != 0)
        return -1;
    if (over)
        Gone(replaced, held.Get());
    NoteUniqueFileIdName(GetFileChecksum(), target->m_fd.Get(), to);
    errno = 0;
    return 0;
}

int SinkBkEndObj::link(LumeCtxt* ctx, const char* existing, const char* name) {
    SinkPerfTimer timer(kCounterCreate);
    if (!SingleName(name))
        return -1;
    UniqueFd file = OpenObject(ctx->GetExport(), existing);
    if (!file.Valid())
        return -1;
    // Through /proc: linking a descriptor itself needs a capability that a
    // caller's identity does not carry.
    if (::linkat(AT_FDCWD, DescriptorPath(file.Get()).c_str(), m_fd.Get(), name,
                 AT_SYMLINK_FOLLOW) != 0)
        return -1;
    // The new name is a place to find the file by once the old one goes.
    unsigned long id = 0;
    struct stat st;
    if (GetUniqueFileIdOfDescriptor(file.Get(), id, st) == 0)
        NoteUniqueFileIdName(id, m_fd.Get(), name);
    errno = 0;
    return 0;
}

int SinkBkEndObj::symlink(LumeCtxt*, const char* target, const char* name) {
    SinkPerfTimer timer(kCounterCreate);
    return SingleName(name) ? ::symlinkat(target, m_fd.Get(), name) : -1;
}

ssize_t SinkBkEndObj::readlink(LumeCtxt*, const char*, char* buf, unsigned long size) {
    return ::readlinkat(m_fd.Get(), "", buf, size);
}

boost::shared_ptr<BkEndProc> SinkBkEndObj::CreateChildFile(LumeCtxt* ctx, const std::string& name,
                                                           int flags, unsigned int mode) {
    SinkPerfTimer timer(kCounterCreate);
    // Non-blocking, so that an existing FIFO does not hold the call up.
    const int how =
        O_CREAT | O_WRONLY | O_NOFOLLOW | O_NONBLOCK | ((flags & O_EXCL) ? O_EXCL : O_TRUNC);
    const int fd = OpenBeneath(m_fd.Get(), name, how, mode);
    struct stat made;
    const bool ours = fd >= 0 && (how & O_EXCL) && ::fstat(fd, &made) == 0;
    boost::shared_ptr<BkEndProc> object = NewObject(ctx, ChildPath(name), fd, m_fd.Get(), name);
    if (!object && ours)
        Unmake(m_fd.Get(), name, made, 0);
    return object;
}

boost::shared_ptr<BkEndProc> SinkBkEndObj::CreateChildDir(LumeCtxt* ctx, const std::string& name,
                                                          unsigned int mode) {
    SinkPerfTimer timer(kCounterCreate);
    if (!SingleName(name.c_str()) || ::mkdirat(m_fd.Get(), name.c_str(), mode) != 0)
        return {};
    const int fd = OpenBeneath(m_fd.Get(), name, O_PATH | O_NOFOLLOW | O_DIRECTORY);
    struct stat made;
    const bool ours = fd >= 0 && ::fstat(fd, &made) == 0;
    boost::shared_ptr<BkEndProc> object = NewObject(ctx, ChildPath(name), fd, m_fd.Get(), name);
    if (!object && ours)
        Unmake(m_fd.Get(), name, made, AT_REMOVEDIR);
    return object;
}

boost::shared_ptr<BkEndProc> SinkBkEndObj::FindChild(LumeCtxt* ctx, const std::string& name) {
    SinkPerfTimer timer(kCounterLookup);
    // The entry itself: a symbolic link is found even when its target is
    // missing, so a dangling link can still be looked up and removed.
    int fd = OpenBeneath(m_fd.Get(), name, O_PATH | O_NOFOLLOW);
    timer.Stop(0);
    return NewObject(ctx, ChildPath(name), fd, m_fd.Get(), name);
}

boost::shared_ptr<BkEndProc> SinkBkEndObj::GetParent(LumeCtxt* ctx) {
    std::string relative, parentRelative, name;
    if (!m_root || !m_root->Relative(m_handle.GetPath(), relative)) {
        errno = ESTALE;
        return {};
    }
    // Never above the export: the root is its own parent.
    if (relative.empty())
        return NewObject(ctx, m_handle.GetPath(), m_root->Open("", O_PATH));
    SplitLastName(relative, parentRelative, name);
    std::string parent;
    DirName(m_handle.GetPath(), parent);
    return NewObject(ctx, parent, m_root->Open(parentRelative, O_PATH | O_DIRECTORY));
}

int SinkBkEndObj::GetIdentity(unsigned long& id, struct stat& st) {
    id = GetFileChecksum();
    st = m_found;
    return 0;
}

int SinkBkEndObj::ListedEntry(LumeCtxt*, int dirFd, const std::string& name, nfs_fh3& fh,
                              unsigned long& id, struct stat& st) {
    SinkPerfTimer timer(kCounterLookup);
    // One look at the entry, relative to the directory being read: no
    // descriptor to open and close per entry.
    const std::string path = ChildPath(name);
    if (GetUniqueFileIdAt(dirFd, name.c_str(), id, st) != 0)
        return -1;
    timer.Stop(0);
    SinkFSMFileHandle(m_handle.GetShareId(), path, id).ToNfsFH(fh);
    return 0;
}

int SinkBkEndObj::fdatasync(LumeCtxt*, int fd) {
    SinkPerfTimer timer(kCounterWrite);
    return ::fdatasync(fd);
}

int SinkBkEndObj::fsync(LumeCtxt* ctx, int fd) {
    SinkPerfTimer timer(kCounterWrite);
    SinkFSMFileDescriptorInfo* entry = CachedEntry(ctx, fd);
    if (!entry)
        return -1;
    // Never at the same time as a hole punch on this descriptor.
    OxCriticalSectionLock entryLock(&entry->lock);
    int result = ::fsync(fd);
    timer.Stop(0);
    return result;
}

long SinkBkEndObj::pathconf(LumeCtxt*, const char*, int name) {
    return ::fpathconf(m_fd.Get(), name);
}

int SinkBkEndObj::statfs(LumeCtxt*, const char*, struct statfs* buf) {
    SinkPerfTimer timer(kCounterStatfs);
    return ::fstatfs(m_fd.Get(), buf);
}

int SinkBkEndObj::getACL(LumeCtxt*, const char*, void*) {
    errno = EOPNOTSUPP;
    return -1;
}

int SinkBkEndObj::getACL_ex(LumeCtxt*, unsigned int, LUMEACL*) {
    return EOPNOTSUPP;
}

int SinkBkEndObj::setACL(LumeCtxt*, const char*, const void*) {
    errno = EOPNOTSUPP;
    return -1;
}

int SinkBkEndObj::getACLCount(LumeCtxt*, const char*, unsigned int*) {
    errno = EOPNOTSUPP;
    return -1;
}

SinkFSMFileDescriptorInfo* SinkBkEndObj::CachedEntry(LumeCtxt* ctx, int fd) {
    SinkFSMFileDescriptorInfo* entry = nullptr;
    if (DescriptorCache().GetFD(GetFileChecksum(), fd, entry) == 0)
        return entry;
    // Only the message depends on whether the file has another descriptor.
    if (DescriptorCache().GetFD(GetFileChecksum(), entry) != 0)
        OXLOG(-1, CtxJobId(ctx), "Unable to find fd [%d] fileid [%llu] in fdcache", fd,
              static_cast<unsigned long long>(GetFileChecksum()));
    else
        OXLOG(-1, CtxJobId(ctx), "Invalid fd [%d] in cache", entry->fd);
    errno = EINVAL;
    return nullptr;
}

int SinkBkEndObj::DrillHole(LumeCtxt* ctx, const char* path, long long offset, long long length,
                            std::string& error) {
    const unsigned long long jobId = CtxJobId(ctx);
    int fd = DescriptorCache().Open(m_fd.Get(), path, O_WRONLY, GetFileChecksum());
    if (fd < 0) {
        int err = errno;
        OXLOG(-1, jobId, "Failed to open [%s] [%d : %s]", path, err, std::strerror(err));
        errno = err;
        return -1;
    }
    int result = -1;
    if (SinkFSMFileDescriptorInfo* entry = CachedEntry(ctx, fd)) {
        OxCriticalSectionLock entryLock(&entry->lock);
        result = ::DrillHole(fd, offset, length, error);
        if (result != 0)
            OXLOG(-1, jobId, "DrillHole failed for [%s] [%d : %s]", path, errno,
                  std::strerror(errno));
    }
    // The reference taken above goes back on every way out.
    int err = errno;
    DescriptorCache().Close(fd, path, GetFileChecksum());
    errno = err;
    return result;
}
