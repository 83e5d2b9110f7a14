#include "backend/SinkBkEndObj.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <boost/make_shared.hpp>

#include "backend/SinkFSMFileDescriptorCache.h"
#include "backend/SinkPerfTimer.h"
#include "exports/SinkFSMExport.h"
#include "host/LumeCtxt.h"
#include "module/SinkFSM.h"
#include "platform/CRaError.h"
#include "platform/CRaUTFOSAPI.h"
#include "platform/DrillHole.h"
#include "platform/LogWriter.h"
#include "platform/OxCriticalSection.h"
#include "platform/PathUtil.h"

// Offsets go through the *64 calls; statfs keeps the interface's struct
// statfs, which has the large-file layout when off_t has 64 bits.
static_assert(sizeof(off_t) == 8, "large-file offsets");

namespace {

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

// A platform call's outcome as POSIX reports it; errno is written on
// success too (0).
int PlatformOutcome(const CRaError& err) {
    errno = FXErrorUtil::GetErrNo(err);
    return err.IsError() ? -1 : 0;
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

// A new object for path under ctx's export; empty, with errno as the failed
// construction left it, when its checksum cannot be computed.
boost::shared_ptr<BkEndProc> NewObject(LumeCtxt* ctx, const std::string& path) {
    auto object = boost::make_shared<SinkBkEndObj>(ctx->GetExport(), path);
    if (object->IsInitSuccess())
        return object;
    int savedErrno = errno;
    object.reset();
    errno = savedErrno;
    return {};
}

// The object a navigation call reached at path once the platform call err
// made or found it (errno 0); empty when err failed (errno err's) or the
// object cannot be identified (errno as its construction left it).
boost::shared_ptr<BkEndProc> Reached(LumeCtxt* ctx, const CRaError& err, const std::string& path) {
    if (err.IsError()) {
        errno = FXErrorUtil::GetErrNo(err);
        return {};
    }
    boost::shared_ptr<BkEndProc> object = NewObject(ctx, path);
    if (object)
        errno = 0;
    return object;
}

// The trace keeps errno: a creator reports the construction's own.
void TraceCreated(const void* self) {
    int savedErrno = errno;
    OXLOG(10, 0, "SinkBkEndObj [%p] created", self);
    errno = savedErrno;
}

}  // namespace

SinkBkEndObj::SinkBkEndObj(ExportPtr& exp, const nfs_fh3& fh)
    : m_handle(exp, fh), m_initSuccess(m_handle.IsInitSuccess()) {
    TraceCreated(this);
}

SinkBkEndObj::SinkBkEndObj(ExportPtr& exp, const std::string& path)
    : m_handle(exp ? exp->GetShareId() : 0, path), m_initSuccess(m_handle.IsInitSuccess()) {
    TraceCreated(this);
}

SinkBkEndObj::~SinkBkEndObj() {
    OXLOG(10, 0, "SinkBkEndObj [%p] deleted", static_cast<void*>(this));
}

std::string SinkBkEndObj::ChildPath(const std::string& name) const {
    return m_handle.GetPath() + "/" + name;
}

int SinkBkEndObj::lstat(LumeCtxt*, const char*, struct stat* buf) {
    SinkPerfTimer timer(kCounterLstat);
    return ::lstat(Path(), buf);
}

int SinkBkEndObj::access(LumeCtxt*, const char*, int mode) {
    SinkPerfTimer timer(kCounterAccess);
    return ::access(Path(), mode);
}

int SinkBkEndObj::open(LumeCtxt*, const char*, int flags, unsigned int mode) {
    SinkPerfTimer timer(kCounterOpen);
    return DescriptorCache().Open(Path(), flags, mode, GetFileChecksum());
}

off_t SinkBkEndObj::lseek(LumeCtxt*, int fd, unsigned long offset, int whence) {
    return ::lseek64(fd, static_cast<off64_t>(offset), whence);
}

int SinkBkEndObj::truncate(LumeCtxt*, const char*, unsigned long length) {
    SinkPerfTimer timer(kCounterWrite);
    struct stat st;
    if (::lstat(Path(), &st) == 0 && S_ISLNK(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    return ::truncate64(Path(), static_cast<off64_t>(length));
}

ssize_t SinkBkEndObj::read(LumeCtxt*, int fd, void* buf, uint64_t offset, size_t count) {
    SinkPerfTimer timer(kCounterRead);
    ssize_t got = ::pread64(fd, buf, count, static_cast<off64_t>(offset));
    timer.Stop(got > 0 ? static_cast<unsigned long long>(got) : 0);
    return got;
}

ssize_t SinkBkEndObj::write(LumeCtxt* ctx, int fd, const void* buf, uint64_t offset, size_t count,
                            BkEndSyncType sync) {
    SinkPerfTimer timer(kCounterWrite);
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
    return PlatformOutcome(CRaUTFOSAPI::unlink(m_handle.GetPath()));
}

int SinkBkEndObj::mknod(LumeCtxt*, const char*, unsigned long device, ftype3, unsigned int mode) {
    return ::mknod(Path(), static_cast<mode_t>(mode), static_cast<dev_t>(device));
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
    return ::opendir(Path());
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
    return PlatformOutcome(CRaUTFOSAPI::rmdir(m_handle.GetPath()));
}

bool SinkBkEndObj::isDirectoryEmpty(LumeCtxt*) {
    errno = EOPNOTSUPP;
    return false;
}

int SinkBkEndObj::chmod(LumeCtxt*, const char*, unsigned int mode) {
    SinkPerfTimer timer(kCounterSetAttr);
    return PlatformOutcome(CRaUTFOSAPI::chmod(m_handle.GetPath(), mode));
}

int SinkBkEndObj::utimes(LumeCtxt*, const char*, const struct timeval* times) {
    SinkPerfTimer timer(kCounterSetAttr);
    struct timespec when[2];
    if (times && !ToNanoTimes(times, when))
        return -1;
    // Null times mean "now", as for utimes.
    return ::utimensat(AT_FDCWD, Path(), times ? when : nullptr, AT_SYMLINK_NOFOLLOW);
}

int SinkBkEndObj::chown(LumeCtxt*, const char*, unsigned int uid, unsigned int gid) {
    SinkPerfTimer timer(kCounterSetAttr);
    return ::lchown(Path(), static_cast<uid_t>(uid), static_cast<gid_t>(gid));
}

int SinkBkEndObj::rename(LumeCtxt* ctx, const char*, const char* to) {
    const boost::shared_ptr<BkEndProc>& target = ctx->GetTargetObject();
    if (!target) {
        // The host sets the destination directory before every rename.
        errno = EINVAL;
        return -1;
    }
    return PlatformOutcome(
        CRaUTFOSAPI::rename(m_handle.GetPath(), target->GetClientPath() + "/" + to));
}

int SinkBkEndObj::link(LumeCtxt*, const char* existing, const char* name) {
    SinkPerfTimer timer(kCounterCreate);
    return ::link(existing, ChildPath(name).c_str());
}

int SinkBkEndObj::symlink(LumeCtxt*, const char* target, const char* name) {
    SinkPerfTimer timer(kCounterCreate);
    return ::symlink(target, ChildPath(name).c_str());
}

ssize_t SinkBkEndObj::readlink(LumeCtxt*, const char*, char* buf, unsigned long size) {
    return ::readlink(Path(), buf, size);
}

boost::shared_ptr<BkEndProc> SinkBkEndObj::CreateChildFile(LumeCtxt* ctx, const std::string& name,
                                                           int, unsigned int mode) {
    std::string childPath = ChildPath(name);
    SinkPerfTimer timer(kCounterCreate);
    int fd = -1;
    CRaError err = CRaUTFOSAPI::creat(fd, childPath, mode);
    if (!err.IsError())
        ::close(fd);  // the host opens the file through open()
    return Reached(ctx, err, childPath);
}

boost::shared_ptr<BkEndProc> SinkBkEndObj::CreateChildDir(LumeCtxt* ctx, const std::string& name,
                                                          unsigned int mode) {
    std::string childPath = ChildPath(name);
    SinkPerfTimer timer(kCounterCreate);
    return Reached(ctx, CRaUTFOSAPI::mkdir(childPath, mode), childPath);
}

boost::shared_ptr<BkEndProc> SinkBkEndObj::FindChild(LumeCtxt* ctx, const std::string& name) {
    std::string childPath = ChildPath(name);
    SinkPerfTimer timer(kCounterLookup);
    // Existence of the entry itself: a symbolic link is found even when its
    // target is missing, so a dangling link can still be looked up and removed.
    struct stat st;
    CRaError err = ::lstat(childPath.c_str(), &st) == 0 ? CRaError() : CRaError::FromErrno(errno);
    timer.Stop(0);
    return Reached(ctx, err, childPath);
}

boost::shared_ptr<BkEndProc> SinkBkEndObj::GetParent(LumeCtxt* ctx) {
    std::string parent;
    DirName(m_handle.GetPath(), parent);
    return NewObject(ctx, parent);
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
    return ::pathconf(Path(), name);
}

int SinkBkEndObj::statfs(LumeCtxt*, const char*, struct statfs* buf) {
    SinkPerfTimer timer(kCounterStatfs);
    return ::statfs(Path(), buf);
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
    if (DescriptorCache().GetFD(GetFileChecksum(), entry) != 0) {
        OXLOG(-1, CtxJobId(ctx), "Unable to find fd [%d] fileid [%llu] in fdcache", fd,
              static_cast<unsigned long long>(GetFileChecksum()));
        errno = EINVAL;
        return nullptr;
    }
    if (entry->fd != fd) {
        OXLOG(-1, CtxJobId(ctx), "Invalid fd [%d] in cache", entry->fd);
        errno = EINVAL;
        return nullptr;
    }
    return entry;
}

int SinkBkEndObj::DrillHole(LumeCtxt* ctx, const char* path, long long offset, long long length,
                            std::string& error) {
    const unsigned long long jobId = CtxJobId(ctx);
    int fd = DescriptorCache().Open(path, O_WRONLY, 0, GetFileChecksum());
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
