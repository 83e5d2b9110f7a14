// READDIR and READDIRPLUS.
//
// A cookie counts the entries read from the start of the directory stream,
// so a cookie this server could have given is at most the number of
// entries. The verifier sums the directory's device, inode, change time
// (with nanoseconds), size and link count: ctime rather than mtime, since a
// client can set mtime back but not ctime, and every change of the entries
// moves it (and size or links besides, on most file systems). A call with a
// non-zero cookie must carry the verifier the directory has now, else it
// answers BAD_COOKIE and the client lists afresh; cookie 0 starts afresh
// whatever its verifier. So a cookie always means the same place in the
// same listing, and one past the end answers BAD_COOKIE too.
// Resuming at a cookie takes up the stream a reply ended at that cookie
// left open (a few are, Nfs3KeptListings), else seeks a new stream to the
// position remembered for it (the last cookie of each reply is, in a
// bounded cache), else reads that many entries from the start.
// Entries are read from the directory's descriptor with getdents64, in
// batches about as large as the reply can use, so a reply of a few dozen
// entries does not make the file system produce a thousand; while the host
// counts the module's operations, through the module's readdir, which
// times each entry.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "platform/ClockCache.h"
#include "server/nfs/Nfs3Attributes.h"
#include "server/nfs/Nfs3Errno.h"
#include "server/nfs/Nfs3Listings.h"
#include "server/nfs/Nfs3Procedures.h"

namespace {

typedef Nfs3Request::Object Object;

// XDR sizes of the reply's parts, to stay within what the client takes.
constexpr size_t kReplyOverhead = 4 + (4 + 84) + 8 + 4 + 4;      // status, attrs, verf, end, eof
constexpr size_t kEntryFixed = 4 + 8 + 4 + 8;                    // follows, fileid, length, cookie
constexpr size_t kPlusExtra = (4 + 84) + (4 + 4 + NFS3_FHSIZE);  // attributes and handle, at most
constexpr size_t kPlusLeast = 4 + 4;                             // neither attributes nor handle

size_t Padded(size_t length) {
    return (length + 3) & ~size_t(3);
}

// What an entry's attributes and handle take, as they came out.
size_t PlusBytes(const entryplus3& entry) {
    const post_op_fh3& handle = entry.name_handle;
    return 4 + (entry.name_attributes.attributes_follow ? 84 : 0) + 4 +
           (handle.handle_follows ? 4 + Padded(handle.post_op_fh3_u.handle.data.data_len) : 0);
}

// The verifier of a listing of the directory with these attributes; never 0.
uint64_t VerifierOf(const struct stat& st) {
    const uint64_t parts[] = {st.st_dev,
                              st.st_ino,
                              static_cast<uint64_t>(st.st_ctim.tv_sec),
                              static_cast<uint64_t>(st.st_ctim.tv_nsec),
                              static_cast<uint64_t>(st.st_size),
                              st.st_nlink};
    uint64_t sum = 14695981039346656037ull;  // FNV-1a over the words
    for (uint64_t part : parts)
        for (int byte = 0; byte < 8; ++byte)
            sum = (sum ^ ((part >> (8 * byte)) & 0xff)) * 1099511628211ull;
    return sum ? sum : 1;
}

// Stream positions after cookies given out, by place: a position depends
// on the directory alone, so listings share them.
ClockCache<Nfs3Place, long, Nfs3PlaceHash>& Positions() {
    static ClockCache<Nfs3Place, long, Nfs3PlaceHash> positions(16384);
    return positions;
}

// A batch for a reply of this many entries of short names, and the one
// after them that tells the reply is full: 32 bytes a record (a name of up
// to 12 characters), within 4 to 64 KiB; longer names take more batches.
size_t BatchBytes(size_t entries) {
    constexpr size_t kRecord = 32, kLeast = 4096, kMost = 65536;
    return std::min(kMost, std::max(kLeast, (entries + 1) * kRecord));
}

// Places the listing after cookie entries: BAD_COOKIE when it has fewer.
nfsstat3 Resume(LumeCtxt* ctx, Nfs3Listing& listing, const Nfs3Place& place) {
    long position = 0;
    if (place.second == 0)
        return NFS3_OK;
    if (Positions().Find(place, position))
        return ::lseek(listing.Fd(), position, SEEK_SET) < 0 ? Nfs3StatusOfErrno(errno) : NFS3_OK;
    for (cookie3 read = 0; read < place.second; ++read) {
        if (!listing.Next(ctx))
            return errno == 0 ? NFS3ERR_BAD_COOKIE : Nfs3StatusOfErrno(errno);
    }
    return NFS3_OK;
}

// The listing of dir (attributes st) at place: the one kept there, else a
// stream opened now and placed.
nfsstat3 OpenListing(Nfs3Request& req, const Object& dir, const struct stat& st,
                     const Nfs3Place& place, size_t batchBytes,
                     Nfs3KeptListings::Listing& listing) {
    if (place.second != 0 && (listing = req.Shared().listings.Take(place, st)))
        return NFS3_OK;
    DIR* stream = dir->opendir(req.Ctx(), dir->GetClientPath().c_str());
    if (!stream)
        return Nfs3StatusOfErrno(errno, Nfs3ErrnoSite::kHandle);
    listing.reset(new Nfs3Listing(dir, st, stream, batchBytes));
    return Resume(req.Ctx(), *listing, place);
}

// Reads dir's entries (attributes st) after cookie in batches of
// batchBytes, handing take the directory's descriptor, each entry and the
// cookie after it until take has no room (eof false) or the directory
// ends; the place after the last one taken is remembered, and the listing
// kept there unless it ended.
template <class Take>
nfsstat3 WalkDirectory(Nfs3Request& req, const Object& dir, const struct stat& st, Nfs3Place place,
                       size_t batchBytes, Take take, bool& eof) {
    Nfs3KeptListings::Listing listing;
    nfsstat3 status = OpenListing(req, dir, st, place, batchBytes, listing);
    const cookie3 first = place.second;
    eof = false;
    long position = 0;
    while (status == NFS3_OK) {
        const struct dirent64* entry = listing->Next(req.Ctx());
        if (!entry) {
            eof = errno == 0;
            status = errno == 0 ? NFS3_OK : Nfs3StatusOfErrno(errno);
            break;
        }
        if (!take(listing->Fd(), *entry, place.second + 1)) {
            listing->Unread();
            break;
        }
        ++place.second;
        position = static_cast<long>(entry->d_off);
    }
    if (status == NFS3_OK && place.second != first)
        Positions().Put(place, position);
    if (status == NFS3_OK && !eof)
        req.Shared().listings.Keep(place, std::move(listing));
    return status;
}

// The directory of the call, entered and checked to be one; st its
// attributes as found.
nfsstat3 EnterDirectory(Nfs3Request& req, const w_nfs_fh3& fh, Object& dir, struct stat& st) {
    nfsstat3 status = req.Enter(fh, dir);
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

// The handle and attributes of the entry name of dir (open on dirFd): "."
// and ".." as objects, since ".." leaves the directory (and at the
// export's root names the root); any other name looked at once, relative to
// dirFd.
bool IssueEntry(Nfs3Request& req, const Object& dir, const w_nfs_fh3& dirFh, int dirFd,
                const std::string& name, w_nfs_fh3& handle, post_op_attr& attrs) {
    if (name == "." || name == "..") {
        const Object object = req.Child(dir, dirFh, name);
        return object && req.Issue(object, handle, attrs);
    }
    // One found before costs no look through the directory.
    if (const Object found = req.FoundChild(dirFh, name))
        return req.IssueFound(found, handle, attrs);
    return req.IssueListed(dir, dirFd, name, handle, attrs);
}

// Walks the directory (attributes st) into the reply from the client's
// cookie and verifier: BAD_COOKIE for a stale verifier, TOOSMALL when not
// even one entry fit.
template <typename Take, typename Ok>
nfsstat3 ListDirectory(Nfs3Request& req, const Object& dir, const struct stat& st, cookie3 cookie,
                       const cookieverf3 verifier, size_t batchBytes, Take& take, Ok& ok) {
    const uint64_t current = VerifierOf(st);
    bool eof = false;
    nfsstat3 status = NFS3ERR_BAD_COOKIE;
    if (cookie == 0 || std::memcmp(verifier, &current, sizeof current) == 0)
        status = WalkDirectory(req, dir, st, Nfs3Place(current, cookie), batchBytes, take, eof);
    if (status == NFS3_OK && !ok.reply.entries && !eof)
        status = NFS3ERR_TOOSMALL;
    std::memcpy(ok.cookieverf, &current, sizeof current);
    ok.reply.eof = eof;
    req.PostOp(dir, ok.dir_attributes);
    return status;
}

}  // namespace

void Nfs3Readdir(Nfs3Request& req, READDIR3args& args, READDIR3res& res) {
    Object dir;
    struct stat dirSt;
    res.status = EnterDirectory(req, args.dir, dir, dirSt);
    if (res.status != NFS3_OK)
        return;
    READDIR3resok& ok = res.READDIR3res_u.resok;
    size_t used = kReplyOverhead;
    entry3** tail = &ok.reply.entries;
    // The export's root is its own parent: ".." there names the root.
    const bool atRoot = req.IsExportRoot(args.dir);
    auto take = [&](int, const struct dirent64& found, cookie3 next) {
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
    res.status = ListDirectory(req, dir, dirSt, args.cookie, args.cookieverf,
                               BatchBytes(args.count / (kEntryFixed + 4)), take, ok);
}

void Nfs3Readdirplus(Nfs3Request& req, READDIRPLUS3args& args, READDIRPLUS3res& res) {
    Object dir;
    struct stat dirSt;
    res.status = EnterDirectory(req, args.dir, dir, dirSt);
    if (res.status != NFS3_OK)
        return;
    READDIRPLUS3resok& ok = res.READDIRPLUS3res_u.resok;
    size_t used = kReplyOverhead;
    size_t names = 0;
    entryplus3** tail = &ok.reply.entries;
    auto take = [&](int dirFd, const struct dirent64& found, cookie3 next) {
        size_t length = std::strlen(found.d_name);
        size_t entrySize = kEntryFixed + Padded(length);
        if (used + entrySize + kPlusLeast > args.maxcount ||
            (args.dircount != 0 && names + entrySize > args.dircount))
            return false;
        entryplus3& entry = NewEntry<entryplus3>(req, found, length, next);
        // An entry gone since it was read is listed without handle and
        // attributes.
        if (IssueEntry(req, dir, args.dir, dirFd, std::string(found.d_name, length),
                       entry.name_handle.post_op_fh3_u.handle, entry.name_attributes)) {
            entry.name_handle.handle_follows = TRUE;
            entry.fileid = entry.name_attributes.post_op_attr_u.attributes.fileid;
        }
        // Counted as it came out, so that a reply fills what the client takes.
        entrySize += PlusBytes(entry);
        if (used + entrySize > args.maxcount)
            return false;
        used += entrySize;
        names += kEntryFixed + Padded(length);
        *tail = &entry;
        tail = &entry.nextentry;
        return true;
    };
    size_t fit = args.maxcount / (kEntryFixed + 4 + kPlusExtra);
    if (args.dircount != 0)
        fit = std::min<size_t>(fit, args.dircount / (kEntryFixed + 4));
    const size_t batchBytes = BatchBytes(fit);
    res.status = ListDirectory(req, dir, dirSt, args.cookie, args.cookieverf, batchBytes, take, ok);
}
