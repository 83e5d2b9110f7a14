// Unique file ids kept in the state directory's store: what a restart, a
// reused inode, renames, hard links, racing threads and full caches leave
// of them, and how an object is found again by its id.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/CImpersonator.h"
#include "platform/ClockCache.h"
#include "platform/StateDir.h"
#include "platform/StateStore.h"
#include "platform/UniqueFileId.h"
#include "tests/support/Child.h"
#include "tests/support/DirectoryChain.h"
#include "tests/support/TempDir.h"
#include "tests/support/Threads.h"

namespace {

unsigned long IdOf(const std::string& path) {
    unsigned long id = 0;
    EXPECT_EQ(GetUniqueFileId(path, id), 0) << path << ": " << std::strerror(errno);
    return id;
}

// Found in its directory, as lumed finds objects; out, when given,
// receives the attributes that come with the id.
unsigned long IdOfDescriptor(const std::string& path, struct stat* out = nullptr) {
    const std::filesystem::path at(path);
    const int dir = ::open(at.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC),
              fd = ::openat(dir, at.filename().c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    unsigned long id = 0;
    struct stat st;
    EXPECT_EQ(GetUniqueFileIdOfDescriptor(fd, id, out ? *out : st, dir, at.filename()), 0)
        << path << ": " << std::strerror(errno);
    ::close(fd);
    ::close(dir);
    return id;
}

// Where FindUniqueFileIdBeneath finds id below on, as a path from on's,
// or "errno N". With an O_PATH descriptor, which open_by_handle_at
// refuses, only recorded names count.
std::string Where(unsigned long id, const TempDir& on, int flags = O_RDONLY | O_DIRECTORY) {
    const int rootFd = ::open(on.Path().c_str(), flags | O_CLOEXEC);
    std::string relative;
    const int rc = FindUniqueFileIdBeneath(id, rootFd, on.Path(), relative);
    const int err = errno;
    ::close(rootFd);
    if (rc != 0)
        return "errno " + std::to_string(err);
    return relative.empty() ? on.Path() : on / relative;
}

size_t StoredIds(const char* name = "unique-ids.by-id") {
    auto store = StateStore::Get();
    unsigned table = 0;
    size_t count = 0;
    if (store && store->Table(name, table))
        store->ForEach(table, [&count](const std::string&, const std::string&) { ++count; });
    return count;
}

const std::string kStale = "errno " + std::to_string(ESTALE);

// Removes path, then makes new files beside it until one takes its inode:
// that file's path, "" when none did.
std::string NextOnItsInode(const TempDir& dir, const std::string& path) {
    struct stat gone, st;
    if (::lstat(path.c_str(), &gone) != 0 || ::unlink(path.c_str()) != 0)
        return "";
    for (int i = 0; i < 2000; ++i) {
        const std::string next = dir.WriteFile("n" + std::to_string(i), "");
        if (::lstat(next.c_str(), &st) == 0 && st.st_ino == gone.st_ino)
            return next;
    }
    return "";
}

class UniqueFileIds : public ::testing::Test {
  protected:
    void SetUp() override { SetPlatformStateDir(state.Path()); }
    void TearDown() override {
        PlatformSeam::SetUniqueFileIdDraws({});
        PlatformSeam::SetUniqueFileIdCacheEntries(0);
    }
    TempDir state, files;
};

// The child is a fresh process on the same state directory (the parent has
// not opened the store); it dies by SIGKILL right after it has its ids, by
// path and by descriptor, whose names are recorded with them. It asks as
// another user, as lumed does for NFS users, though the store is root's.
TEST_F(UniqueFileIds, AnIdOutlivesItsProcessAndIsUnknownToAnotherStateDirectory) {
    ASSERT_EQ(::chmod(files.Path().c_str(), 0755), 0);
    const std::string paths[] = {files.WriteFile("f", "x"), files.WriteFile("d", "")};
    using Ids = std::array<unsigned long, 2>;
    const Ids ids = FromChild<Ids>(true, [&] {
        CImpersonator asUser(OxUserToken{4321, 4322, {}}, false);
        return Ids{IdOf(paths[0]), IdOfDescriptor(paths[1])};
    });
    ASSERT_TRUE(ids[0] && ids[1]);
    EXPECT_EQ(IdOf(paths[0]), ids[0]);
    EXPECT_EQ(IdOfDescriptor(paths[1]), ids[1]);
    for (int i = 0; i < 2; ++i)
        for (int flags : {O_RDONLY | O_DIRECTORY, O_PATH})
            EXPECT_EQ(Where(ids[i], files, flags), paths[i]) << "flags " << flags;

    TempDir elsewhere;
    SetPlatformStateDir(elsewhere.Path());
    EXPECT_EQ(Where(ids[0], files), kStale);
    EXPECT_NE(IdOf(paths[0]), ids[0]);
}

// Drawn ids skip 0, all ones and any id the store holds; a failure leaves
// the id as it was.
TEST_F(UniqueFileIds, NewIdsAreDrawnAtRandomAndNeverReused) {
    const unsigned long taken = IdOf(files.WriteFile("taken", ""));
    const unsigned long draws[] = {0, ~0UL, taken, 0x5eed};
    size_t drawn = 0;
    PlatformSeam::SetUniqueFileIdDraws([&] { return drawn < 4 ? draws[drawn++] : 0UL; });
    EXPECT_EQ(IdOf(files.WriteFile("new", "")), 0x5eedUL);
    unsigned long id = 7;
    EXPECT_EQ(GetUniqueFileId(files.WriteFile("never", ""), id), -1);  // the source only says 0
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(GetUniqueFileId(files / "missing", id), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(id, 7UL);
}

// The kernel reconnects an object's path through a directory renamed two
// levels up; hard links share an id, found by the name left: by the
// kernel's name, and, without the handle, once that name was noted; a
// symbolic link is an object of its own, never its target.
TEST_F(UniqueFileIds, AnIdIsFoundAfterRenamesAndByTheLinkLeft) {
    std::filesystem::create_directories(files / "x/y/sub");
    const unsigned long dirId = IdOf(files / "x/y/sub"),
                        fileId = IdOf(files.WriteFile("x/y/f", ""));
    ASSERT_EQ(::rename((files / "x").c_str(), (files / "moved").c_str()), 0);
    EXPECT_EQ(Where(dirId, files), files / "moved/y/sub");
    EXPECT_EQ(Where(fileId, files), files / "moved/y/f");

    const std::string a = files.WriteFile("a", "x"), b = files / "b", soft = files / "soft";
    ASSERT_EQ(::link(a.c_str(), b.c_str()), 0);
    ASSERT_EQ(::symlink(a.c_str(), soft.c_str()), 0);
    const unsigned long id = IdOf(a);
    EXPECT_EQ(IdOf(b), id);
    EXPECT_NE(IdOf(soft), id);
    ASSERT_EQ(::unlink(a.c_str()), 0);
    EXPECT_EQ(Where(id, files), b);
    EXPECT_EQ(Where(id, files, O_PATH), kStale);
    const int dir = ::open(files.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    NoteUniqueFileIdName(id, dir, "b");
    ::close(dir);
    EXPECT_EQ(Where(id, files, O_PATH), b);
}

// A new id records where it was found: the entry of the directory its
// caller names (here reached through a link to it). Those places, level by
// level, lead from the root to it even where its handle cannot be opened
// (an O_PATH root); without one, only its handle and the kernel's name for
// it do.
TEST_F(UniqueFileIds, ANewIdRecordsTheDirectoryAndNameItWasFoundAt) {
    std::filesystem::create_directories(files / "deep/real");
    ASSERT_EQ(::symlink("deep/real", (files / "alias").c_str()), 0);
    const int top = ::open(files.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC),
              deep = ::open((files / "deep").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC),
              dirFd = ::open((files / "alias").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_TRUE(top >= 0 && deep >= 0 && dirFd >= 0);
    unsigned long id = 0;
    struct stat st;
    ASSERT_EQ(GetUniqueFileIdAt(top, "deep", id, st), 0);
    ASSERT_EQ(GetUniqueFileIdAt(deep, "real", id, st), 0);
    const struct {
        const char* name;
        bool placed, byDescriptor;
    } cases[] = {{"entry", true, false}, {"descriptor", true, true}, {"unplaced", false, true}};
    for (const auto& c : cases) {
        files.WriteFile(std::string("deep/real/") + c.name, "");
        const int fd = ::openat(dirFd, c.name, O_PATH | O_CLOEXEC);
        const int rc = !c.byDescriptor ? GetUniqueFileIdAt(dirFd, c.name, id, st)
                       : c.placed      ? GetUniqueFileIdOfDescriptor(fd, id, st, dirFd, c.name)
                                       : GetUniqueFileIdOfDescriptor(fd, id, st);
        ::close(fd);
        ASSERT_EQ(rc, 0) << c.name;
        const std::string where = files / (std::string("deep/real/") + c.name);
        EXPECT_EQ(Where(id, files, O_PATH), c.placed ? where : kStale) << c.name;
        EXPECT_EQ(Where(id, files), where) << c.name;
    }
    for (int fd : {top, deep, dirFd})
        ::close(fd);
}

// 600 directories one in the other, a file at the bottom: paths past
// PATH_MAX. The bottom directory is found by its handle however deep, the
// file in it: after level 1 is renamed, after level 2 moved up beside it
// (every level below one less deep), and not once the chain below level
// 300 left the root.
TEST_F(UniqueFileIds, ObjectsDeeperThanPathMaxAreFoundBeneathTheRoot) {
    constexpr size_t kDepth = 600, kMovedOut = 300;
    std::vector<std::string> names;
    for (size_t level = 1; level <= kDepth; ++level)
        names.push_back("level" + std::to_string(1000 + level));
    const int top = ::open(files.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    const int bottom = MakeDirectoryChain(top, names);
    ASSERT_GE(bottom, 0) << std::strerror(errno);
    std::string path = files.Path();
    for (const std::string& name : names)
        path += "/" + name;
    ASSERT_GT(path.size(), size_t(PATH_MAX));
    ::close(::openat(bottom, "f", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    unsigned long dirId = 0, fileId = 0;
    struct stat st;
    ASSERT_EQ(GetUniqueFileIdOfDescriptor(bottom, dirId, st), 0);
    ASSERT_EQ(GetUniqueFileIdAt(bottom, "f", fileId, st), 0);
    EXPECT_EQ(Where(dirId, files), path);
    EXPECT_EQ(Where(fileId, files), path + "/f");

    const std::string longer(200, 'r');
    ASSERT_EQ(::renameat(top, names[0].c_str(), top, longer.c_str()), 0);
    const std::string below = path.substr((files / (names[0] + "/" + names[1])).size());
    names[0] = longer;
    EXPECT_EQ(Where(dirId, files), files / (longer + "/" + names[1]) + below);
    EXPECT_EQ(Where(fileId, files), files / (longer + "/" + names[1]) + below + "/f");
    const int first = ::openat(top, longer.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::renameat(first, names[1].c_str(), top, names[1].c_str()), 0);
    ::close(first);
    EXPECT_EQ(Where(dirId, files), files / names[1] + below);
    EXPECT_EQ(Where(fileId, files), files / names[1] + below + "/f");
    names.erase(names.begin());  // level 1 stays empty at the top

    TempDir outside;
    int holder = ::fcntl(top, F_DUPFD_CLOEXEC, 0);
    for (size_t level = 0; level < kMovedOut && holder >= 0; ++level) {
        const int next = ::openat(holder, names[level].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ::close(holder);
        holder = next;
    }
    const int outsideFd = ::open(outside.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::renameat(holder, names[kMovedOut].c_str(), outsideFd, "moved"), 0);
    EXPECT_EQ(Where(dirId, files), kStale);
    EXPECT_EQ(Where(fileId, files), kStale);

    ::unlinkat(bottom, "f", 0);
    std::vector<std::string> moved(names.begin() + kMovedOut, names.end());
    moved[0] = "moved";
    RemoveDirectoryChain(outsideFd, moved);
    names.resize(kMovedOut);
    RemoveDirectoryChain(top, names);
    ::unlinkat(top, longer.c_str(), AT_REMOVEDIR);
    for (int fd : {top, bottom, holder, outsideFd})
        ::close(fd);
}

// Threads race for the ids of the same new files, by path and by
// descriptor, half of them each id in a batch of its own: each file ends
// with one id, no two files share one.
TEST_F(UniqueFileIds, ThreadsAskingAtOnceGetOneIdPerFile) {
    constexpr int kThreads = 4, kFiles = 64;
    std::vector<std::string> paths;
    for (int i = 0; i < kFiles; ++i)
        paths.push_back(files.WriteFile(std::to_string(i), ""));
    std::vector<std::vector<unsigned long>> seen(kThreads, std::vector<unsigned long>(kFiles));
    std::atomic<int> ready{0};
    RunThreads(kThreads, [&](int t) {
        ++ready;
        for (int spin = 0; ready < kThreads && spin < 1000000; ++spin)
            std::this_thread::yield();
        for (int i = 0; i < kFiles; ++i) {
            std::optional<StateStore::Batch> batch;
            if (t / 2)
                batch.emplace();
            seen[t][i] = t % 2 ? IdOfDescriptor(paths[i]) : IdOf(paths[i]);
        }
    });
    for (int t = 1; t < kThreads; ++t)
        EXPECT_EQ(seen[t], seen[0]) << "thread " << t;
    EXPECT_EQ(std::set<unsigned long>(seen[0].begin(), seen[0].end()).size(), size_t(kFiles));
}

// With caches of 32 entries, 300 objects push the first ones out: their
// ids come back from the store.
TEST_F(UniqueFileIds, IdsPushedOutOfTheCachesComeBackFromTheStore) {
    PlatformSeam::SetUniqueFileIdCacheEntries(32);  // taken when the store is first bound
    std::vector<std::string> paths;
    std::vector<unsigned long> ids;
    for (int i = 0; i < 300; ++i) {
        paths.push_back(files.WriteFile(std::to_string(i), ""));
        ids.push_back(i % 2 ? IdOfDescriptor(paths[i]) : IdOf(paths[i]));
    }
    for (int i = 0; i < 300; ++i)
        EXPECT_EQ(i % 2 ? IdOf(paths[i]) : IdOfDescriptor(paths[i]), ids[i]) << paths[i];
}

// Through a descriptor an object a few seconds old is known again by its
// birth (device, inode, creation time); the attributes come back as fstat
// gives them. A new file that takes over its inode is another object, by
// path and by descriptor, and the old id is stale.
TEST_F(UniqueFileIds, AnObjectIsKnownAgainButNotItsInodesNextFile) {
    const std::string path = files.WriteFile("f", "12345");
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // old enough to be trusted
    struct stat got, want;
    const unsigned long id = IdOfDescriptor(path, &got);
    EXPECT_EQ(IdOfDescriptor(path, &got), id);
    EXPECT_EQ(id, IdOf(path));
    ASSERT_EQ(::lstat(path.c_str(), &want), 0);
    EXPECT_EQ(std::make_tuple(got.st_dev, got.st_ino, got.st_mode, got.st_nlink, got.st_size,
                              got.st_mtim.tv_sec, got.st_mtim.tv_nsec),
              std::make_tuple(want.st_dev, want.st_ino, want.st_mode, want.st_nlink, want.st_size,
                              want.st_mtim.tv_sec, want.st_mtim.tv_nsec));

    const std::string reuser = NextOnItsInode(files, path);
    if (reuser.empty())
        GTEST_SKIP() << "the file system never reused the inode";
    const unsigned long newId = IdOf(reuser);
    EXPECT_NE(newId, id);
    EXPECT_EQ(IdOfDescriptor(reuser), newId);
    const size_t stored = StoredIds();
    EXPECT_EQ(Where(id, files), kStale);
    EXPECT_EQ(StoredIds(), stored - 1);  // the gone object is forgotten
    EXPECT_EQ(Where(newId, files), reuser);
}

// The rows of the store's three tables.
std::array<size_t, 3> Rows() {
    return {StoredIds("unique-ids.by-identity"), StoredIds(), StoredIds("unique-ids.links")};
}

// What its remover reports gone leaves nothing in the store, unless another
// name still holds it; what went beside us leaves when a sweep finds its
// handle unknown, steps of a few ids going round the table.
TEST_F(UniqueFileIds, RemovedObjectsLeaveTheStore) {
    const std::string a = files.WriteFile("a", "x"), twin = files / "twin", d = files / "d";
    ASSERT_EQ(::link(a.c_str(), twin.c_str()), 0);
    ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
    IdOfDescriptor(files.WriteFile("kept", ""));  // the directory has its id too
    const std::array<size_t, 3> before = Rows();
    const unsigned long fileId = IdOfDescriptor(a), dirId = IdOfDescriptor(d);
    const int file = ::open(a.c_str(), O_PATH | O_CLOEXEC),
              dir = ::open(d.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::unlink(a.c_str()), 0);
    ForgetUniqueFileId(fileId, file);
    EXPECT_EQ(Where(fileId, files), twin);  // another name holds it
    ASSERT_EQ(::unlink(twin.c_str()), 0);
    ASSERT_EQ(::rmdir(d.c_str()), 0);
    ForgetUniqueFileId(fileId, file);
    ForgetUniqueFileId(dirId, dir);
    EXPECT_EQ(Rows(), before);
    EXPECT_EQ(IdOfDescriptor(files / "kept"), IdOf(files / "kept"));
    ::close(file);
    ::close(dir);

    constexpr size_t kFiles = 40, kStep = 7;
    std::vector<unsigned long> ids;
    for (size_t i = 0; i < kFiles; ++i)
        ids.push_back(IdOfDescriptor(files.WriteFile("f" + std::to_string(i), "")));
    for (size_t i = 0; i < kFiles; i += 2)
        ASSERT_EQ(::unlink((files / ("f" + std::to_string(i))).c_str()), 0);
    const int root = ::open(files.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    size_t forgotten = 0;
    for (size_t step = 0; step < 2 * (kFiles + 2) / kStep + 2; ++step)
        forgotten += SweepUniqueFileIds(root, kStep);
    ::close(root);
    EXPECT_EQ(forgotten, kFiles / 2);
    EXPECT_EQ(Rows(), (std::array<size_t, 3>{before[0] + kFiles / 2, before[1] + kFiles / 2,
                                             before[2] + kFiles / 2}));
    for (size_t i = 1; i < kFiles; i += 2)
        EXPECT_EQ(Where(ids[i], files), files / ("f" + std::to_string(i)));
}

// 16 shards of 2: of 1000 keys at most 32 stay, and one read after every
// put outlives the sweeps.
TEST(ClockCache, HoldsItsCapacityAndSparesWhatIsRead) {
    ClockCache<int, int, std::hash<int>> cache(32);
    cache.Put(-1, 7);
    int value = 0, kept = 0;
    for (int key = 0; key < 1000; ++key) {
        cache.Put(key, key * 2);
        EXPECT_TRUE(cache.Find(-1, value)) << "after key " << key;
    }
    for (int key = 0; key < 1000; ++key)
        kept += cache.Find(key, value) && value == key * 2;
    EXPECT_GT(kept, 0);
    EXPECT_LE(kept, 31);
}

// Erased keys are gone and their places in the ring taken again: the cache
// still holds up to its capacity and evicts only what it holds.
TEST(ClockCache, ErasedEntriesLeaveRoomInTheRing) {
    ClockCache<int, int, std::hash<int>> cache(16);  // one place per shard
    int value = 0;
    for (int round = 0; round < 3; ++round) {
        for (int key = 0; key < 64; ++key)
            cache.Put(key, key + round);
        for (int key = 0; key < 64; ++key)
            cache.Erase(key);
        for (int key = 0; key < 64; ++key)
            EXPECT_FALSE(cache.Find(key, value)) << key;
    }
    int kept = 0;
    for (int key = 0; key < 16; ++key)  // keys 0..15 fall in 16 shards
        cache.Put(key, key);
    for (int key = 0; key < 16; ++key)
        kept += cache.Find(key, value) && value == key;
    EXPECT_EQ(kept, 16);
}

}  // namespace
