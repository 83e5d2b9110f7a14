// READDIR and READDIRPLUS.
//
// A cookie is the directory's own position after the entry it comes with
// (the entry's d_off): what the file system takes back on a seek to go on
// from there. On ext4 a position is the 63-bit hash of a name, on tmpfs
// (Linux 6.6 on) an index that only grows, so it stays good while entries
// come and go: a listing resumed at it gives no entry twice (two names of
// one hash aside) and every entry that stayed throughout, however others
// change the directory meanwhile. The verifier
// stands for the directory alone (device, inode and unique file id, which
// an inode used again does not keep): it changes only when another
// directory takes its place. A call with a non-zero cookie under another
// verifier answers BAD_COOKIE, and so does a cookie the file system refuses
// on seek; cookie 0 starts afresh whatever its verifier.
// Resuming at a cookie takes up the stream a reply ended at that cookie
// left open (a few are, Nfs3KeptListings), else seeks a new stream there.
// Entries are read from the directory's descriptor with getdents64, in
// batches about as large as the reply can use, so a reply of a few dozen
// entries does not make the file system produce a thousand; while the host
// counts the module's operations, through the module's readdir, which
// times each entry.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

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

// The verifier of listings of dir (attributes st); never 0.
uint64_t VerifierOf(Nfs3Request& req, const Object& dir, const struct stat& st) {
    unsigned long id = 0;
    const uint64_t parts[] = {st.st_dev, st.st_ino, req.FileId(dir, id) ? id : 0};
    uint64_t sum = 14695981039346656037ull;  // FNV-1a over the words
    for (uint64_t part : parts)
        for (int byte = 0; byte < 8; ++byte)
            sum = (sum ^ ((part >> (8 * byte)) & 0xff)) * 1099511628211ull;
    return sum ? sum : 1;
}

// A batch for a reply of this many entries of short names, and the one
// after them that tells the reply is full: 32 bytes a record (a name of up
// to 12 characters), within 4 to 64 KiB; longer names take more batches.
size_t BatchBytes(size_t entries) {
    constexpr size_t kRecord = 32, kLeast = 4096, kMost = 65536;
    return std::min(kMost, std::max(kLeast, (entries + 1) * kRecord));
}

// What a listing answers for a cookie it could not seek to.
nfsstat3 SeekStatus(int sought) {
    if (sought == 0)
        return NFS3_OK;
    return errno == EINVAL ? NFS3ERR_BAD_COOKIE : Nfs3StatusOfErrno(errno);
}

// The listing of dir (attributes st) at place: the one kept there, else a
// stream opened now and placed.
nfsstat3 OpenListing(Nfs3Request& req, const Object& dir, const struct stat& st,
                     const Nfs3Place& place, size_t batchBytes,
                     Nfs3KeptListings::Listing& listing) {
    if (place.second != 0 && (listing = req.Shared().listings.Take(place, st)))
        return SeekStatus(listing->Resume(req.Ctx(), st, place.second));
    DIR* stream = dir->opendir(req.Ctx(), dir->GetClientPath().c_str());
    if (!stream)
        return Nfs3StatusOfErrno(errno, Nfs3ErrnoSite::kHandle);
    listing.reset(new Nfs3Listing(dir, st, stream, batchBytes));
    return place.second == 0 ? NFS3_OK : SeekStatus(listing->Seek(req.Ctx(), place.second));
}

// Reads dir's entries (attributes st) after cookie in batches of
// batchBytes, handing take the directory's descriptor, each entry and the
// cookie after it until take has no room (eof false) or the directory
// ends; the listing is kept at the place after the last one taken unless
// it ended or never left the start.
template <class Take>
nfsstat3 WalkDirectory(Nfs3Request& req, const Object& dir, const struct stat& st, Nfs3Place place,
                       size_t batchBytes, Take take, bool& eof) {
    Nfs3KeptListings::Listing listing;
    nfsstat3 status = OpenListing(req, dir, st, place, batchBytes, listing);
    eof = false;
    while (status == NFS3_OK) {
        const struct dirent64* entry = listing->Next(req.Ctx());
        if (!entry) {
            eof = errno == 0;
            status = errno == 0 ? NFS3_OK : Nfs3StatusOfErrno(errno);
            break;
        }
        const cookie3 next = static_cast<cookie3>(entry->d_off);
        if (!take(listing->Fd(), *entry, next)) {
            listing->Unread();
            break;
        }
        place.second = next;
    }
    if (status == NFS3_OK && !eof && place.second != 0)
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
    const uint64_t current = VerifierOf(req, dir, st);
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
