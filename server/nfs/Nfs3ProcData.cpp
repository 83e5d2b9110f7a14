// READ, WRITE, COMMIT: file data, through descriptors of Nfs3OpenFiles.
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "server/nfs/Nfs3Attributes.h"
#include "server/nfs/Nfs3Errno.h"
#include "server/nfs/Nfs3Offsets.h"
#include "server/nfs/Nfs3OwnerWrites.h"
#include "server/nfs/Nfs3Procedures.h"

namespace {

typedef Nfs3Request::Object Object;

nfsstat3 HandleErrno() {
    return Nfs3StatusOfErrno(errno, Nfs3ErrnoSite::kHandle);
}

// Only regular files carry data here; anything else could block (a FIFO)
// or lead outside the export (a link).
nfsstat3 DataFile(const struct stat& st) {
    if (S_ISDIR(st.st_mode))
        return NFS3ERR_ISDIR;
    return S_ISREG(st.st_mode) ? NFS3_OK : NFS3ERR_INVAL;
}

// A hold on object's descriptor (fileId: its unique id), readable, or
// writable for a write; null with status set when none.
std::unique_ptr<Nfs3OpenFiles::Use> OpenData(Nfs3Request& req, const Object& object,
                                             unsigned long fileId, const struct stat& st,
                                             bool forWrite, nfsstat3& status) {
    auto held = req.TakeOpenFile(object);
    if (held && (!forWrite || held->Writable()))
        return held;
    held.reset();
    std::unique_ptr<Nfs3OpenFiles::Use> use;
    if (forWrite)
        use = Nfs3AcquireForWrite(req, object, fileId, st);
    else
        use = req.Shared().openFiles.Acquire(object, fileId, req.GetExport(),
                                             req.GetExport()->isLumeFDCacheSupported(), false);
    if (!use)
        status = HandleErrno();
    return use;
}

BkEndSyncType SyncOf(stable_how stable) {
    switch (stable) {
        case DATA_SYNC:
            return BKEND_SYNC_DATA;
        case FILE_SYNC:
            return BKEND_SYNC_FILE;
        default:
            return BKEND_SYNC_NONE;
    }
}

// Kept descriptors serve every caller, so each call is judged as the kernel
// would judge this caller (read also allowed by execute, for loading
// programs; the owner writes its own file, see Nfs3OwnerWrites.h).
nfsstat3 MayUse(Nfs3Request& req, const Nfs3OpenFiles::Use& use, unsigned long fileId,
                const struct stat& st, bool write) {
    const unsigned held = req.Shared().permissions.Held(use.Fd(), fileId, st, req.Who());
    const bool allowed = write ? (held & 2) || Nfs3OwnsFile(req, st) : (held & 5) != 0;
    return allowed ? NFS3_OK : NFS3ERR_ACCES;
}

// Data the client wrote may be lost: a sync failed, or a stable write hit
// an error of the disk. Clients resend what they did not commit.
void NoteLostWrites(Nfs3Request& req, int err) {
    if (err == EIO || err == ENOSPC || err == EDQUOT)
        req.Shared().writeVerifier.Renew();
}

// The file's descriptor for data, or a status: the file entered, found
// regular, opened and the caller allowed to use it.
nfsstat3 UseData(Nfs3Request& req, const Object& object, const struct stat& st, bool write,
                 std::unique_ptr<Nfs3OpenFiles::Use>& use) {
    nfsstat3 status = DataFile(st);
    unsigned long id = 0;
    if (status == NFS3_OK && !req.FileId(object, id))
        status = HandleErrno();
    if (status == NFS3_OK)
        use = OpenData(req, object, id, st, write, status);
    if (status == NFS3_OK)
        status = MayUse(req, *use, id, st, write);
    return status;
}

// Enters a file for a change and records its pre-op attributes;
// before.attributes_follow tells whether the file was entered at all.
nfsstat3 EnterDataFileForChange(Nfs3Request& req, const w_nfs_fh3& fh, Object& object,
                                struct stat& st, pre_op_attr& before) {
    nfsstat3 status = req.Enter(fh, object);
    if (status != NFS3_OK)
        return status;
    if (req.StatAsFound(object, st) != 0)
        return HandleErrno();
    before.attributes_follow = TRUE;
    Nfs3FillWccAttributes(st, before.pre_op_attr_u.attributes);
    return NFS3_OK;
}

// Whether a read that got got bytes reached the end of the file: it came
// back short, or it reached the size the file has after it. The size from
// before the read is enough to tell that most reads ended before the end;
// only a read reaching it looks again, so a file that grew meanwhile is
// not cut short and a whole file takes one READ.
bool AtEnd(const Read3Result& result, ssize_t got) {
    const uint64_t end = result.offset + static_cast<uint64_t>(got);
    if (static_cast<size_t>(got) < result.wanted)
        return true;
    if (end < result.size)
        return false;
    struct stat now;
    return ::fstat(result.fd, &now) != 0 || end >= static_cast<uint64_t>(now.st_size);
}

// Reads at least this large are spliced: below it, copying the bytes costs
// less than the two system calls splicing adds (file to pipe, pipe to
// socket) and the page references it takes; at 16 KiB the copy is a few
// microseconds, about what those calls cost.
constexpr count3 kSpliceFrom = 16 * 1024;

constexpr uint64_t kPage = 4096;
#ifdef SYS_cachestat
constexpr long kCachestat = SYS_cachestat;
#else
constexpr long kCachestat = 451;  // cachestat(2), Linux 6.5; the C library has no wrapper yet
#endif

// Whether some page the read covers, up to the file's size, is not in
// memory, so that reading would wait on the disk. Asked without reading;
// where the kernel cannot tell, the read is taken not to wait.
bool NotInMemory(const Read3Result& result) {
    const uint64_t end = std::min<uint64_t>(result.offset + result.wanted, result.size);
    if (end <= result.offset)
        return false;
    struct {
        uint64_t offset, length;
    } range{result.offset, end - result.offset};
    struct {
        uint64_t cached, dirty, writeback, evicted, recentlyEvicted;
    } pages{};
    if (::syscall(kCachestat, result.fd, &range, &pages, 0) != 0)
        return false;
    return pages.cached < (end - 1) / kPage - result.offset / kPage + 1;
}

// The data copied into space; on the connection's thread (wouldWait set)
// without waiting on the disk, -1 with errno EAGAIN when it would.
ssize_t Copy(const Read3Result& result, char* space) {
    if (result.wouldWait) {
        iovec into{space, result.wanted};
        const ssize_t got =
            ::preadv2(result.fd, &into, 1, static_cast<off_t>(result.offset), RWF_NOWAIT);
        // Short of the size: the rest is not in memory.
        const bool cut = got >= 0 && static_cast<size_t>(got) < result.wanted &&
                         result.offset + static_cast<uint64_t>(got) < result.size;
        if (cut)
            errno = EAGAIN;
        if (cut || got >= 0 || errno != EOPNOTSUPP)
            return cut ? -1 : got;
    }
    return result.object->read(result.ctx, result.fd, space, result.offset, result.wanted);
}

// The data spliced into the call's pipe: the bytes it holds, end set when
// the file ended first. -1 with errno 0 when the data is to be copied
// instead (a file or pipe that cannot take it), -1 with errno set when the
// read failed.
ssize_t Splice(const Read3Result& result, bool& end) {
    const ssize_t got = result.pipe->Fill(result.fd, result.offset, result.wanted, end);
    if (got < 0 && (errno == EINVAL || errno == EMSGSIZE || errno == EAGAIN || errno == ENOSYS ||
                    errno == EOPNOTSUPP || errno == EMFILE || errno == ENFILE))
        errno = 0;
    return got;
}

// Large unstable writes go to the disk while the next ones arrive, not all
// at the COMMIT: a stream's COMMIT then waits for its tail alone. Small
// writes stay in memory, where the next ones may merge with them. A hint:
// a failed write-out shows at the COMMIT.
void WriteBehind(int fd, uint64_t offset, ssize_t length) {
    constexpr ssize_t kLarge = 256 * 1024;
    if (length >= kLarge)
        ::sync_file_range(fd, static_cast<off64_t>(offset), length, SYNC_FILE_RANGE_WRITE);
}

}  // namespace

void Nfs3Read(Nfs3Request& req, READ3args& args, Read3Result& result) {
    READ3res& res = result.res;
    post_op_attr& attrs = res.READ3res_u.resok.file_attributes;  // the same place on failure
    Object object;
    res.status = req.Enter(args.file, object);
    struct stat st;
    if (res.status == NFS3_OK && req.StatAsFound(object, st) != 0)
        res.status = HandleErrno();
    std::unique_ptr<Nfs3OpenFiles::Use> use;
    if (res.status == NFS3_OK)
        res.status = UseData(req, object, st, false, use);
    if (res.status != NFS3_OK) {
        req.PostOp(object, attrs);
        return;
    }
    // A read does not change what the attributes show but the access time,
    // so those taken just before it stand for after it.
    attrs.attributes_follow = TRUE;
    Nfs3FillAttributes(st, attrs.post_op_attr_u.attributes);
    if (args.offset >= kNfs3MaxFileSize) {  // nothing lies there: no read at all
        res.READ3res_u.resok.eof = TRUE;
        return;
    }
    result.object = object.get();
    result.ctx = req.Ctx();
    result.fd = use->Fd();
    result.offset = args.offset;
    result.wanted = static_cast<count3>(
        Nfs3ReachableBytes(args.offset, std::min<count3>(args.count, NFS3_MAXDATA)));
    result.size = static_cast<uint64_t>(st.st_size);
    req.Make<Object>() = object;
    req.Make<std::unique_ptr<Nfs3OpenFiles::Use>>() = std::move(use);
}

bool_t EncodeRead3Result(XDR* xdrs, ...) {
    va_list rest;
    va_start(rest, xdrs);
    auto* result = static_cast<Read3Result*>(va_arg(rest, void*));
    va_end(rest);
    READ3res& res = result->res;
    if (res.status != NFS3_OK || !result->object)
        return xdr_READ3res(xdrs, &res);
    // The reply up to an empty data field, then room for the data (read
    // into place, or landed there should the socket not take it at once);
    // count, eof and the data's length are written after.
    READ3resok& ok = res.READ3res_u.resok;
    const u_int start = xdr_getpos(xdrs);
    if (!xdr_READ3res(xdrs, &res))
        return FALSE;
    const u_int countAt = xdr_getpos(xdrs) - 3 * BYTES_PER_XDR_UNIT;
    const u_int dataAt = xdr_getpos(xdrs);
    auto* space = reinterpret_cast<char*>(xdr_inline(xdrs, RNDUP(result->wanted)));
    if (!space)
        return FALSE;
    // On the connection's thread, data not in memory goes to a worker.
    const bool splice = result->pipe && result->wanted >= kSpliceFrom;
    if (result->wouldWait && splice && NotInMemory(*result))
        return *result->wouldWait = true;
    bool end = false;
    ssize_t got = -1;
    errno = 0;
    if (splice)
        got = Splice(*result, end);
    const bool piped = got >= 0;
    if (!piped && errno == 0)
        got = Copy(*result, space);
    if (got < 0 && errno == EAGAIN && result->wouldWait)
        return *result->wouldWait = true;
    if (got < 0) {
        res.status = Nfs3StatusOfErrno(errno);
        return xdr_setpos(xdrs, start) && xdr_READ3res(xdrs, &res);
    }
    ok.count = static_cast<count3>(got);
    ok.data.data_len = ok.count;
    // Spliced, a short read is the end only when the file said so.
    ok.eof =
        piped ? end || (ok.count == result->wanted && AtEnd(*result, got)) : AtEnd(*result, got);
    if (!piped)
        std::memset(space + got, 0, RNDUP(ok.count) - ok.count);
    // Spliced, the transport sends the data and its padding after dataAt.
    const u_int endAt = piped ? dataAt : dataAt + RNDUP(ok.count);
    return xdr_setpos(xdrs, countAt) && xdr_count3(xdrs, &ok.count) && xdr_bool(xdrs, &ok.eof) &&
           xdr_u_int(xdrs, &ok.data.data_len) && xdr_setpos(xdrs, endAt);
}

void Nfs3Write(Nfs3Request& req, WRITE3args& args, WRITE3res& res) {
    wcc_data& wcc = res.WRITE3res_u.resok.file_wcc;  // the same place on failure
    Object object;
    struct stat st;
    res.status = EnterDataFileForChange(req, args.file, object, st, wcc.before);
    if (!wcc.before.attributes_follow)
        return;  // not entered: no attributes to report
    if (res.status == NFS3_OK && args.count > args.data.data_len)
        res.status = NFS3ERR_INVAL;
    if (res.status == NFS3_OK && !Nfs3WithinReach(args.offset, args.count))
        res.status = NFS3ERR_FBIG;
    std::unique_ptr<Nfs3OpenFiles::Use> use;
    if (res.status == NFS3_OK)
        res.status = UseData(req, object, st, true, use);
    if (res.status == NFS3_OK) {
        WRITE3resok& ok = res.WRITE3res_u.resok;
        ssize_t done = object->write(req.Ctx(), use->Fd(), args.data.data_val, args.offset,
                                     args.count, SyncOf(args.stable));
        if (done < 0) {
            if (args.stable != UNSTABLE)
                NoteLostWrites(req, errno);
            res.status = Nfs3StatusOfErrno(errno);
        } else {
            ok.count = static_cast<count3>(done);
            ok.committed = args.stable;
            req.Shared().writeVerifier.CopyTo(ok.verf);
            if (args.stable == UNSTABLE)
                WriteBehind(use->Fd(), args.offset, done);
        }
    }
    req.PostOp(object, wcc.after);
}

void Nfs3Commit(Nfs3Request& req, COMMIT3args& args, COMMIT3res& res) {
    wcc_data& wcc = res.COMMIT3res_u.resok.file_wcc;  // the same place on failure
    Object object;
    struct stat st;
    res.status = EnterDataFileForChange(req, args.file, object, st, wcc.before);
    if (!wcc.before.attributes_follow)
        return;  // not entered: no attributes to report
    // Syncing needs no writable descriptor: a kept one, else a read-only one.
    std::unique_ptr<Nfs3OpenFiles::Use> use;
    if (res.status == NFS3_OK)
        res.status = UseData(req, object, st, false, use);
    // The whole file is synced whatever range is asked: one fsync is no slower.
    if (res.status == NFS3_OK && object->fsync(req.Ctx(), use->Fd()) != 0) {
        req.Shared().writeVerifier.Renew();
        res.status = Nfs3StatusOfErrno(errno);
    }
    if (res.status == NFS3_OK)
        req.Shared().writeVerifier.CopyTo(res.COMMIT3res_u.resok.verf);
    req.PostOp(object, wcc.after);
}
