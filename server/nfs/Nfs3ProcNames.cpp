// LOOKUP, READLINK and the procedures that make or remove directory entries.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "platform/StateStore.h"
#include "platform/UniqueFileId.h"
#include "server/handles/IssuedHandles.h"
#include "server/nfs/Nfs3Attributes.h"
#include "server/nfs/Nfs3Errno.h"
#include "server/nfs/Nfs3Names.h"
#include "server/nfs/Nfs3OwnerWrites.h"
#include "server/nfs/Nfs3Procedures.h"

namespace {

typedef Nfs3Request::Object Object;

constexpr unsigned kDefaultFileMode = 0644;
constexpr unsigned kDefaultDirMode = 0755;
constexpr unsigned kPlaceholderMode = 0600;

nfsstat3 HandleErrno() {
    return Nfs3StatusOfErrno(errno, Nfs3ErrnoSite::kHandle);
}

// The call's directory: entered, checked to be a directory, its pre-op
// attributes taken; name checked for use.
nfsstat3 EnterDirectory(Nfs3Request& req, const diropargs3& where, Nfs3NameUse use, Object& dir,
                        std::string& name, wcc_data& wcc) {
    nfsstat3 status = req.Enter(where.dir, dir);
    if (status != NFS3_OK)
        return status;
    struct stat st;
    if (req.StatAsFound(dir, st) != 0)
        return HandleErrno();
    wcc.before.attributes_follow = TRUE;
    Nfs3FillWccAttributes(st, wcc.before.pre_op_attr_u.attributes);
    if (!S_ISDIR(st.st_mode))
        return NFS3ERR_NOTDIR;
    return Nfs3CheckName(where.name, use, name);
}

mode_t ModeOr(const sattr3& attrs, mode_t fallback) {
    return attrs.mode.set_it ? (attrs.mode.set_mode3_u.mode & 07777) : fallback;
}

// What a creating procedure made or found: the object, the handle given
// out for it, whether this call made it, and whether the call changed it
// after making it.
struct Made {
    Object object;
    post_op_fh3 fh{};
    bool ours = false;
    bool touched = false;
};

// A state store out of room keeps no new id: a creating call is refused
// before it makes anything.
nfsstat3 StoreRoom() {
    const std::shared_ptr<StateStore> store = StateStore::Get();
    return !store || store->HasRoom() ? NFS3_OK : NFS3ERR_NOSPC;
}

// ENOSPC of a lookup is the store's (a new id not kept): LOOKUP has no
// NOSPC, and the client is to try again.
nfsstat3 LookupStatus(int err) {
    return err == ENOSPC ? NFS3ERR_JUKEBOX : Nfs3StatusOfErrno(err);
}

// Removes what a call made and cannot give a handle for; only while its
// name still holds it.
void Unmake(Nfs3Request& req, const Object& object) {
    unsigned long id = 0;
    struct stat st;
    if (object->GetIdentity(id, st) != 0)
        return;
    const char* path = object->GetClientPath().c_str();
    if (S_ISDIR(st.st_mode))
        object->rmdir(req.Ctx(), path);
    else
        object->unlink(req.Ctx(), path);
}

// Gives out the new object's handle. Its new id and the handle are
// committed in one transaction, the batch's, before the reply goes out and
// before anything that may wait on another thread runs with the store
// locked. When the store keeps neither, the call fails (NOSPC when the
// store is full) and what it made goes again: no object stays that no
// handle names.
nfsstat3 IssueCreated(Nfs3Request& req, StateStore::Batch& batch, Made& made) {
    const bool issued = made.object && req.Issue(made.object, made.fh.post_op_fh3_u.handle);
    if (batch.Commit()) {
        made.fh.handle_follows = issued;
        return NFS3_OK;
    }
    const nfsstat3 status = errno == ENOSPC ? NFS3ERR_NOSPC : NFS3ERR_IO;
    if (made.ours && made.object)
        Unmake(req, made.object);
    made.object.reset();
    return status;
}

// The object's attributes: from when it was made or found, unless this
// call changed it since.
int AttributesNow(Nfs3Request& req, const Made& made, struct stat& st) {
    unsigned long id = 0;
    return made.touched ? req.Stat(made.object, st) : made.object->GetIdentity(id, st);
}

// The attributes asked for that the object does not have: one it was made
// with costs no further call.
sattr3 Unmet(const sattr3& asked, const struct stat& st) {
    sattr3 unmet = asked;
    unmet.mode.set_it =
        asked.mode.set_it && (st.st_mode & 07777) != (asked.mode.set_mode3_u.mode & 07777);
    unmet.uid.set_it = asked.uid.set_it && st.st_uid != asked.uid.set_uid3_u.uid;
    unmet.gid.set_it = asked.gid.set_it && st.st_gid != asked.gid.set_gid3_u.gid;
    return unmet;
}

bool AnySet(const sattr3& attrs) {
    return attrs.mode.set_it || attrs.uid.set_it || attrs.gid.set_it || attrs.size.set_it ||
           attrs.atime.set_it != DONT_CHANGE || attrs.mtime.set_it != DONT_CHANGE;
}

// The caller's attributes applied to the created object, then its
// attributes and the directory's new ones.
nfsstat3 Created(Nfs3Request& req, const Object& dir, Made& made, const sattr3* attrs,
                 post_op_attr& childAttrs, wcc_data& wcc) {
    nfsstat3 status = NFS3_OK;
    struct stat st;
    if (made.object && attrs && AttributesNow(req, made, st) == 0 && AnySet(Unmet(*attrs, st))) {
        status = Nfs3ApplyAttributes(req, made.object, Unmet(*attrs, st), st);
        made.touched = true;
    }
    // The attributes as they are now, after whatever the call set.
    childAttrs.attributes_follow = made.fh.handle_follows && AttributesNow(req, made, st) == 0;
    if (childAttrs.attributes_follow)
        Nfs3FillAttributes(st, childAttrs.post_op_attr_u.attributes);
    req.PostOp(dir, wcc.after);
    return status;
}

// The end of a creating procedure: on success the new object's handle and
// attributes, and the directory's wcc data in whichever arm the status picks
// (the ok arm's members overlay the fail arm's, hence the copies).
nfsstat3 FinishCreate(Nfs3Request& req, nfsstat3 status, const Object& dir, Made& made,
                      const sattr3* attrs, post_op_fh3& fh, post_op_attr& childAttrs,
                      wcc_data& okWcc, wcc_data& failWcc) {
    wcc_data dirWcc = failWcc;
    post_op_attr madeAttrs{};
    if (status == NFS3_OK)
        status = Created(req, dir, made, attrs, madeAttrs, dirWcc);
    else
        req.PostOp(dir, dirWcc.after);
    if (status == NFS3_OK) {
        fh = made.fh;
        childAttrs = madeAttrs;
    }
    (status == NFS3_OK ? okWcc : failWcc) = dirWcc;
    return status;
}

// The exclusive-create verifier lives in the new file's times, masked to
// keep them positive, as native servers keep it.
void VerifierTimes(const createverf3 verf, struct timeval times[2]) {
    uint32_t words[2];
    std::memcpy(words, verf, sizeof words);
    times[0] = {static_cast<time_t>(words[1] & 0x7fffffff), 0};  // atime
    times[1] = {static_cast<time_t>(words[0] & 0x7fffffff), 0};  // mtime
}

bool VerifierMatches(const createverf3 verf, const struct stat& st) {
    struct timeval times[2];
    VerifierTimes(verf, times);
    return S_ISREG(st.st_mode) && st.st_atim.tv_sec == times[0].tv_sec &&
           st.st_mtim.tv_sec == times[1].tv_sec;
}

// Creates name exclusively: EEXIST (child empty) when the name holds
// anything, a symbolic link included, which is never followed.
Object CreateNew(Nfs3Request& req, const Object& dir, const std::string& name, mode_t mode) {
    return dir->CreateChildFile(req.Ctx(), name, O_RDWR | O_CREAT | O_EXCL, mode);
}

// What the name holds now, with its attributes as found; empty when nothing.
Object Existing(Nfs3Request& req, const Object& dir, const std::string& name, struct stat& st) {
    Object found = dir->FindChild(req.Ctx(), name);
    unsigned long id = 0;
    if (found && found->GetIdentity(id, st) != 0)
        found.reset();
    return found;
}

// A retried create finds its own verifier in the file it made.
nfsstat3 CreateExclusive(Nfs3Request& req, const Object& dir, const std::string& name,
                         const createverf3 verf, Made& made) {
    struct timeval times[2];
    VerifierTimes(verf, times);
    Object& child = made.object;
    child = CreateNew(req, dir, name, kPlaceholderMode);
    made.ours = made.touched = bool(child);
    if (child)
        return child->utimes(req.Ctx(), child->GetClientPath().c_str(), times) == 0
                   ? NFS3_OK
                   : Nfs3StatusOfErrno(errno);
    if (errno != EEXIST)
        return Nfs3StatusOfErrno(errno);
    struct stat st;
    child = Existing(req, dir, name, st);
    if (child && VerifierMatches(verf, st))
        return NFS3_OK;
    child.reset();
    return NFS3ERR_EXIST;
}

// The size asked of a created file, by its owner even when the mode it was
// created with is read-only; a new file is empty already.
nfsstat3 SizeCreated(Nfs3Request& req, Made& made, const sattr3& attrs, bool existed) {
    const uint64_t size = attrs.size.set_size3_u.size;
    if (!attrs.size.set_it || (!existed && size == 0))
        return NFS3_OK;
    struct stat st;
    if (AttributesNow(req, made, st) != 0)
        return HandleErrno();
    made.touched = true;
    return Nfs3SetSize(req, made.object, st, size);
}

// UNCHECKED keeps an existing regular file (whose size SizeCreated changes
// when asked); GUARDED refuses any existing entry. Never through a link: the
// file is made with O_EXCL, and an existing entry is taken as itself.
nfsstat3 CreateChecked(Nfs3Request& req, const Object& dir, const std::string& name,
                       const createhow3& how, Object& child, bool& existed) {
    const sattr3& attrs = how.createhow3_u.obj_attributes;
    existed = false;
    child = CreateNew(req, dir, name, ModeOr(attrs, kDefaultFileMode));
    if (!child && errno != EEXIST)
        return Nfs3StatusOfErrno(errno);
    existed = !child;
    struct stat st;
    if (existed &&
        (how.mode == GUARDED || !(child = Existing(req, dir, name, st)) || !S_ISREG(st.st_mode))) {
        child.reset();
        return NFS3ERR_EXIST;
    }
    return NFS3_OK;
}

mode_t NodeType(w_ftype3 type) {
    switch (type) {
        case W_NF3CHR:
            return S_IFCHR;
        case W_NF3BLK:
            return S_IFBLK;
        case W_NF3SOCK:
            return S_IFSOCK;
        default:
            return S_IFIFO;
    }
}

// The module makes a node at an object's own path, and an object needs an
// existing file for its identity: make a placeholder file, remove it, then
// make the node in its place.
nfsstat3 MakeNode(Nfs3Request& req, const Object& dir, const std::string& name, mode_t mode,
                  dev_t device, Object& child) {
    Object placeholder = CreateNew(req, dir, name, kPlaceholderMode);
    if (!placeholder)
        return Nfs3StatusOfErrno(errno);
    const char* path = placeholder->GetClientPath().c_str();
    if (placeholder->unlink(req.Ctx(), path) != 0)
        return Nfs3StatusOfErrno(errno);
    if (placeholder->mknod(req.Ctx(), path, device, static_cast<ftype3>(0), mode) != 0)
        return Nfs3StatusOfErrno(errno);
    child = dir->FindChild(req.Ctx(), name);
    return child ? NFS3_OK : Nfs3StatusOfErrno(errno);
}

// Any descriptor kept for the entry goes before the entry does.
void ForgetOpenFile(Nfs3Request& req, const Object& object) {
    unsigned long id = 0;
    if (object && req.FileId(object, id))
        req.Shared().openFiles.Forget(id);
}

// An object about to lose a name: its handle, so that it can be forgotten
// once the object is gone (Gone).
struct Leaving {
    Object object;
    unsigned long id = 0;
    nfs_fh3 fh{};
};

Leaving Leaves(Nfs3Request& req, const Object& object) {
    Leaving leaving;
    if (object && req.FileId(object, leaving.id)) {
        leaving.object = object;
        object->GetFileHandle(leaving.fh);
    }
    return leaving;
}

// After the name went: the handle given out for an object no name holds any
// more (its id forgotten) goes from the store too.
void Gone(const Leaving& leaving) {
    if (leaving.object && !UniqueFileIdKnown(leaving.id))
        IssuedHandles::Process().Drop(leaving.fh, leaving.id);
}

// Clients keep the handle of a renamed file; asking the module for the handle
// at the new name records the new path under the same file id, so the old
// handle resolves again.
void Reissue(Nfs3Request& req, const Object& dir, const std::string& name) {
    Object moved = dir->FindChild(req.Ctx(), name);
    w_nfs_fh3 fh;
    if (moved)
        req.Issue(moved, fh);
}

}  // namespace

void Nfs3Lookup(Nfs3Request& req, LOOKUP3args& args, LOOKUP3res& res) {
    post_op_attr& dirAttrs = res.LOOKUP3res_u.resok.dir_attributes;
    Object dir, child;
    std::string name;
    res.status = req.Enter(args.what.dir, dir);
    if (res.status != NFS3_OK)
        return;
    // A lookup leaves the directory as it was, so its attributes from
    // before stand for after.
    struct stat dirSt;
    const bool dirKnown = req.StatAsFound(dir, dirSt) == 0;
    const int statErrno = errno;
    res.status = Nfs3CheckName(args.what.name, Nfs3NameUse::kLookup, name);
    if (res.status == NFS3_OK && !dirKnown)
        res.status = Nfs3StatusOfErrno(statErrno, Nfs3ErrnoSite::kHandle);
    else if (res.status == NFS3_OK && !S_ISDIR(dirSt.st_mode))
        res.status = NFS3ERR_NOTDIR;
    // A file no client was given before: its new id and its handle in one
    // commit, made before the reply (a handle the store did not keep is
    // not given).
    StateStore::Batch batch;
    if (res.status == NFS3_OK && !(child = req.Child(dir, args.what.dir, name)))
        res.status = LookupStatus(errno);
    if (res.status == NFS3_OK &&
        !req.Issue(child, res.LOOKUP3res_u.resok.object, res.LOOKUP3res_u.resok.obj_attributes))
        res.status = NFS3ERR_NOENT;  // gone between finding and naming it
    if (!batch.Commit() && res.status == NFS3_OK)
        res.status = LookupStatus(errno);
    // resfail's dir_attributes is resok's first member's place; keep it apart.
    post_op_attr& out = res.status == NFS3_OK ? dirAttrs : res.LOOKUP3res_u.resfail.dir_attributes;
    if (dirKnown) {
        out.attributes_follow = TRUE;
        Nfs3FillAttributes(dirSt, out.post_op_attr_u.attributes);
    } else {
        req.PostOp(dir, out);
    }
}

void Nfs3Readlink(Nfs3Request& req, READLINK3args& args, READLINK3res& res) {
    post_op_attr& attrs = res.READLINK3res_u.resok.symlink_attributes;  // also on failure
    Object link;
    res.status = req.Enter(args.symlink, link);
    if (res.status != NFS3_OK)
        return;
    struct stat st;
    if (req.StatAsFound(link, st) != 0) {
        res.status = HandleErrno();
        return;
    }
    if (!S_ISLNK(st.st_mode))
        res.status = NFS3ERR_INVAL;
    char target[PATH_MAX];
    ssize_t length =
        res.status == NFS3_OK
            ? link->readlink(req.Ctx(), link->GetClientPath().c_str(), target, sizeof target)
            : 0;
    if (length < 0)
        res.status = Nfs3StatusOfErrno(errno);
    if (res.status == NFS3_OK) {
        nfspath3& data = res.READLINK3res_u.resok.data;
        data.nfspath3_len = static_cast<u_int>(length);
        data.nfspath3_val = req.Keep(target, static_cast<size_t>(length));
    }
    req.PostOp(link, attrs);
}

void Nfs3Create(Nfs3Request& req, CREATE3args& args, CREATE3res& res) {
    CREATE3resok& ok = res.CREATE3res_u.resok;
    wcc_data& wcc = res.CREATE3res_u.resfail.dir_wcc;
    Object dir;
    std::string name;
    res.status = EnterDirectory(req, args.where, Nfs3NameUse::kCreate, dir, name, wcc);
    if (res.status == NFS3_OK)
        res.status = StoreRoom();
    if (res.status != NFS3_OK) {
        req.PostOp(dir, wcc.after);
        return;
    }
    StateStore::Batch batch;
    Made made;
    const sattr3& asked = args.how.createhow3_u.obj_attributes;
    sattr3 rest = asked;  // the size is set before
    rest.size.set_it = FALSE;
    bool existed = false;
    if (args.how.mode == EXCLUSIVE) {
        res.status = CreateExclusive(req, dir, name, args.how.createhow3_u.verf, made);
    } else {
        res.status = CreateChecked(req, dir, name, args.how, made.object, existed);
        made.ours = !existed;
    }
    if (res.status == NFS3_OK)
        res.status = IssueCreated(req, batch, made);
    if (res.status == NFS3_OK && args.how.mode != EXCLUSIVE)
        res.status = SizeCreated(req, made, asked, existed);
    const sattr3* attrs = args.how.mode == EXCLUSIVE || existed ? nullptr : &rest;
    res.status =
        FinishCreate(req, res.status, dir, made, attrs, ok.obj, ok.obj_attributes, ok.dir_wcc, wcc);
}

void Nfs3Mkdir(Nfs3Request& req, MKDIR3args& args, MKDIR3res& res) {
    MKDIR3resok& ok = res.MKDIR3res_u.resok;
    wcc_data& wcc = res.MKDIR3res_u.resfail.dir_wcc;
    Object dir;
    std::string name;
    res.status = EnterDirectory(req, args.where, Nfs3NameUse::kCreate, dir, name, wcc);
    if (res.status == NFS3_OK)
        res.status = StoreRoom();
    StateStore::Batch batch;
    Made made;
    if (res.status == NFS3_OK) {
        made.object =
            dir->CreateChildDir(req.Ctx(), name, ModeOr(args.attributes, kDefaultDirMode));
        made.ours = true;
        res.status = made.object ? IssueCreated(req, batch, made) : Nfs3StatusOfErrno(errno);
    }
    res.status = FinishCreate(req, res.status, dir, made, &args.attributes, ok.obj,
                              ok.obj_attributes, ok.dir_wcc, wcc);
}

void Nfs3Symlink(Nfs3Request& req, SYMLINK3args& args, SYMLINK3res& res) {
    SYMLINK3resok& ok = res.SYMLINK3res_u.resok;
    wcc_data& wcc = res.SYMLINK3res_u.resfail.dir_wcc;
    Object dir;
    std::string name, target;
    res.status = EnterDirectory(req, args.where, Nfs3NameUse::kCreate, dir, name, wcc);
    if (res.status == NFS3_OK)
        res.status = Nfs3CheckPath(args.symlink.symlink_data, target);
    if (res.status == NFS3_OK)
        res.status = StoreRoom();
    if (res.status == NFS3_OK && dir->symlink(req.Ctx(), target.c_str(), name.c_str()) != 0)
        res.status = Nfs3StatusOfErrno(errno);
    StateStore::Batch batch;
    Made made;
    if (res.status == NFS3_OK) {
        made.object = dir->FindChild(req.Ctx(), name);
        made.ours = true;
        res.status = IssueCreated(req, batch, made);
    }
    res.status = FinishCreate(req, res.status, dir, made, nullptr, ok.obj, ok.obj_attributes,
                              ok.dir_wcc, wcc);
}

// Devices only for a caller who is root on the export (root not squashed);
// FIFOs and sockets for anyone who may write the directory.
void Nfs3Mknod(Nfs3Request& req, MKNOD3args& args, MKNOD3res& res) {
    MKNOD3resok& ok = res.MKNOD3res_u.resok;
    wcc_data& wcc = res.MKNOD3res_u.resfail.dir_wcc;
    Object dir;
    std::string name;
    res.status = EnterDirectory(req, args.where, Nfs3NameUse::kCreate, dir, name, wcc);
    const w_ftype3 type = args.what.type;
    const bool device = type == W_NF3CHR || type == W_NF3BLK;
    const bool special = type == W_NF3SOCK || type == W_NF3FIFO;
    if (res.status == NFS3_OK && !device && !special)
        res.status = NFS3ERR_BADTYPE;
    if (res.status == NFS3_OK && device && req.Who().uid != 0)
        res.status = NFS3ERR_PERM;
    if (res.status == NFS3_OK)
        res.status = StoreRoom();
    const sattr3& attrs = device ? args.what.mknoddata3_u.device.dev_attributes
                                 : args.what.mknoddata3_u.pipe_attributes;
    StateStore::Batch batch;
    Made made;
    if (res.status == NFS3_OK) {
        const specdata3& numbers = args.what.mknoddata3_u.device.numbers;
        dev_t number = device ? makedev(numbers.specdata1, numbers.specdata2) : 0;
        res.status = MakeNode(req, dir, name, NodeType(type) | ModeOr(attrs, kPlaceholderMode),
                              number, made.object);
        made.ours = true;
    }
    if (res.status == NFS3_OK)
        res.status = IssueCreated(req, batch, made);
    res.status = FinishCreate(req, res.status, dir, made, &attrs, ok.obj, ok.obj_attributes,
                              ok.dir_wcc, wcc);
}

void Nfs3Remove(Nfs3Request& req, REMOVE3args& args, REMOVE3res& res) {
    wcc_data& wcc = res.REMOVE3res_u.resok.dir_wcc;  // the same place on failure
    Object dir, child;
    std::string name;
    StateStore::Batch batch;  // what the removal forgets, one commit
    res.status = EnterDirectory(req, args.object, Nfs3NameUse::kRemove, dir, name, wcc);
    if (res.status == NFS3_OK) {
        child = dir->FindChild(req.Ctx(), name);
        if (!child)
            res.status = Nfs3StatusOfErrno(errno);
    }
    if (res.status == NFS3_OK) {
        ForgetOpenFile(req, child);
        const Leaving leaving = Leaves(req, child);
        if (child->unlink(req.Ctx(), child->GetClientPath().c_str()) != 0)
            res.status = Nfs3StatusOfErrno(errno);
        else
            Gone(leaving);
    }
    req.PostOp(dir, wcc.after);
}

void Nfs3Rmdir(Nfs3Request& req, RMDIR3args& args, RMDIR3res& res) {
    wcc_data& wcc = res.RMDIR3res_u.resok.dir_wcc;  // the same place on failure
    Object dir, child;
    std::string name;
    StateStore::Batch batch;  // what the removal forgets, one commit
    res.status = EnterDirectory(req, args.object, Nfs3NameUse::kRemove, dir, name, wcc);
    if (res.status == NFS3_OK) {
        child = dir->FindChild(req.Ctx(), name);
        if (!child)
            res.status = Nfs3StatusOfErrno(errno);
    }
    if (res.status == NFS3_OK) {
        const Leaving leaving = Leaves(req, child);
        if (child->rmdir(req.Ctx(), child->GetClientPath().c_str()) != 0)
            res.status = Nfs3StatusOfErrno(errno);
        else
            Gone(leaving);
    }
    req.PostOp(dir, wcc.after);
}

void Nfs3Rename(Nfs3Request& req, RENAME3args& args, RENAME3res& res) {
    wcc_data& fromWcc = res.RENAME3res_u.resok.fromdir_wcc;  // the same places on failure
    wcc_data& toWcc = res.RENAME3res_u.resok.todir_wcc;
    Object fromDir, toDir, source;
    std::string fromName, toName;
    StateStore::Batch batch;  // the new place, what was replaced, one commit
    res.status = EnterDirectory(req, args.from, Nfs3NameUse::kRemove, fromDir, fromName, fromWcc);
    if (res.status == NFS3_OK)
        res.status = req.Resolve(args.to.dir, toDir);
    if (res.status == NFS3_OK) {
        req.PreOp(toDir, toWcc.before);
        res.status = Nfs3CheckName(args.to.name, Nfs3NameUse::kRemove, toName);
    }
    if (res.status == NFS3_OK) {
        source = fromDir->FindChild(req.Ctx(), fromName);
        if (!source)
            res.status = Nfs3StatusOfErrno(errno);
    }
    if (res.status == NFS3_OK) {
        const Object replaced = toDir->FindChild(req.Ctx(), toName);
        ForgetOpenFile(req, source);
        ForgetOpenFile(req, replaced);
        const Leaving leaving = Leaves(req, replaced);
        req.Ctx()->SetTargetObject(toDir);
        if (source->rename(req.Ctx(), source->GetClientPath().c_str(), toName.c_str()) != 0) {
            res.status = Nfs3StatusOfErrno(errno);
        } else {
            Gone(leaving);
            Reissue(req, toDir, toName);
        }
    }
    req.PostOp(fromDir, fromWcc.after);
    req.PostOp(toDir, toWcc.after);
}

void Nfs3Link(Nfs3Request& req, LINK3args& args, LINK3res& res) {
    post_op_attr& fileAttrs = res.LINK3res_u.resok.file_attributes;  // also on failure
    wcc_data& wcc = res.LINK3res_u.resok.linkdir_wcc;
    Object file, dir;
    std::string name;
    res.status = req.Enter(args.file, file);
    if (res.status != NFS3_OK)
        return;
    res.status = req.Resolve(args.link.dir, dir);
    if (res.status == NFS3_OK) {
        req.PreOp(dir, wcc.before);
        res.status = Nfs3CheckName(args.link.name, Nfs3NameUse::kCreate, name);
    }
    if (res.status == NFS3_OK &&
        dir->link(req.Ctx(), file->GetClientPath().c_str(), name.c_str()) != 0)
        res.status = Nfs3StatusOfErrno(errno);
    req.PostOp(file, fileAttrs);
    req.PostOp(dir, wcc.after);
}
