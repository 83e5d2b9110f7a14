// READDIR and READDIRPLUS. A cookie is the directory stream's position
// after an entry (telldir), resumed with seekdir; the cookie verifier is
// always 0 and any verifier is accepted, so a client resumes after the
// directory changed as it would on a local directory stream.
#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "server/nfs/Nfs3Attributes.h"
#include "server/nfs/Nfs3Errno.h"
#include "server/nfs/Nfs3Procedures.h"

namespace {

typedef Nfs3Request::Object Object;

// XDR sizes of the reply's parts, to stay within what the client takes.
constexpr size_t kReplyOverhead = 4 + (4 + 84) + 8 + 4 + 4;      // status, attrs, verf, end, eof
constexpr size_t kEntryFixed = 4 + 8 + 4 + 8;                    // follows, fileid, length, cookie
constexpr size_t kPlusExtra = (4 + 84) + (4 + 4 + NFS3_FHSIZE);  // attributes and handle

size_t Padded(size_t length) {
    return (length + 3) & ~size_t(3);
}

// Reads dir's entries from cookie on, handing take each entry and the
// cookie after it until take has no room (eof false) or the stream ends.
template <class Take>
nfsstat3 WalkDirectory(Nfs3Request& req, const Object& dir, cookie3 cookie, Take take, bool& eof) {
    DIR* stream = dir->opendir(req.Ctx(), dir->GetClientPath().c_str());
    if (!stream)
        return Nfs3StatusOfErrno(errno, Nfs3ErrnoSite::kHandle);
    if (cookie != 0)
        dir->seekdir(req.Ctx(), stream, static_cast<long>(cookie));
    nfsstat3 status = NFS3_OK;
    eof = false;
    for (;;) {
        errno = 0;
        struct dirent64* entry = dir->readdir(req.Ctx(), stream);
        if (!entry) {
            eof = errno == 0;
            status = errno == 0 ? NFS3_OK : Nfs3StatusOfErrno(errno);
            break;
        }
        if (!take(*entry, static_cast<cookie3>(dir->telldir(req.Ctx(), stream))))
            break;
    }
    dir->closedir(req.Ctx(), stream);
    return status;
}

// The directory of the call, entered and checked to be one.
nfsstat3 EnterDirectory(Nfs3Request& req, const w_nfs_fh3& fh, Object& dir) {
    nfsstat3 status = req.Enter(fh, Nfs3Need::kRead, dir);
    struct stat st;
    if (status == NFS3_OK && req.StatAsFound(dir, st) != 0)
        status = Nfs3StatusOfErrno(errno, Nfs3ErrnoSite::kHandle);
    if (status == NFS3_OK && !S_ISDIR(st.st_mode))
        status = NFS3ERR_NOTDIR;
    return status;
}

// A listed entry with its name, file id and cookie (both listing kinds).
template <typename Entry>
Entry& NewEntry(Nfs3Request& req, const struct dirent64& found, size_t length, cookie3 next) {
    Entry& entry = req.Make<Entry>();
    entry.fileid = found.d_ino;
    entry.name.filename3_len = static_cast<u_int>(length);
    entry.name.filename3_val = req.Keep(found.d_name, length);
    entry.cookie = next;
    return entry;
}

// Walks the directory into the reply: TOOSMALL when not even one entry fit.
template <typename Take, typename Ok>
nfsstat3 ListDirectory(Nfs3Request& req, const Object& dir, cookie3 cookie, Take& take, Ok& ok) {
    bool eof = false;
    nfsstat3 status = WalkDirectory(req, dir, cookie, take, eof);
    if (status == NFS3_OK && !ok.reply.entries && !eof)
        status = NFS3ERR_TOOSMALL;
    ok.reply.eof = eof;
    req.PostOp(dir, ok.dir_attributes);
    return status;
}

}  // namespace

void Nfs3Readdir(Nfs3Request& req, READDIR3args& args, READDIR3res& res) {
    Object dir;
    res.status = EnterDirectory(req, args.dir, dir);
    if (res.status != NFS3_OK)
        return;
    READDIR3resok& ok = res.READDIR3res_u.resok;
    size_t used = kReplyOverhead;
    entry3** tail = &ok.reply.entries;
    // The export's root is its own parent: ".." there names the root.
    struct stat dirSt;
    const bool atRoot = req.IsExportRoot(args.dir) && req.StatAsFound(dir, dirSt) == 0;
    auto take = [&](const struct dirent64& found, cookie3 next) {
        size_t length = std::strlen(found.d_name);
        size_t size = kEntryFixed + Padded(length);
        if (used + size > args.count)
            return false;
        used += size;
        entry3& entry = NewEntry<entry3>(req, found, length, next);
        if (atRoot && std::strcmp(found.d_name, "..") == 0)
            entry.fileid = dirSt.st_ino;
        *tail = &entry;
        tail = &entry.nextentry;
        return true;
    };
    res.status = ListDirectory(req, dir, args.cookie, take, ok);
}

void Nfs3Readdirplus(Nfs3Request& req, READDIRPLUS3args& args, READDIRPLUS3res& res) {
    Object dir;
    res.status = EnterDirectory(req, args.dir, dir);
    if (res.status != NFS3_OK)
        return;
    READDIRPLUS3resok& ok = res.READDIRPLUS3res_u.resok;
    size_t used = kReplyOverhead;
    size_t names = 0;
    entryplus3** tail = &ok.reply.entries;
    auto take = [&](const struct dirent64& found, cookie3 next) {
        size_t length = std::strlen(found.d_name);
        size_t entrySize = kEntryFixed + Padded(length);
        if (used + entrySize + kPlusExtra > args.maxcount ||
            (args.dircount != 0 && names + entrySize > args.dircount))
            return false;
        used += entrySize + kPlusExtra;
        names += entrySize;
        entryplus3& entry = NewEntry<entryplus3>(req, found, length, next);
        std::string name(found.d_name, length);
        Object child = req.Child(dir, args.dir, name);
        if (child &&
            req.Issue(child, entry.name_handle.post_op_fh3_u.handle, entry.name_attributes)) {
            entry.name_handle.handle_follows = TRUE;
            entry.fileid = entry.name_attributes.post_op_attr_u.attributes.fileid;
        }
        *tail = &entry;
        tail = &entry.nextentry;
        return true;
    };
    res.status = ListDirectory(req, dir, args.cookie, take, ok);
}
