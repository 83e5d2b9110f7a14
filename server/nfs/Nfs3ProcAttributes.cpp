// GETATTR, SETATTR, ACCESS, FSSTAT, FSINFO, PATHCONF.
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "server/nfs/Nfs3Attributes.h"
#include "server/nfs/Nfs3Errno.h"
#include "server/nfs/Nfs3FileAccess.h"
#include "server/nfs/Nfs3Offsets.h"
#include "server/nfs/Nfs3OwnerWrites.h"
#include "server/nfs/Nfs3Procedures.h"

namespace {

typedef Nfs3Request::Object Object;

constexpr uint32_t kPreferredTransfer = 1024 * 1024;

nfsstat3 HandleErrno() {
    return Nfs3StatusOfErrno(errno, Nfs3ErrnoSite::kHandle);
}

// One time as utimensat takes it: the client's, the server's clock, or
// left alone; false for nanoseconds that are not below a second.
bool TimeToSet(time_how how, const nfstime3& given, struct timespec& out) {
    out.tv_sec = 0;
    switch (how) {
        case SET_TO_CLIENT_TIME:
            out.tv_sec = given.seconds;
            out.tv_nsec = given.nseconds;
            return given.nseconds < 1000000000u;
        case SET_TO_SERVER_TIME:
            out.tv_nsec = UTIME_NOW;
            return true;
        default:
            out.tv_nsec = UTIME_OMIT;
            return true;
    }
}

// Each time is set as asked and only then: the other keeps its value to
// the nanosecond. Both to the server's time is "now", which the owner and
// writers may set, as utimensat decides.
nfsstat3 ApplyTimes(Nfs3Request& req, const Object& object, const sattr3& attrs) {
    if (attrs.atime.set_it == DONT_CHANGE && attrs.mtime.set_it == DONT_CHANGE)
        return NFS3_OK;
    struct timespec times[2];
    if (!TimeToSet(attrs.atime.set_it, attrs.atime.set_atime_u.atime, times[0]) ||
        !TimeToSet(attrs.mtime.set_it, attrs.mtime.set_mtime_u.mtime, times[1]))
        return NFS3ERR_INVAL;
    return object->utimens(req.Ctx(), times) == 0 ? NFS3_OK : Nfs3StatusOfErrno(errno);
}

nfsstat3 ApplySize(Nfs3Request& req, const Object& object, const sattr3& attrs,
                   const struct stat& current) {
    return attrs.size.set_it ? Nfs3SetSize(req, object, current, attrs.size.set_size3_u.size)
                             : NFS3_OK;
}

}  // namespace

nfsstat3 Nfs3ApplyAttributes(Nfs3Request& req, const Object& object, const sattr3& attrs,
                             const struct stat& current) {
    const char* path = object->GetClientPath().c_str();
    if (attrs.uid.set_it || attrs.gid.set_it) {
        unsigned uid = attrs.uid.set_it ? attrs.uid.set_uid3_u.uid : static_cast<unsigned>(-1);
        unsigned gid = attrs.gid.set_it ? attrs.gid.set_gid3_u.gid : static_cast<unsigned>(-1);
        if (object->chown(req.Ctx(), path, uid, gid) != 0)
            return Nfs3StatusOfErrno(errno);
    }
    if (attrs.mode.set_it) {
        // chmod follows a link; a link's own mode means nothing.
        if (S_ISLNK(current.st_mode))
            return NFS3ERR_INVAL;
        if (object->chmod(req.Ctx(), path, attrs.mode.set_mode3_u.mode & 07777) != 0)
            return Nfs3StatusOfErrno(errno);
    }
    nfsstat3 status = ApplySize(req, object, attrs, current);
    return status == NFS3_OK ? ApplyTimes(req, object, attrs) : status;
}

void Nfs3Getattr(Nfs3Request& req, GETATTR3args& args, GETATTR3res& res) {
    Object object;
    res.status = req.Enter(args.object, object);
    struct stat st;
    if (res.status == NFS3_OK && req.StatAsFound(object, st) != 0)
        res.status = HandleErrno();
    if (res.status == NFS3_OK)
        Nfs3FillAttributes(st, res.GETATTR3res_u.resok.obj_attributes);
}

void Nfs3Setattr(Nfs3Request& req, SETATTR3args& args, SETATTR3res& res) {
    wcc_data& wcc = res.SETATTR3res_u.resok.obj_wcc;  // the same place on failure
    Object object;
    res.status = req.Enter(args.object, object);
    if (res.status != NFS3_OK)
        return;
    struct stat before;
    if (req.StatAsFound(object, before) != 0) {
        res.status = HandleErrno();
        return;
    }
    Nfs3FillWccAttributes(before, wcc.before.pre_op_attr_u.attributes);
    wcc.before.attributes_follow = TRUE;
    const nfstime3& guard = args.guard.sattrguard3_u.obj_ctime;
    if (args.guard.check && (guard.seconds != static_cast<w_uint32>(before.st_ctim.tv_sec) ||
                             guard.nseconds != static_cast<w_uint32>(before.st_ctim.tv_nsec)))
        res.status = NFS3ERR_NOT_SYNC;
    else
        res.status = Nfs3ApplyAttributes(req, object, args.new_attributes, before);
    req.PostOp(object, wcc.after);
}

void Nfs3Access(Nfs3Request& req, ACCESS3args& args, ACCESS3res& res) {
    Object object;
    res.status = req.Enter(args.object, object);
    struct stat st;
    if (res.status == NFS3_OK && req.StatAsFound(object, st) != 0)
        res.status = HandleErrno();
    if (res.status != NFS3_OK)
        return;
    ACCESS3resok& ok = res.ACCESS3res_u.resok;
    ok.access = Nfs3FileAccess(req, object, st, args.access);
    if (!(req.GetExport()->GetSharePerms() & SHARE_PERM_READ))
        ok.access &= ~(ACCESS3_READ | ACCESS3_LOOKUP | ACCESS3_EXECUTE);
    ok.obj_attributes.attributes_follow = TRUE;
    Nfs3FillAttributes(st, ok.obj_attributes.post_op_attr_u.attributes);
}

void Nfs3Fsstat(Nfs3Request& req, FSSTAT3args& args, FSSTAT3res& res) {
    Object object;
    res.status = req.Enter(args.fsroot, object);
    struct statfs fs;
    if (res.status == NFS3_OK &&
        object->statfs(req.Ctx(), object->GetClientPath().c_str(), &fs) != 0)
        res.status = HandleErrno();
    if (res.status != NFS3_OK)
        return;
    FSSTAT3resok& ok = res.FSSTAT3res_u.resok;
    const uint64_t unit = static_cast<uint64_t>(fs.f_bsize);
    ok.tbytes = fs.f_blocks * unit;
    ok.fbytes = fs.f_bfree * unit;
    ok.abytes = fs.f_bavail * unit;
    ok.tfiles = fs.f_files;
    ok.ffiles = fs.f_ffree;
    ok.afiles = fs.f_ffree;
    ok.invarsec = 0;
    req.PostOp(object, ok.obj_attributes);
}

void Nfs3Fsinfo(Nfs3Request& req, FSINFO3args& args, FSINFO3res& res) {
    Object object;
    res.status = req.Enter(args.fsroot, object);
    if (res.status != NFS3_OK)
        return;
    FSINFO3resok& ok = res.FSINFO3res_u.resok;
    ok.rtmax = ok.wtmax = NFS3_MAXDATA;
    ok.rtpref = ok.wtpref = kPreferredTransfer;
    ok.rtmult = ok.wtmult = 4096;
    ok.dtpref = kPreferredTransfer;
    ok.maxfilesize = kNfs3MaxFileSize;
    ok.time_delta.seconds = 0;
    ok.time_delta.nseconds = 1;
    ok.properties = FSF3_LINK | FSF3_SYMLINK | FSF3_HOMOGENEOUS | FSF3_CANSETTIME;
    req.PostOp(object, ok.obj_attributes);
}

void Nfs3Pathconf(Nfs3Request& req, PATHCONF3args& args, PATHCONF3res& res) {
    Object object;
    res.status = req.Enter(args.object, object);
    if (res.status != NFS3_OK)
        return;
    PATHCONF3resok& ok = res.PATHCONF3res_u.resok;
    const char* path = object->GetClientPath().c_str();
    long linkMax = object->pathconf(req.Ctx(), path, _PC_LINK_MAX);
    long nameMax = object->pathconf(req.Ctx(), path, _PC_NAME_MAX);
    ok.linkmax = linkMax > 0 ? static_cast<w_uint32>(linkMax) : 1;
    ok.name_max = nameMax > 0 ? static_cast<w_uint32>(nameMax) : 255;
    ok.no_trunc = TRUE;
    ok.chown_restricted = TRUE;
    ok.case_insensitive = FALSE;
    ok.case_preserving = TRUE;
    req.PostOp(object, ok.obj_attributes);
}
