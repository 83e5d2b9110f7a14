#include "platform/UniqueFileId.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
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

struct IdTable {
    Shard shards[kShards];
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
    if (fstat(fd, &st) != 0)
        return -1;
    return InternObject(fd, "", AT_EMPTY_PATH, st, id);
}
