// A read-only file written or resized by its owner, opened with the server's identity once the
// owner is checked.
#include "server/nfs/Nfs3OwnerWrites.h"

#include <cerrno>

#include "server/nfs/Nfs3Errno.h"
#include "server/nfs/Nfs3Offsets.h"

namespace {

// What the server opened for the owner is still the owner's regular file.
bool StillOwned(const Nfs3Request& req, int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && Nfs3OwnsFile(req, st);
}

}  // namespace

bool Nfs3OwnsFile(const Nfs3Request& req, const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_uid == req.Who().uid;
}

std::unique_ptr<Nfs3OpenFiles::Use> Nfs3AcquireForWrite(Nfs3Request& req,
                                                        const Nfs3Request::Object& object,
                                                        unsigned long fileId,
                                                        const struct stat& st) {
    const bool keep = req.GetExport()->isLumeFDCacheSupported();
    auto acquire = [&] {
        return req.Shared().openFiles.Acquire(object, fileId, req.GetExport(), keep, true);
    };
    std::unique_ptr<Nfs3OpenFiles::Use> use = acquire();
    if (use || errno != EACCES || !Nfs3OwnsFile(req, st))
        return use;
    use = req.AsServer(acquire);
    if (use && !StillOwned(req, use->Fd())) {
        use.reset();
        errno = EACCES;
    }
    return use;
}

nfsstat3 Nfs3SetSize(Nfs3Request& req, const Nfs3Request::Object& object,
                     const struct stat& current, uint64_t size) {
    if (S_ISDIR(current.st_mode))
        return NFS3ERR_ISDIR;
    if (!S_ISREG(current.st_mode))
        return NFS3ERR_INVAL;
    if (!Nfs3WithinReach(size, 0))
        return NFS3ERR_FBIG;
    auto truncate = [&] {
        return object->truncate(req.Ctx(), object->GetClientPath().c_str(), size);
    };
    int done = truncate();
    if (done != 0 && errno == EACCES && Nfs3OwnsFile(req, current))
        done = req.AsServer(truncate);
    return done == 0 ? NFS3_OK : Nfs3StatusOfErrno(errno);
}
