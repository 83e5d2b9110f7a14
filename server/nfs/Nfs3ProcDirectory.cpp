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
// Resuming at a cookie seeks to the stream position remembered for it (the
// last cookie of each reply is, in a bounded cache) or else reads that many
// entries from the start.
// Entries are read from the directory's descriptor with getdents64, in
// batches about as large as the reply can use, so a reply of a few dozen
// entries does not make the file system produce a thousand; while the host
// counts the module's operations, through the module's readdir, which
// times each entry.
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "host/PerfCounters.h"
#include "platform/ClockCache.h"
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

// Stream positions after cookies given out, by (verifier, cookie): a
// position depends on the directory alone, so listings share them.
typedef std::pair<uint64_t, cookie3> Place;
struct PlaceHash {
    size_t operator()(const Place& place) const {
        return static_cast<size_t>(place.first ^ (place.second * 0x9e3779b97f4a7c15ull));
    }
};
ClockCache<Place, long, PlaceHash>& Positions() {
    static ClockCache<Place, long, PlaceHash> positions(16384);
    return positions;
}

// A directory's entries, read from its descriptor a batch at a time; while
// the host counts the module's operations, through the module's readdir of
// the stream instead, which times each.
class EntryBatches {
  public:
    // bytes: the batch size, at least one entry of the longest name.
    EntryBatches(Nfs3Request& req, const Nfs3Request::Object& dir, DIR* stream, size_t bytes)
        : m_req(req), m_dir(dir), m_stream(stream), m_fd(::dirfd(stream)), m_buffer(bytes) {}

    // The next entry; null at the end (errno 0) or on failure (errno set).
    const struct dirent64* Next() {
        if (m_viaModule) {
            errno = 0;
            return m_dir->readdir(m_req.Ctx(), m_stream);
        }
        if (m_at == m_filled) {
            const long got = ::syscall(SYS_getdents64, m_fd, m_buffer.data(), m_buffer.size());
            if (got <= 0) {
                errno = got == 0 ? 0 : errno;
                return nullptr;
            }
            m_filled = static_cast<size_t>(got);
            m_at = 0;
        }
        const auto* entry = reinterpret_cast<const struct dirent64*>(m_buffer.data() + m_at);
        m_at += entry->d_reclen;
        return entry;
    }

  private:
    Nfs3Request& m_req;
    const Nfs3Request::Object& m_dir;
    DIR* const m_stream;
    const bool m_viaModule = gPerfFlag.load();
    const int m_fd;
    std::vector<char> m_buffer;
    size_t m_filled = 0, m_at = 0;
};

// A batch for a reply of this many entries of short names, and the one
// after them that tells the reply is full: 32 bytes a record (a name of up
// to 12 characters), within 4 to 64 KiB; longer names take more batches.
size_t BatchBytes(size_t entries) {
    constexpr size_t kRecord = 32, kLeast = 4096, kMost = 65536;
    return std::min(kMost, std::max(kLeast, (entries + 1) * kRecord));
}

// Places the descriptor after cookie entries: BAD_COOKIE when it has fewer.
nfsstat3 Resume(int fd, EntryBatches& batches, const Place& place) {
    long position = 0;
    if (place.second == 0)
        return NFS3_OK;
    if (Positions().Find(place, position))
        return ::lseek(fd, position, SEEK_SET) < 0 ? Nfs3StatusOfErrno(errno) : NFS3_OK;
    for (cookie3 read = 0; read < place.second; ++read) {
        if (!batches.Next())
            return errno == 0 ? NFS3ERR_BAD_COOKIE : Nfs3StatusOfErrno(errno);
    }
    return NFS3_OK;
}

// Reads dir's entries after cookie in batches of batchBytes, handing take
// the directory's descriptor, each entry and the cookie after it until take
// has no room (eof false) or the directory ends; the place after the last
// one taken is remembered.
template <class Take>
nfsstat3 WalkDirectory(Nfs3Request& req, const Object& dir, Place place, size_t batchBytes,
                       Take take, bool& eof) {
    DIR* stream = dir->opendir(req.Ctx(), dir->GetClientPath().c_str());
    if (!stream)
        return Nfs3StatusOfErrno(errno, Nfs3ErrnoSite::kHandle);
    const int fd = ::dirfd(stream);
    EntryBatches batches(req, dir, stream, batchBytes);
    const cookie3 first = place.second;
    nfsstat3 status = Resume(fd, batches, place);
    eof = false;
    long position = 0;
    while (status == NFS3_OK) {
        const struct dirent64* entry = batches.Next();
        if (!entry) {
            eof = errno == 0;
            status = errno == 0 ? NFS3_OK : Nfs3StatusOfErrno(errno);
            break;
        }
        if (!take(fd, *entry, place.second + 1))
            break;
        ++place.second;
        position = static_cast<long>(entry->d_off);
    }
    if (status == NFS3_OK && place.second != first)
        Positions().Put(place, position);
    dir->closedir(req.Ctx(), stream);
    return status;
}

// The directory of the call, entered and checked to be one; st its
// attributes as found.
nfsstat3 EnterDirectory(Nfs3Request& req, const w_nfs_fh3& fh, Object& dir, struct stat& st) {
    nfsstat3 status = req.Enter(fh, Nfs3Need::kRead, dir);
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
    Object object;
    if (name != "." && name != "..") {
        // One found before costs no look through the directory.
        if (!(object = req.FoundChild(dirFh, name)))
            return req.IssueListed(dir, dirFd, name, handle, attrs);
    } else {
        object = req.Child(dir, dirFh, name);
    }
    return object && req.Issue(object, handle, attrs);
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
        status = WalkDirectory(req, dir, Place(current, cookie), batchBytes, take, eof);
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
        if (used + entrySize + kPlusExtra > args.maxcount ||
            (args.dircount != 0 && names + entrySize > args.dircount))
            return false;
        used += entrySize + kPlusExtra;
        names += entrySize;
        entryplus3& entry = NewEntry<entryplus3>(req, found, length, next);
        // An entry gone since it was read is listed without handle and
        // attributes.
        if (IssueEntry(req, dir, args.dir, dirFd, std::string(found.d_name, length),
                       entry.name_handle.post_op_fh3_u.handle, entry.name_attributes)) {
            entry.name_handle.handle_follows = TRUE;
            entry.fileid = entry.name_attributes.post_op_attr_u.attributes.fileid;
        }
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
