#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/SinkFSM.h"
#include "module/backend/SinkBkEndObj.h"
#include "module/filehandle/SinkFSMPathCache.h"
#include "platform/StateDir.h"
#include "tests/module/backend/BackendTest.h"
#include "tests/support/OpenDescriptors.h"
#include "tests/support/SmallFileSystem.h"

namespace {

class SinkBkEndObjTest : public BackendTest {
  protected:
    std::string file = exported.dir.WriteFile("f", "12345");
};

// An object is the file it was resolved to, whatever path a call names:
// replaced at its path, it still reads and changes the old file, never the
// new one; what needs its name (unlink, rename) answers ESTALE.
// Platform-style calls set errno to 0 on success.
TEST_F(SinkBkEndObjTest, ActsOnTheFileItWasResolvedToAndReportsErrno) {
    auto object = Object(file);
    const std::string old = exported.dir / "old";
    ASSERT_EQ(::rename(file.c_str(), old.c_str()), 0);
    exported.dir.WriteFile("f", "new file");
    struct stat st;
    timeval times[2] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(object->lstat(&ctx, "/elsewhere", &st), 0);
    EXPECT_EQ(st.st_size, 5);
    EXPECT_EQ(object->access(&ctx, "/elsewhere", R_OK | W_OK), 0);
    EXPECT_EQ(object->chmod(&ctx, "/elsewhere", 0604), 0);
    EXPECT_EQ(object->truncate(&ctx, nullptr, 1), 0);
    EXPECT_EQ(object->utimes(&ctx, nullptr, times), 0);
    EXPECT_EQ(Lstat(old).st_mode & 07777, 0604u);
    EXPECT_EQ(Lstat(old).st_size, 1);
    EXPECT_EQ(Lstat(old).st_mtime, 1000);
    EXPECT_EQ(Lstat(file).st_size, 8) << "the new file was touched";
    struct statfs mine, theirs;
    ASSERT_EQ(object->statfs(&ctx, "/", &mine), 0);
    ASSERT_EQ(::statfs(old.c_str(), &theirs), 0);
    EXPECT_EQ(mine.f_type, theirs.f_type);
    EXPECT_EQ(object->pathconf(&ctx, "/", _PC_NAME_MAX), ::pathconf(old.c_str(), _PC_NAME_MAX));

    // Failures, the unsupported operations among them.
    char buf[8];
    BkEndProc& proc = *object;
    boost::shared_ptr<BkEndProc> created;
    long size = 1;
    unsigned int count = 9;
    flock lock{};
    // Each returns the call's result, -1 for a failure.
    const struct {
        const char* name;
        std::function<long()> call;
        int errnoWanted;
    } failing[] = {
        {"unlink", [&] { return object->unlink(&ctx, nullptr); }, ESTALE},
        {"rmdir", [&] { return object->rmdir(&ctx, nullptr); }, ESTALE},
        {"opendir", [&] { return object->opendir(&ctx, nullptr) ? 0L : -1L; }, ENOTDIR},
        {"readlink", [&] { return object->readlink(&ctx, nullptr, buf, sizeof(buf)); }, ENOENT},
        {"access", [&] { return object->access(&ctx, nullptr, 077); }, EINVAL},
        {"createAndOpen", [&] { return proc.createAndOpen(&ctx, created, "x", O_CREAT, st); },
         ENOSYS},
        {"setAllocationSize", [&] { return proc.setAllocationSize(&ctx, nullptr, size); },
         EOPNOTSUPP},
        {"setFileAttributes", [&] { return proc.setFileAttributes(&ctx, nullptr, st); },
         EOPNOTSUPP},
        {"isDirectoryEmpty", [&] { return proc.isDirectoryEmpty(&ctx) ? 0L : -1L; }, EOPNOTSUPP},
        {"getACL", [&] { return proc.getACL(&ctx, nullptr, nullptr); }, EOPNOTSUPP},
        {"setACL", [&] { return proc.setACL(&ctx, nullptr, nullptr); }, EOPNOTSUPP},
        {"getACLCount", [&] { return proc.getACLCount(&ctx, nullptr, &count); }, EOPNOTSUPP},
        {"filelock", [&] { return proc.filelock(&ctx, -1, &lock, F_SETLK, nullptr); }, EOPNOTSUPP},
    };
    for (const auto& op : failing)
        EXPECT_EQ(ErrnoOf(op.call), op.errnoWanted) << op.name;
    // The unsupported extensions answer without touching errno.
    nfs_fh3 fh;
    unsigned long cookie = 3;
    errno = EXDEV;
    EXPECT_EQ(proc.getACL_ex(&ctx, 0, nullptr), EOPNOTSUPP);
    EXPECT_EQ(proc.readdir_ex(&ctx, nullptr, fh, st, &cookie), 0);
    EXPECT_FALSE(proc.isCreateAndOpenSupported());
    EXPECT_FALSE(proc.is_readdir_ex_supported());
    EXPECT_FALSE(proc.is_getACL_ex_supported());
    EXPECT_EQ(errno, EXDEV);
    EXPECT_EQ(cookie, 3u);
    EXPECT_EQ(::access(file.c_str(), F_OK), 0);
    EXPECT_NE(::access((exported.dir / "x").c_str(), F_OK), 0);
    EXPECT_FALSE(created);
    EXPECT_EQ(count, 9u);
    std::string sub = exported.dir / "sub";
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    exported.dir.WriteFile("sub/x", "");
    auto dirObject = Object(sub);
    EXPECT_EQ(ErrnoOf([&] { return dirObject->rmdir(&ctx, nullptr); }), ENOTEMPTY);
    errno = EBADF;
    EXPECT_EQ(Object(sub + "/x")->unlink(&ctx, nullptr), 0);
    EXPECT_EQ(errno, 0);
    errno = EBADF;
    EXPECT_EQ(dirObject->rmdir(&ctx, nullptr), 0);
    EXPECT_EQ(errno, 0);
    EXPECT_NE(::access(sub.c_str(), F_OK), 0);
}

TEST_F(SinkBkEndObjTest, MknodTakesTheTypeFromTheModeBits) {
    std::string fifo = exported.dir / "fifo";
    // An object needs an identity: make it for a file, then remove the file.
    ASSERT_EQ(::mknod(fifo.c_str(), S_IFREG | 0600, 0), 0);
    auto object = Object(fifo);
    ASSERT_EQ(::unlink(fifo.c_str()), 0);
    ASSERT_EQ(object->mknod(&ctx, "/elsewhere", 0, NF3REG, S_IFIFO | 0600), 0);
    EXPECT_TRUE(S_ISFIFO(Lstat(fifo).st_mode));
}

TEST_F(SinkBkEndObjTest, DirectoryStreams) {
    exported.dir.WriteFile("a", "");
    exported.dir.WriteFile("b", "");
    auto& object = rootObject;
    DIR* dir = object->opendir(&ctx, "/elsewhere");
    ASSERT_NE(dir, nullptr);

    std::set<std::string> names;
    std::vector<std::pair<long, std::string>> read;
    for (long at = object->telldir(&ctx, dir); struct dirent64* entry = object->readdir(&ctx, dir);
         at = object->telldir(&ctx, dir))
        read.emplace_back(at, entry->d_name), names.insert(entry->d_name);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "a", "b", "f"}));
    object->seekdir(&ctx, dir, read.at(1).first);
    struct dirent64* again = object->readdir(&ctx, dir);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(read[1].second, again->d_name);
    EXPECT_EQ(object->closedir(&ctx, dir), 0);
}

// Link and symlink make a name in the directory object; rename moves the
// object into the target object.
TEST_F(SinkBkEndObjTest, LinkSymlinkAndRenameMakeNamesInADirectoryObject) {
    std::string sub = exported.dir / "dir";
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    auto dirObject = Object(sub);

    ASSERT_EQ(dirObject->link(&ctx, file.c_str(), "b"), 0);
    EXPECT_EQ(Lstat(sub + "/b").st_ino, Lstat(file).st_ino);
    EXPECT_EQ(ErrnoOf([&] { return dirObject->link(&ctx, file.c_str(), "b"); }), EEXIST);

    ASSERT_EQ(dirObject->symlink(&ctx, "../some text", "s"), 0);
    char buf[32];
    std::memset(buf, 'X', sizeof(buf));
    ssize_t n = Object(sub + "/s")->readlink(&ctx, "/elsewhere", buf, sizeof(buf));
    ASSERT_EQ(n, 12);
    EXPECT_EQ(std::string(buf, 12), "../some text");
    EXPECT_EQ(buf[12], 'X') << "readlink does not terminate";

    auto moving = Object(file);
    EXPECT_EQ(ErrnoOf([&] { return moving->rename(&ctx, file.c_str(), "n"); }), EINVAL)
        << "no target object";
    ctx.SetTargetObject(dirObject);
    errno = EBADF;
    ASSERT_EQ(moving->rename(&ctx, "/ignored", "n"), 0);
    EXPECT_EQ(errno, 0);
    EXPECT_NE(::access(file.c_str(), F_OK), 0);
    EXPECT_EQ(Lstat(sub + "/n").st_size, 5);
    EXPECT_EQ(ErrnoOf([&] { return moving->rename(&ctx, nullptr, "n"); }), ESTALE)
        << "its old name holds it no more";
}

// No times means now; a link's own times change, not its target's.
TEST_F(SinkBkEndObjTest, UtimesTakesNowOrValidMicrosecondsAndLinksChangeThemselves) {
    auto object = Object(file);
    timeval old[2] = {{1000, 0}, {1000, 0}}, bad[2] = {{1000, 0}, {1000, 1000000}};
    ASSERT_EQ(object->utimes(&ctx, nullptr, old), 0);
    ASSERT_EQ(object->utimes(&ctx, nullptr, nullptr), 0);
    EXPECT_GT(Lstat(file).st_mtim.tv_sec, 1000);
    EXPECT_EQ(ErrnoOf([&] { return object->utimes(&ctx, nullptr, bad); }), EINVAL);

    std::string link = exported.dir / "l";
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    auto linkObject = Object(link);
    timeval times[2] = {{1000, 0}, {2000, 500}};
    ASSERT_EQ(linkObject->utimes(&ctx, nullptr, times), 0);
    EXPECT_EQ(Lstat(link).st_mtim.tv_sec, 2000);
    EXPECT_EQ(Lstat(link).st_mtim.tv_nsec, 500000);
    EXPECT_EQ(ErrnoOf([&] { return linkObject->truncate(&ctx, nullptr, 0); }), EINVAL);

    if (geteuid() != 0)
        GTEST_SKIP() << "changing a link's owner needs root";
    ASSERT_EQ(linkObject->chown(&ctx, nullptr, 4321, 4322), 0);
    EXPECT_EQ(Lstat(link).st_uid, 4321u);
    EXPECT_EQ(Lstat(link).st_gid, 4322u);
}

TEST_F(SinkBkEndObjTest, CreateChildMakesAClosedEmptyFileOrADirectory) {
    auto create = [&](const char* name, int flags) {
        return rootObject->CreateChildFile(&ctx, name, flags, 0640);
    };
    size_t descriptors = OpenDescriptorCount();
    for (int flags : {O_RDONLY, O_CREAT, O_APPEND | O_RDWR}) {
        exported.dir.WriteFile("old", "content");
        errno = EBADF;
        boost::shared_ptr<BkEndProc> child = create("old", flags);
        ASSERT_TRUE(child) << flags;
        EXPECT_EQ(errno, 0);
        EXPECT_EQ(child->GetClientPath(), root + "/old");
        EXPECT_EQ(Lstat(root + "/old").st_size, 0) << "an existing file is truncated";
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors) << "the new file is left closed";
    // O_EXCL refuses any existing name, a link included, and follows none.
    ASSERT_EQ(::symlink("old", (root + "/link").c_str()), 0);
    for (const char* name : {"old", "link"})
        EXPECT_EQ(ErrnoOf([&] { return create(name, O_CREAT | O_EXCL); }), EEXIST) << name;

    mode_t savedMask = ::umask(022);
    ASSERT_TRUE(create("new", O_RDONLY));
    ::umask(savedMask);
    EXPECT_EQ(Lstat(root + "/new").st_mode, S_IFREG | 0640u);

    EXPECT_EQ(ErrnoOf([&] { return create("nodir/x", 0); }), ENOENT);
    ASSERT_TRUE(rootObject->CreateChildDir(&ctx, "d", 0755));
    EXPECT_TRUE(S_ISDIR(Lstat(root + "/d").st_mode));
    EXPECT_EQ(ErrnoOf([&] { return rootObject->CreateChildDir(&ctx, "d", 0755); }), EEXIST);
}

// What CreateChildFile (exclusively) or CreateChildDir made but cannot
// identify, its new id not kept as the state store is full, is removed
// again: the call fails with ENOSPC and leaves no entry. A file that was
// there before (truncated, not made) stays. Once the store has room, both
// make their entries.
TEST_F(SinkBkEndObjTest, WhatCreateChildMadeButCouldNotIdentifyIsRemovedAgain) {
    SmallFileSystem small(size_t(4) << 20);
    std::string why;
    ASSERT_TRUE(small.Mounted(why)) << why;
    const struct Restore {
        std::string dir = GetPlatformStateDir();
        ~Restore() { SetPlatformStateDir(dir); }
    } restore;
    SetPlatformStateDir(small.Path() + "/state");
    auto createFile = [&](const std::string& name, int flags) {
        return rootObject->CreateChildFile(&ctx, name, flags, 0644);
    };
    auto exists = [&](const std::string& name) {
        struct stat st;
        return ::lstat((root + "/" + name).c_str(), &st) == 0;
    };
    ASSERT_TRUE(createFile("first", O_CREAT | O_EXCL));  // the store opened, with room
    ASSERT_TRUE(small.Fill());
    bool refused = false;
    for (int i = 0; i < 20000 && !refused; ++i) {
        const std::string name = "f" + std::to_string(i);
        const int err = ErrnoOf([&] { return createFile(name, O_CREAT | O_EXCL); });
        refused = err != -1;
        ASSERT_TRUE(!refused || err == ENOSPC) << name << ": " << err;
        ASSERT_EQ(exists(name), !refused) << name;
    }
    ASSERT_TRUE(refused) << "the store never ran out of room";
    exported.dir.WriteFile("before", "content");
    for (int round = 0; round < 10; ++round) {
        const std::string file = "file" + std::to_string(round),
                          dir = "dir" + std::to_string(round);
        EXPECT_EQ(ErrnoOf([&] { return createFile(file, O_CREAT | O_EXCL); }), ENOSPC);
        EXPECT_EQ(ErrnoOf([&] { return rootObject->CreateChildDir(&ctx, dir, 0755); }), ENOSPC);
        EXPECT_EQ(ErrnoOf([&] { return createFile("before", O_CREAT); }), ENOSPC);
        EXPECT_FALSE(exists(file));
        EXPECT_FALSE(exists(dir));
        EXPECT_TRUE(exists("before"));
    }
    small.Free();
    EXPECT_TRUE(createFile("file", O_CREAT | O_EXCL));
    EXPECT_TRUE(rootObject->CreateChildDir(&ctx, "dir", 0755));
    EXPECT_TRUE(exists("file") && exists("dir"));
}

// FindChild joins the name as given; GetParent goes one level up; a new
// object's handle resolves (the host's GetFSObject) only once the object
// gave one out, and only while the path cache holds it.
TEST_F(SinkBkEndObjTest, FindChildGetParentAndThePathCache) {
    ASSERT_EQ(::mkdir((root + "/x").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/x/y").c_str(), 0755), 0);
    EXPECT_EQ(ErrnoOf([&] { return rootObject->FindChild(&ctx, "missing"); }), ENOENT);
    errno = EBADF;
    boost::shared_ptr<BkEndProc> child = rootObject->FindChild(&ctx, "x");
    ASSERT_TRUE(child);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(child->GetClientPath(), root + "/x");
    EXPECT_EQ(rootObject->FindChild(&ctx, ".")->GetClientPath(), root + "/.");
    EXPECT_EQ(Object(root + "/x/y")->GetParent(&ctx)->GetClientPath(), root + "/x");

    unsigned long checksum = static_cast<SinkBkEndObj&>(*child).GetFileChecksum();
    std::string path;
    EXPECT_FALSE(exported.Sink().GetPathCache()->Find(checksum, path));
    nfs_fh3 fh;
    child->GetFileHandle(fh);
    boost::shared_ptr<BkEndProc> found = SinkFSM::GetFSM()->GetFSObject(exported.exp, fh);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->GetClientPath(), root + "/x");
    exported.Sink().GetPathCache()->Empty();
    EXPECT_FALSE(SinkFSM::GetFSM()->GetFSObject(exported.exp, fh));
}

// The path cache forgets what a removal through the module took away: the
// removed object, or what a rename replaced; a failed removal and the
// objects beside it keep their entries.
TEST_F(SinkBkEndObjTest, RemovalsDropTheRemovedObjectFromThePathCache) {
    SinkFSMPathCache& cache = *exported.Sink().GetPathCache();
    ASSERT_EQ(::mkdir((exported.dir / "d").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((exported.dir / "full").c_str(), 0755), 0);
    exported.dir.WriteFile("full/x", "");
    exported.dir.WriteFile("old", "");
    struct Case {
        const char* what;
        const char* name;  // the object given a handle first
        std::function<int(SinkBkEndObj&)> remove;
        bool gone;
    };
    const std::vector<Case> cases = {
        {"unlink", "f", [&](SinkBkEndObj& o) { return o.unlink(&ctx, nullptr); }, true},
        {"rmdir", "d", [&](SinkBkEndObj& o) { return o.rmdir(&ctx, nullptr); }, true},
        {"rmdir of a full directory", "full",
         [&](SinkBkEndObj& o) { return o.rmdir(&ctx, nullptr); }, false},
        {"rename over it", "old",
         [&](SinkBkEndObj&) {
             exported.dir.WriteFile("new", "");
             ctx.SetTargetObject(rootObject);
             return Object(exported.dir / "new")->rename(&ctx, nullptr, "old");
         },
         true},
    };
    nfs_fh3 rootFh;
    rootObject->GetFileHandle(rootFh);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto object = Object(exported.dir / c.name);
        nfs_fh3 fh;
        object->GetFileHandle(fh);
        std::string path;
        ASSERT_TRUE(cache.Find(object->GetFileChecksum(), path));
        EXPECT_EQ(c.remove(*object) == 0, c.gone);
        EXPECT_EQ(cache.Find(object->GetFileChecksum(), path), !c.gone);
        EXPECT_TRUE(cache.Find(rootObject->GetFileChecksum(), path)) << "a bystander stays";
    }
}

// A rename onto another name of the same file replaces nothing: the file
// keeps its entry.
TEST_F(SinkBkEndObjTest, RenameOntoItsOwnHardLinkKeepsThePathCacheEntry) {
    SinkFSMPathCache& cache = *exported.Sink().GetPathCache();
    ASSERT_EQ(::link(file.c_str(), (exported.dir / "g").c_str()), 0);
    auto object = Object(file);
    nfs_fh3 fh;
    object->GetFileHandle(fh);
    ctx.SetTargetObject(rootObject);
    ASSERT_EQ(object->rename(&ctx, nullptr, "g"), 0);
    std::string path;
    EXPECT_TRUE(cache.Find(object->GetFileChecksum(), path));
}

}  // namespace
