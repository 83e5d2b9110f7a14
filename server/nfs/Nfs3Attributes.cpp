// NFS v3 attributes (fattr3, wcc_attr) from lstat's, and the ACCESS3 bits mode bits give a caller.
#include "server/nfs/Nfs3Attributes.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdint>

namespace {

w_ftype3 TypeOf(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFDIR:
            return W_NF3DIR;
        case S_IFBLK:
            return W_NF3BLK;
        case S_IFCHR:
            return W_NF3CHR;
        case S_IFLNK:
            return W_NF3LNK;
        case S_IFSOCK:
            return W_NF3SOCK;
        case S_IFIFO:
            return W_NF3FIFO;
        default:
            return W_NF3REG;
    }
}

// NFS v3 carries unsigned 32-bit seconds from 1970: a time before or after
// that range shows as its nearest end, not wrapped into another century.
nfstime3 TimeOf(const struct timespec& when) {
    constexpr w_uint32 kLastSecond = UINT32_MAX, kLastNanosecond = 999999999;
    nfstime3 out;
    if (when.tv_sec < 0) {
        out.seconds = out.nseconds = 0;
    } else if (when.tv_sec > static_cast<time_t>(kLastSecond)) {
        out.seconds = kLastSecond;
        out.nseconds = kLastNanosecond;
    } else {
        out.seconds = static_cast<w_uint32>(when.tv_sec);
        out.nseconds = static_cast<w_uint32>(when.tv_nsec);
    }
    return out;
}

bool InGroups(const OxUserToken& who, gid_t gid) {
    return who.gid == gid ||
           std::find(who.groups.begin(), who.groups.end(), gid) != who.groups.end();
}

}  // namespace

void Nfs3FillAttributes(const struct stat& st, fattr3& out) {
    out.type = TypeOf(st.st_mode);
    out.mode = st.st_mode & 07777;
    out.nlink = static_cast<w_uint32>(st.st_nlink);
    out.uid = st.st_uid;
    out.gid = st.st_gid;
    out.size = static_cast<size3>(st.st_size);
    out.used = static_cast<size3>(st.st_blocks) * 512;
    out.rdev.specdata1 = major(st.st_rdev);
    out.rdev.specdata2 = minor(st.st_rdev);
    out.fsid = st.st_dev;
    out.fileid = st.st_ino;
    out.atime = TimeOf(st.st_atim);
    out.mtime = TimeOf(st.st_mtim);
    out.ctime = TimeOf(st.st_ctim);
}

void Nfs3FillWccAttributes(const struct stat& st, wcc_attr& out) {
    out.size = static_cast<size3>(st.st_size);
    out.mtime = TimeOf(st.st_mtim);
    out.ctime = TimeOf(st.st_ctim);
}

unsigned Nfs3HeldByMode(const struct stat& st, const OxUserToken& who) {
    if (who.uid == 0)
        return 7;
    unsigned shift = who.uid == st.st_uid ? 6 : InGroups(who, st.st_gid) ? 3 : 0;
    return (st.st_mode >> shift) & 7;
}

uint32_t Nfs3AccessOfHeld(const struct stat& st, const OxUserToken& who, unsigned held,
                          uint32_t wanted, bool readOnly) {
    const bool isDir = S_ISDIR(st.st_mode);
    uint32_t allowed = 0;
    if (held & 4)
        allowed |= ACCESS3_READ;
    if ((held & 2) && !readOnly)
        allowed |= ACCESS3_MODIFY | ACCESS3_EXTEND | (isDir ? ACCESS3_DELETE : 0);
    bool exec = (held & 1) != 0;
    // Root executes only what some execute bit allows; directories are searched.
    if (who.uid == 0 && !isDir)
        exec = (st.st_mode & 0111) != 0;
    if (exec)
        allowed |= isDir ? ACCESS3_LOOKUP : ACCESS3_EXECUTE;
    return allowed & wanted;
}

uint32_t Nfs3AllowedAccess(const struct stat& st, const OxUserToken& who, uint32_t wanted,
                           bool readOnly) {
    return Nfs3AccessOfHeld(st, who, Nfs3HeldByMode(st, who), wanted, readOnly);
}
