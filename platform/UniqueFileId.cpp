#include "platform/UniqueFileId.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <unordered_map>

namespace {

// What tells one file-system object from every other: its device and either
// its file system handle (type and bytes) or, where there is none, its inode.
struct FileKey {
    dev_t device = 0;
    bool byHandle = false;
    int handleType = 0;
    std::string bytes;  // the handle, or the inode number

    bool operator==(const FileKey& o) const {
        return device == o.device && byHandle == o.byHandle && handleType == o.handleType &&
               bytes == o.bytes;
    }
};

struct FileKeyHash {
    size_t operator()(const FileKey& k) const {
        size_t h = std::hash<std::string>()(k.bytes);
        h ^=
            std::hash<unsigned long long>()(k.device) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        return h ^ (static_cast<size_t>(k.handleType) << 1) ^ (k.byHandle ? 1 : 0);
    }
};

// Sharded so that lookups from many threads rarely meet on one mutex.
constexpr size_t kShards = 16;
struct Shard {
    std::mutex mutex;
    std::unordered_map<FileKey, unsigned long, FileKeyHash> ids;
};

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

constexpr int64_t kSettledSeconds = 2;  // a whole second, whatever the fractions

struct BirthShard {
    std::mutex mutex;
    std::unordered_map<Birth, unsigned long, BirthHash> ids;
};

struct IdTable {
    Shard shards[kShards];
    BirthShard births[kShards];
    std::atomic<unsigned long> next{1};
};

// Never freed: ids stay valid for callers running during static destruction.
IdTable& Table() {
    static auto* table = new IdTable;
    return *table;
}

// The all-ones value is kept out: callers use it to mean "no id".
unsigned long NewId(IdTable& table) {
    unsigned long id = table.next.fetch_add(1);
    if (id == ~0UL)
        id = table.next.fetch_add(1);
    return id;
}

unsigned long Intern(const FileKey& key) {
    IdTable& table = Table();
    Shard& shard = table.shards[FileKeyHash()(key) % kShards];
    std::lock_guard<std::mutex> guard(shard.mutex);
    auto found = shard.ids.find(key);
    if (found != shard.ids.end())
        return found->second;
    unsigned long id = NewId(table);
    shard.ids.emplace(key, id);
    return id;
}

// Errors of name_to_handle_at meaning the file system gives no handles.
bool NoHandleSupport(int err) {
    return err == EOPNOTSUPP || err == EOVERFLOW || err == ENOSYS;
}

// Fills key.bytes with the handle of path relative to dirFd (not following
// a final link; with AT_EMPTY_PATH and "", of dirFd itself). 0 on success,
// or the errno; a file system without handles is EOPNOTSUPP.
int ReadHandle(int dirFd, const char* path, int flags, FileKey& key) {
    union {
        file_handle handle;
        char space[sizeof(file_handle) + MAX_HANDLE_SZ];
    } buffer;
    buffer.handle.handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    if (name_to_handle_at(dirFd, path, &buffer.handle, &mountId, flags) != 0)
        return errno;
    key.byHandle = true;
    key.handleType = buffer.handle.handle_type;
    key.bytes.assign(reinterpret_cast<const char*>(buffer.handle.f_handle),
                     buffer.handle.handle_bytes);
    return 0;
}

// The id of the object st describes, whose handle ReadHandle(dirFd, path,
// flags) reads.
int InternObject(int dirFd, const char* path, int flags, const struct stat& st, unsigned long& id) {
    FileKey key;
    key.device = st.st_dev;
    int err = ReadHandle(dirFd, path, flags, key);
    if (err != 0 && !NoHandleSupport(err)) {
        errno = err;
        return -1;
    }
    if (err != 0)
        key.bytes.assign(reinterpret_cast<const char*>(&st.st_ino), sizeof(st.st_ino));
    id = Intern(key);
    return 0;
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

BirthShard& BirthShardOf(const Birth& birth) {
    return Table().births[BirthHash()(birth) % kShards];
}

bool FindBirth(const Birth& birth, unsigned long& id) {
    BirthShard& shard = BirthShardOf(birth);
    std::lock_guard<std::mutex> guard(shard.mutex);
    auto found = shard.ids.find(birth);
    if (found == shard.ids.end())
        return false;
    id = found->second;
    return true;
}

void RecordBirth(const Birth& birth, unsigned long id) {
    BirthShard& shard = BirthShardOf(birth);
    std::lock_guard<std::mutex> guard(shard.mutex);
    shard.ids.emplace(birth, id);
}

}  // namespace

int GetUniqueFileId(const std::string& path, unsigned long& id, struct stat& st) {
    if (lstat(path.c_str(), &st) != 0)
        return -1;
    return InternObject(AT_FDCWD, path.c_str(), 0, st, id);
}

int GetUniqueFileId(const std::string& path, unsigned long& id) {
    struct stat st;
    return GetUniqueFileId(path, id, st);
}

int GetUniqueFileIdOfDescriptor(int fd, unsigned long& id, struct stat& st) {
    struct statx sx;
    if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
              &sx) != 0)
        return -1;
    ToStat(sx, st);
    Birth birth;
    const bool born = BirthOf(sx, birth);
    if (born && FindBirth(birth, id))
        return 0;
    if (InternObject(fd, "", AT_EMPTY_PATH, st, id) != 0)
        return -1;
    if (born)
        RecordBirth(birth, id);
    return 0;
}
