// The one table from errno to nfsstat3.
#include "server/nfs/Nfs3Errno.h"

#include <cerrno>

namespace {

struct ErrnoStatus {
    int err;
    nfsstat3 status;
};

// Only what passes is JUKEBOX (the client retries it forever); EBADF, a
// descriptor of the wrong mode, is this server's fault and falls to IO.
// ELOOP: too many links on the way is the client's path problem, not a
// device failure; native servers answer it as a bad argument.
constexpr ErrnoStatus kTable[] = {
    {EPERM, NFS3ERR_PERM},
    {ENOENT, NFS3ERR_NOENT},
    {EIO, NFS3ERR_IO},
    {ENXIO, NFS3ERR_NXIO},
    {EACCES, NFS3ERR_ACCES},
    {EEXIST, NFS3ERR_EXIST},
    {EXDEV, NFS3ERR_XDEV},
    {ENODEV, NFS3ERR_NODEV},
    {ENOTDIR, NFS3ERR_NOTDIR},
    {EISDIR, NFS3ERR_ISDIR},
    {EINVAL, NFS3ERR_INVAL},
    {EFBIG, NFS3ERR_FBIG},
    {ENOSPC, NFS3ERR_NOSPC},
    {EROFS, NFS3ERR_ROFS},
    {EMLINK, NFS3ERR_MLINK},
    {ENAMETOOLONG, NFS3ERR_NAMETOOLONG},
    {ENOTEMPTY, NFS3ERR_NOTEMPTY},
    {EDQUOT, NFS3ERR_DQUOT},
    {ESTALE, NFS3ERR_STALE},
    {ELOOP, NFS3ERR_INVAL},
    {EOPNOTSUPP, NFS3ERR_NOTSUPP},
    {ENOSYS, NFS3ERR_NOTSUPP},
    {EAGAIN, NFS3ERR_JUKEBOX},
    {ENOMEM, NFS3ERR_JUKEBOX},
    // A running program refuses writers for as long as it runs: no retry
    // helps, and v3 has no status of its own for it.
    {ETXTBSY, NFS3ERR_IO},
};

}  // namespace

nfsstat3 Nfs3StatusOfErrno(int err, Nfs3ErrnoSite site) {
    if (site == Nfs3ErrnoSite::kHandle && (err == ENOENT || err == ENOTDIR))
        return NFS3ERR_STALE;
    for (const ErrnoStatus& entry : kTable)
        if (entry.err == err)
            return entry.status;
    return NFS3ERR_IO;
}
