// GetUniqueFileId and its kin: ids kept in the state store, with the caches
// in front of it, per state directory.
#include "platform/UniqueFileId.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/AncestorPath.h"
#include "platform/BeneathPath.h"
#include "platform/CImpersonator.h"
#include "platform/ClockCache.h"
#include "platform/FileIdentity.h"
#include "platform/OxException.h"
#include "platform/RenamedPath.h"
#include "platform/StateDir.h"
#include "platform/StateStore.h"
#include "platform/ThreadSafety.h"

namespace {

constexpr size_t kIdentityEntries = size_t(1) << 18;
constexpr size_t kBirthEntries = size_t(1) << 18;
constexpr size_t kNameEntries = size_t(1) << 16;
constexpr size_t kLinks = 4;  // places kept per id
constexpr size_t kIdBytes = 8;
constexpr int kDrawsPerId = 64;         // a source this bad is broken, not unlucky
constexpr size_t kDrawsRead = 32;       // random ids read from the kernel at once
constexpr int64_t kSettledSeconds = 2;  // a whole second, whatever the fractions
constexpr char kDeleted[] = " (deleted)";

// An object's birth: device, inode and creation time. While the object
// lives no other has its device and inode, and one that reuses the inode
// later is born at another nanosecond, so a birth names one object for
// good where the file system keeps creation times to the nanosecond.
struct Birth {
    dev_t device = 0;
    ino_t inode = 0;
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;

    bool operator==(const Birth& o) const {
        return device == o.device && inode == o.inode && seconds == o.seconds &&
               nanoseconds == o.nanoseconds;
    }
};

struct BirthHash {
    size_t operator()(const Birth& b) const {
        return std::hash<unsigned long long>()(b.inode * 0x9e3779b97f4a7c15ULL ^ b.device ^
                                               (static_cast<uint64_t>(b.seconds) << 20) ^
                                               b.nanoseconds);
    }
};

using StringHash = std::hash<std::string>;

// One state directory's store and the caches in front of it.
struct Binding {
    Binding(const std::string& dir, std::shared_ptr<StateStore> opened, size_t entries)
        : stateDir(dir),
          store(std::move(opened)),
          ids(entries ? entries : kIdentityEntries),
          births(entries ? entries : kBirthEntries),
          recorded(entries ? entries : kNameEntries) {}

    const std::string stateDir;
    const std::shared_ptr<StateStore> store;
    unsigned byIdentity = 0, byId = 0, links = 0;  // tables
    ClockCache<std::string, unsigned long, StringHash> ids;
    ClockCache<Birth, unsigned long, BirthHash> births;
    ClockCache<std::string, bool, StringHash> recorded;  // id bytes + link bytes

    Mutex sweepMutex;
    std::map<dev_t, std::string> sweptTo GUARDED_BY(sweepMutex);  // the last id key checked
};

// Bindings are never freed: ids stay valid for callers running during
// static destruction, and a state directory may come back.
struct Bindings {
    Mutex mutex;
    std::map<std::string, std::unique_ptr<Binding>> byDir GUARDED_BY(mutex);
    std::atomic<Binding*> current{nullptr};
    size_t cacheEntries GUARDED_BY(mutex) = 0;  // 0: the defaults
    std::function<unsigned long()> draws;       // empty: the kernel's pool
};

Bindings& AllBindings() {
    static auto* bindings = new Bindings;
    return *bindings;
}

std::unique_ptr<Binding> Open(const std::string& dir, size_t cacheEntries) {
    std::shared_ptr<StateStore> store = StateStore::Get();
    if (!store || store->Directory() != dir + "/store")  // the directory changed meanwhile
        return nullptr;
    auto made = std::make_unique<Binding>(dir, store, cacheEntries);
    if (!store->Table("unique-ids.by-identity", made->byIdentity) ||
        !store->Table("unique-ids.by-id", made->byId) ||
        !store->Table("unique-ids.links", made->links))
        return nullptr;
    return made;
}

// The store is opened as the process itself, not as whoever the calling
// thread impersonates.
std::unique_ptr<Binding> OpenAsProcess(const std::string& dir, size_t cacheEntries) {
    try {
        CImpersonator asProcess(OxUserToken::ProcessIdentity(), false);
        return Open(dir, cacheEntries);
    } catch (const OxException&) {
        return nullptr;
    }
}

// The binding of the current state directory; null with errno EIO when its
// store cannot be opened.
Binding* Current() {
    const std::string dir = GetPlatformStateDir();
    Bindings& all = AllBindings();
    Binding* binding = all.current.load(std::memory_order_acquire);
    if (binding && binding->stateDir == dir)
        return binding;
    MutexLock guard(all.mutex);
    std::unique_ptr<Binding>& slot = all.byDir[dir];
    if (!slot)
        slot = OpenAsProcess(dir, all.cacheEntries);
    if (!slot) {
        errno = EIO;
        return nullptr;
    }
    all.current.store(slot.get(), std::memory_order_release);
    return slot.get();
}

// Ids are keyed big-endian, so the id table walks in id order.
std::string IdKey(unsigned long id) {
    std::string key(8, '\0');
    for (int i = 7; i >= 0; --i, id >>= 8)
        key[i] = static_cast<char>(id & 0xff);
    return key;
}

unsigned long IdOfKey(const std::string& key) {
    unsigned long id = 0;
    for (char byte : key)
        id = id << 8 | static_cast<unsigned char>(byte);
    return id;
}

// Drawn apart from GetRand64, so that what its seam steers for other
// callers is not used up here; kDrawsRead at a time, one system call for
// that many new objects. A failed read draws 0, which is refused.
unsigned long Draw() {
    const std::function<unsigned long()>& seam = AllBindings().draws;
    if (seam)
        return seam();
    thread_local unsigned long drawn[kDrawsRead];
    thread_local size_t left = 0;
    if (left == 0 && ::getrandom(drawn, sizeof drawn, 0) == sizeof drawn)
        left = kDrawsRead;
    return left ? drawn[--left] : 0;
}

// A random id the store does not hold, drawn within the transaction that
// records it.
bool DrawId(const Binding& b, StateStore::Writer& w, unsigned long& id) {
    std::string held;
    for (int draw = 0; draw < kDrawsPerId; ++draw) {
        id = Draw();
        if (id != 0 && id != ~0UL && !w.Find(b.byId, IdKey(id), held))
            return true;
    }
    return false;
}

// Where an object was seen: the id of the directory that holds it and its
// name there.
struct Link {
    unsigned long parent = 0;
    std::string name;
};

// A name the *at calls take as one entry of the directory itself.
bool EntryName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos && name != "." && name != "..";
}

std::string LinkBytes(const Link& link) {
    return IdKey(link.parent) + link.name + '\0';
}

// Links are kept oldest first, each its parent's id key, its name and a
// NUL (no name holds one). What is not a link (a store from elsewhere) is
// skipped.
std::vector<Link> SplitLinks(const std::string& blob) {
    std::vector<Link> links;
    for (size_t at = 0, end; at + kIdBytes < blob.size(); at = end + 1) {
        end = blob.find('\0', at + kIdBytes);
        if (end == std::string::npos)
            break;
        Link link{IdOfKey(blob.substr(at, kIdBytes)),
                  blob.substr(at + kIdBytes, end - at - kIdBytes)};
        if (EntryName(link.name))
            links.push_back(std::move(link));
    }
    return links;
}

bool Listed(const std::string& blob, const Link& link) {
    for (const Link& listed : SplitLinks(blob))
        if (listed.parent == link.parent && listed.name == link.name)
            return true;
    return false;
}

// blob with link added and the oldest links beyond kLinks dropped.
std::string WithLink(const std::string& blob, const Link& link) {
    std::vector<Link> links = SplitLinks(blob);
    links.push_back(link);
    std::string joined;
    for (size_t i = links.size() > kLinks ? links.size() - kLinks : 0; i < links.size(); ++i)
        joined += LinkBytes(links[i]);
    return joined;
}

// The path the kernel names fd by; "" when it has none worth keeping.
std::string KernelName(int fd) {
    char buffer[PATH_MAX];
    const ssize_t n =
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buffer, sizeof buffer);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof buffer))
        return "";
    const std::string name(buffer, static_cast<size_t>(n));
    const size_t tail = sizeof kDeleted - 1;
    const bool deleted =
        name.size() >= tail && name.compare(name.size() - tail, tail, kDeleted) == 0;
    return name[0] == '/' && !deleted ? name : "";
}

// Where a new id's object was seen, asked only when an id is made: true
// with link filled, else false (no link recorded).
using Place = std::function<bool(Link&)>;

// The id the store holds for identity, else, when mayMake, a new one
// committed with its place (when there is one) as its first link. made
// tells which. An object no name holds any more gets no new id (ESTALE).
bool StoredId(const Binding& b, const std::string& identity, const Place& place, bool mayMake,
              unsigned long& id, bool& made) {
    std::string value;
    made = false;
    if (b.store->Find(b.byIdentity, identity, value)) {
        id = IdOfKey(value);
        return true;
    }
    if (!mayMake) {
        errno = ESTALE;
        return false;
    }
    // The parent's id first: it may need a transaction of its own.
    Link link;
    const bool placed = place && place(link);
    const bool written = b.store->Write([&](StateStore::Writer& w) {
        if (w.Find(b.byIdentity, identity, value)) {  // another thread or process was first
            id = IdOfKey(value);
            return true;
        }
        made = true;
        return DrawId(b, w, id) && w.Put(b.byIdentity, identity, IdKey(id)) &&
               w.Put(b.byId, IdKey(id), identity) &&
               (!placed || w.Put(b.links, IdKey(id), LinkBytes(link)));
    });
    if (!written && errno != ENOSPC)  // a full store says so
        errno = EIO;
    return written;
}

// Puts into a cache what the store holds, or will once this thread's
// batch commits: a cache never knows an id the store may lose.
template <class Cache, class Key>
void Remember(Cache& cache, const Key& key, unsigned long id, bool made) {
    if (!made)
        cache.Put(key, id);
    else
        StateStore::AfterCommit([&cache, key, id] { cache.Put(key, id); });
}

bool IdOfIdentity(Binding& b, const std::string& identity, const Place& place, bool mayMake,
                  unsigned long& id, bool& made) {
    made = false;
    if (b.ids.Find(identity, id))
        return true;
    if (!StoredId(b, identity, place, mayMake, id, made))
        return false;
    Remember(b.ids, identity, id, made);
    return true;
}

// Adds link to those of id unless recorded lately; a link is only a hint,
// so a failure to record it fails nothing.
void RecordLink(Binding& b, unsigned long id, const Link& link) {
    const std::string key = IdKey(id), bytes = LinkBytes(link);
    bool seen = false;
    if (b.recorded.Find(key + bytes, seen))
        return;
    std::string blob, identity;
    const bool recorded =
        (b.store->Find(b.links, key, blob) && Listed(blob, link)) ||
        b.store->Write([&](StateStore::Writer& w) {
            blob.clear();
            w.Find(b.links, key, blob);
            return w.Find(b.byId, key, identity) &&  // not forgotten meanwhile
                   (Listed(blob, link) || w.Put(b.links, key, WithLink(blob, link)));
        });
    if (recorded)
        StateStore::AfterCommit([&b, entry = key + bytes] { b.recorded.Put(entry, true); });
}

void ToStat(const struct statx& sx, struct stat& st) {
    st = {};
    st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st.st_ino = sx.stx_ino;
    st.st_mode = sx.stx_mode;
    st.st_nlink = sx.stx_nlink;
    st.st_uid = sx.stx_uid;
    st.st_gid = sx.stx_gid;
    st.st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
    st.st_size = static_cast<off_t>(sx.stx_size);
    st.st_blksize = static_cast<blksize_t>(sx.stx_blksize);
    st.st_blocks = static_cast<blkcnt_t>(sx.stx_blocks);
    st.st_atim = {sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec};
    st.st_mtim = {sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
    st.st_ctim = {sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
}

// False where the file system keeps no creation time, or only to the
// second (nanoseconds 0). Also false for an object born less than a second
// ago: clocks move by ticks, and an object removed within its first tick
// could leave its inode to one born in the same tick. One that lived a
// second has no such twin.
bool BirthOf(const struct statx& sx, Birth& birth) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (!(sx.stx_mask & STATX_BTIME) || sx.stx_btime.tv_nsec == 0 ||
        now.tv_sec - sx.stx_btime.tv_sec < kSettledSeconds)
        return false;
    birth.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    birth.inode = sx.stx_ino;
    birth.seconds = sx.stx_btime.tv_sec;
    birth.nanoseconds = sx.stx_btime.tv_nsec;
    return true;
}

int StatxOf(int dirFd, const char* name, int flags, struct statx& sx) {
    return statx(dirFd, name, flags | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &sx);
}

// Whether two looks at a name saw one object, unchanged in between.
bool SameLook(const struct statx& a, const struct statx& b) {
    return a.stx_dev_major == b.stx_dev_major && a.stx_dev_minor == b.stx_dev_minor &&
           a.stx_ino == b.stx_ino && a.stx_mode == b.stx_mode &&
           a.stx_ctime.tv_sec == b.stx_ctime.tv_sec && a.stx_ctime.tv_nsec == b.stx_ctime.tv_nsec;
}

bool SameObject(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The id of an object looked at as sx (its lstat put in st): from the cache
// of settled births, else by its kernel identity, which readIdentity reads
// (0, or -1 with errno); place tells where the object of a new id is. Only
// with mayMake does an object without an id get one, and never one no name
// holds.
int IdOfLook(Binding& b, const struct statx& sx, struct stat& st,
             const std::function<int(std::string&)>& readIdentity, const Place& place, bool mayMake,
             unsigned long& id) {
    ToStat(sx, st);
    Birth birth;
    const bool born = BirthOf(sx, birth);
    if (born && b.births.Find(birth, id))
        return 0;
    std::string identity;
    unsigned long found = 0;
    bool made = false;
    if (readIdentity(identity) != 0 ||
        !IdOfIdentity(b, identity, place, mayMake && sx.stx_nlink > 0, found, made))
        return -1;
    if (born)
        Remember(b.births, birth, found, made);
    id = found;
    return 0;
}

int IdOfDescriptor(Binding& b, int fd, unsigned long& id, struct stat& st, const Place& place,
                   bool mayMake = true) {
    struct statx sx;
    if (StatxOf(fd, "", AT_EMPTY_PATH, sx) != 0)
        return -1;
    return IdOfLook(
        b, sx, st,
        [&](std::string& identity) {
            return ReadFileIdentity(fd, "", AT_EMPTY_PATH, st, identity);
        },
        place, mayMake, id);
}

// The place "entry name of the directory open on dirFd", the directory's
// id drawn when it has none.
Place EntryOf(Binding& b, int dirFd, const std::string& name) {
    return [&b, dirFd, name](Link& link) {
        struct stat st;
        link.name = name;
        return dirFd >= 0 && EntryName(name) && IdOfDescriptor(b, dirFd, link.parent, st, {}) == 0;
    };
}

// Whether relative, followed beneath rootFd (OpenRenamed), leads to identity
// (and, given the object held open, to that very object); where it does,
// the path that led there.
bool LeadsTo(int rootFd, const std::string& relative, const std::string& identity,
             const struct stat* held, std::string& found) {
    std::string path;
    UniqueFd fd(OpenRenamed(rootFd, relative, O_PATH | O_NOFOLLOW, path));
    struct stat st;
    std::string reached;
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 ||
        ReadFileIdentity(fd.Get(), "", AT_EMPTY_PATH, st, reached) != 0 || reached != identity ||
        (held && !SameObject(st, *held)))
        return false;
    found = std::move(path);
    return true;
}

// Drops a gone object's entries and the cache's way to its id; the id stays
// drawn at random, so it is not handed out again but by a 1 in 2^64 chance.
void Forget(Binding& b, unsigned long id, const std::string& identity) {
    const std::string key = IdKey(id);
    const bool dropped = b.store->Write([&](StateStore::Writer& w) {
        std::string value;
        const bool mapped = w.Find(b.byIdentity, identity, value) && value == key;
        return (!mapped || w.Erase(b.byIdentity, identity)) && w.Erase(b.byId, key) &&
               w.Erase(b.links, key);
    });
    if (dropped)
        b.ids.Erase(identity);
}

// Opens identity beneath mountFd. held is filled when it opened on the
// identity's device; forgotten tells the object is gone: its handle
// unknown, or no name holds it any more (it lives on only while open).
int OpenHeld(Binding& b, unsigned long id, const std::string& identity, int mountFd,
             struct stat& held, bool& forgotten) {
    forgotten = false;
    const int fd = OpenFileIdentity(mountFd, identity, O_PATH | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        struct stat mount;
        // Only a descriptor on the identity's own device proves it gone.
        if (err == ESTALE && ::fstat(mountFd, &mount) == 0 &&
            mount.st_dev == FileIdentityDevice(identity)) {
            Forget(b, id, identity);
            forgotten = true;
        }
        errno = err;
        return -1;
    }
    const bool onDevice = ::fstat(fd, &held) == 0 && held.st_dev == FileIdentityDevice(identity);
    if (onDevice && held.st_nlink > 0)
        return fd;
    ::close(fd);
    if (onDevice) {
        Forget(b, id, identity);
        forgotten = true;
    }
    errno = ESTALE;
    return -1;
}

// One search beneath a root for objects by id.
struct Search {
    Binding& b;
    int rootFd;
    std::string rootPath;
    unsigned long rootId;  // 0: the root has none, so no link chain ends there
};

// The names from the root down to id, each level by its newest link; false
// when a level has none or the chain does not meet the root within
// kMostLevels.
bool LinkedPath(const Search& s, unsigned long id, std::string& relative) {
    std::vector<std::string> names;
    for (size_t level = 0; id != s.rootId; ++level) {
        std::string blob;
        if (level == kMostLevels || !s.b.store->Find(s.b.links, IdKey(id), blob))
            return false;
        const std::vector<Link> links = SplitLinks(blob);
        if (links.empty())
            return false;
        names.push_back(links.back().name);
        id = links.back().parent;
    }
    relative.clear();
    for (auto name = names.rbegin(); name != names.rend(); ++name)
        relative += (relative.empty() ? "" : "/") + *name;
    return true;
}

// Where the directory with id is: opened by its handle and walked up from
// (its linked path as the hint), else by its linked path alone.
bool DirectoryBeneath(const Search& s, unsigned long id, std::string& relative) {
    std::string identity, linked;
    const bool hinted = LinkedPath(s, id, linked);
    struct stat held;
    bool forgotten = false;
    if (s.b.store->Find(s.b.byId, IdKey(id), identity)) {
        const UniqueFd fd(OpenHeld(s.b, id, identity, s.rootFd, held, forgotten));
        if (fd.Valid())
            return S_ISDIR(held.st_mode) && AncestorPath(s.rootFd, fd.Get(),
                                                         hinted ? std::vector<std::string>{linked}
                                                                : std::vector<std::string>{},
                                                         relative) == 0;
    }
    if (forgotten || !hinted)
        return false;
    relative = std::move(linked);
    return true;
}

// Where the object is beneath the root: a directory held open is walked up
// from; else the kernel's name of what is held, or a name in the directory
// one of its links names, that leads to it. false when none does.
bool PathBeneath(const Search& s, unsigned long id, const std::string& identity, int fd,
                 const struct stat* held, std::string& relative) {
    if (held && S_ISDIR(held->st_mode))
        return DirectoryBeneath(s, id, relative);
    std::string kernel, blob, parent;
    if (held && RelativeBelow(s.rootPath, KernelName(fd), kernel) &&
        LeadsTo(s.rootFd, kernel, identity, held, relative))
        return true;
    s.b.store->Find(s.b.links, IdKey(id), blob);
    const std::vector<Link> links = SplitLinks(blob);
    for (auto link = links.rbegin(); link != links.rend(); ++link)
        if (DirectoryBeneath(s, link->parent, parent) &&
            LeadsTo(s.rootFd, parent.empty() ? link->name : parent + "/" + link->name, identity,
                    held, relative))
            return true;
    return false;
}

// The id the object open on fd already has, else 0.
unsigned long KnownId(Binding& b, int fd) {
    struct stat st;
    unsigned long id = 0;
    return IdOfDescriptor(b, fd, id, st, {}, false) == 0 ? id : 0;
}

}  // namespace

int GetUniqueFileId(const std::string& path, unsigned long& id, struct stat& st) {
    Binding* b = Current();
    std::string identity;
    if (!b || ::lstat(path.c_str(), &st) != 0 ||
        ReadFileIdentity(AT_FDCWD, path.c_str(), 0, st, identity) != 0)
        return -1;
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string dir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const Place place = [b, &dir, &name](Link& link) {
        const UniqueFd dirFd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        return dirFd.Valid() && EntryOf(*b, dirFd.Get(), name)(link);
    };
    unsigned long found = 0;
    bool made = false;
    if (!IdOfIdentity(*b, identity, place, true, found, made))
        return -1;
    id = found;
    return 0;
}

int GetUniqueFileId(const std::string& path, unsigned long& id) {
    struct stat st;
    return GetUniqueFileId(path, id, st);
}

int GetUniqueFileIdOfDescriptor(int fd, unsigned long& id, struct stat& st, int dirFd,
                                const std::string& name) {
    Binding* b = Current();
    return b ? IdOfDescriptor(*b, fd, id, st, EntryOf(*b, dirFd, name)) : -1;
}

int GetUniqueFileIdAt(int dirFd, const char* name, unsigned long& id, struct stat& st) {
    if (!EntryName(name)) {
        errno = EINVAL;
        return -1;
    }
    Binding* b = Current();
    struct statx sx;
    if (!b || StatxOf(dirFd, name, AT_SYMLINK_NOFOLLOW, sx) != 0)
        return -1;
    // The handle read may be of another object that took the name after the
    // first look: a second look must see the same one, unchanged.
    const auto readIdentity = [&](std::string& identity) {
        struct statx again;
        if (ReadFileIdentity(dirFd, name, 0, st, identity) != 0 ||
            StatxOf(dirFd, name, AT_SYMLINK_NOFOLLOW, again) != 0)
            return -1;
        if (SameLook(sx, again))
            return 0;
        errno = ESTALE;
        return -1;
    };
    return IdOfLook(*b, sx, st, readIdentity, EntryOf(*b, dirFd, name), true, id);
}

void NoteUniqueFileIdName(unsigned long id, int dirFd, const char* name) {
    Binding* b = Current();
    Link link;
    if (b && EntryOf(*b, dirFd, name)(link))
        RecordLink(*b, id, link);
}

bool UniqueFileIdKnown(unsigned long id) {
    Binding* b = Current();
    std::string identity;
    return b && b->store->Find(b->byId, IdKey(id), identity);
}

void ForgetUniqueFileId(unsigned long id, int fd) {
    Binding* b = Current();
    struct stat st;
    std::string identity;
    if (b && ::fstat(fd, &st) == 0 && st.st_nlink == 0 &&
        b->store->Find(b->byId, IdKey(id), identity) && FileIdentityDevice(identity) == st.st_dev)
        Forget(*b, id, identity);
}

size_t SweepUniqueFileIds(int mountFd, size_t count) {
    Binding* b = Current();
    struct stat mount;
    if (!b || count == 0 || ::fstat(mountFd, &mount) != 0)
        return 0;
    std::string from;
    {
        MutexLock guard(b->sweepMutex);
        from = b->sweptTo[mount.st_dev];
    }
    std::vector<std::pair<std::string, std::string>> seen;  // id key, identity
    b->store->Scan(b->byId, from, count, [&seen](const std::string& key, const std::string& value) {
        seen.emplace_back(key, value);
    });
    size_t forgotten = 0;
    for (const auto& [key, identity] : seen) {
        struct stat held;
        bool gone = false;
        if (FileIdentityDevice(identity) != mount.st_dev)
            continue;
        const int fd = OpenHeld(*b, IdOfKey(key), identity, mountFd, held, gone);
        if (fd >= 0)
            ::close(fd);
        forgotten += gone;
    }
    MutexLock guard(b->sweepMutex);
    b->sweptTo[mount.st_dev] = seen.size() < count ? "" : seen.back().first;  // else from the start
    return forgotten;
}

int FindUniqueFileIdBeneath(unsigned long id, int rootFd, const std::string& rootPath,
                            std::string& relative) {
    Binding* b = Current();
    if (!b)
        return -1;
    std::string identity;
    if (!b->store->Find(b->byId, IdKey(id), identity)) {
        errno = ESTALE;
        return -1;
    }
    struct stat held;
    bool forgotten = false;
    const UniqueFd fd(OpenHeld(*b, id, identity, rootFd, held, forgotten));
    if (!fd.Valid() && (errno == EPERM || errno == EACCES || forgotten))
        return -1;
    const Search search{*b, rootFd, rootPath, KnownId(*b, rootFd)};
    std::string found;
    if (!PathBeneath(search, id, identity, fd.Get(), fd.Valid() ? &held : nullptr, found)) {
        errno = ESTALE;
        return -1;
    }
    relative = std::move(found);
    return 0;
}

void PlatformSeam::SetUniqueFileIdCacheEntries(size_t entries) {
    Bindings& all = AllBindings();
    MutexLock guard(all.mutex);
    all.cacheEntries = entries;
}

void PlatformSeam::SetUniqueFileIdDraws(std::function<unsigned long()> source) {
    AllBindings().draws = std::move(source);
}
