// The NFS v3 program in process, behind the real transport and MOUNT,
// driven by an independent client (libnfs).
#include <fcntl.h>
#include <nfsc/libnfs.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/BeneathPath.h"
#include "platform/OXPlatformInfo.h"
#include "tests/server/Nfs3RawClient.h"
#include "tests/server/nfs/InProcessServer.h"
#include "tests/support/TempDir.h"

namespace {

constexpr int kNobody = 65534;

std::string Pattern(size_t size, unsigned seed) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 2654435761u + seed) >> 13);
    return data;
}

struct stat Lstat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

class NfsServer : public ::testing::Test {
  protected:
    void SetUp() override {
        // Squashed callers must reach the exports.
        ASSERT_EQ(::chmod(disk.Path().c_str(), 0755), 0);
        server = std::make_unique<InProcessServer>(state.Path());
        ASSERT_TRUE(server->Started());
    }
    void TearDown() override {
        clients.clear();
        server.reset();
    }

    // A new directory, writable by anyone, exported with perms.
    std::string Export(const std::string& name, SharePerms perms) {
        std::string path = disk / name;
        EXPECT_EQ(::mkdir(path.c_str(), 0777), 0);
        EXPECT_EQ(::chmod(path.c_str(), 0777), 0);
        EXPECT_TRUE(server->Export(path, perms));
        return path;
    }

    // A client mounted on dir, calling as uid/gid; null (test failed) when
    // the mount fails.
    nfs_context* Mount(const std::string& path, int uid = 0, int gid = 0) {
        clients.push_back(std::make_unique<NfsClient>(uid, gid));
        std::string error;
        bool mounted = clients.back()->Mount(server->Port(), path, error);
        EXPECT_TRUE(mounted) << error;
        return mounted ? clients.back()->Context() : nullptr;
    }

    // Exports name with perms and mounts it as root: dir and client.
    void Serve(const std::string& name, SharePerms perms) {
        dir = Export(name, perms);
        ASSERT_NE(client = Mount(dir), nullptr);
    }

    // Writes data to path over NFS (created with mode 0644).
    void Put(nfs_context* nfs, const std::string& path, const std::string& data) {
        nfsfh* fh = nullptr;
        ASSERT_EQ(nfs_creat(nfs, path.c_str(), 0644, &fh), 0) << nfs_get_error(nfs);
        const size_t chunk = 1024 * 1024;
        for (size_t done = 0; done < data.size(); done += chunk) {
            size_t n = std::min(chunk, data.size() - done);
            ASSERT_EQ(nfs_pwrite(nfs, fh, done, n, data.data() + done), static_cast<int>(n))
                << nfs_get_error(nfs);
        }
        EXPECT_EQ(nfs_fsync(nfs, fh), 0) << nfs_get_error(nfs);
        EXPECT_EQ(nfs_close(nfs, fh), 0);
    }

    std::string Get(nfs_context* nfs, const std::string& path, size_t size) {
        nfsfh* fh = nullptr;
        EXPECT_EQ(nfs_open(nfs, path.c_str(), O_RDONLY, &fh), 0) << nfs_get_error(nfs);
        if (!fh)
            return {};
        std::string data(size, '\0');
        size_t done = 0;
        for (int rounds = 0; done < size && rounds < 1000; ++rounds) {
            int got = nfs_pread(nfs, fh, done, size - done, &data[done]);
            if (got <= 0)
                break;
            done += static_cast<size_t>(got);
        }
        nfs_close(nfs, fh);
        data.resize(done);
        return data;
    }

    TempDir state, disk;
    std::unique_ptr<InProcessServer> server;
    std::vector<std::unique_ptr<NfsClient>> clients;
    std::string dir;
    nfs_context* client = nullptr;
};

constexpr SharePerms kAll = SHARE_PERM_READ | SHARE_PERM_WRITE | SHARE_PERM_ROOT;

TEST_F(NfsServer, FileDataRoundTripsAndSparseWritesPastFourGiB) {
    ASSERT_NO_FATAL_FAILURE(Serve("data", kAll));
    std::string data = Pattern(5 * 1024 * 1024 + 123, 7);
    Put(client, "/big", data);
    EXPECT_TRUE(Get(client, "/big", data.size()) == data);
    EXPECT_TRUE(ReadFile(dir + "/big") == data);

    nfsfh* fh = nullptr;
    ASSERT_EQ(nfs_open(client, "/big", O_RDWR, &fh), 0) << nfs_get_error(client);
    const uint64_t far = 5ull << 30;
    ASSERT_EQ(nfs_pwrite(client, fh, far, 4, "tail"), 4) << nfs_get_error(client);
    char back[8] = {};
    EXPECT_EQ(nfs_pread(client, fh, far, sizeof back, back), 4);
    EXPECT_EQ(std::string(back, 4), "tail");
    nfs_close(client, fh);
    struct stat st = Lstat(dir + "/big");
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), far + 4);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 64ull << 20) << "the hole was filled";
}

TEST_F(NfsServer, ReaddirplusListsTenThousandEntriesWithAttributes) {
    ASSERT_NO_FATAL_FAILURE(Serve("many", kAll));
    const int count = 10000;
    for (int i = 0; i < count; ++i)
        std::ofstream(dir + "/f" + std::to_string(i)) << i;
    nfsdir* listing = nullptr;
    ASSERT_EQ(nfs_opendir(client, "/", &listing), 0) << nfs_get_error(client);
    std::set<std::string> names;
    size_t withAttributes = 0;
    ino_t rootInode = Lstat(dir).st_ino;
    uint64_t dotdotInode = 0;
    for (int i = 0; i < 2 * count; ++i) {
        nfsdirent* entry = nfs_readdir(client, listing);
        if (!entry)
            break;
        names.insert(entry->name);
        if (std::string(entry->name) == "..")
            dotdotInode = entry->inode;
        if (entry->name[0] == 'f' && entry->size == std::string(entry->name + 1).size() &&
            S_ISREG(entry->mode) && entry->inode == Lstat(dir + "/" + entry->name).st_ino)
            ++withAttributes;
    }
    nfs_closedir(client, listing);
    EXPECT_EQ(names.size(), static_cast<size_t>(count + 2));
    EXPECT_TRUE(names.count(".") && names.count("..") && names.count("f9999"));
    EXPECT_EQ(withAttributes, static_cast<size_t>(count));
    EXPECT_EQ(dotdotInode, rootInode) << "'..' at the root is the root";
}

TEST_F(NfsServer, NamespaceChangesReachTheDisk) {
    ASSERT_NO_FATAL_FAILURE(Serve("names", kAll));
    ASSERT_EQ(nfs_mkdir(client, "/a"), 0) << nfs_get_error(client);
    ASSERT_EQ(nfs_mkdir(client, "/b"), 0);
    Put(client, "/a/f", "moved");
    nfsfh* open = nullptr;  // its handle outlives the rename, as a client's does
    ASSERT_EQ(nfs_open(client, "/a/f", O_RDONLY, &open), 0) << nfs_get_error(client);
    ASSERT_EQ(nfs_rename(client, "/a/f", "/b/g"), 0) << nfs_get_error(client);
    EXPECT_EQ(ReadFile(dir + "/b/g"), "moved");
    EXPECT_NE(::access((dir + "/a/f").c_str(), F_OK), 0);
    char data[8] = {};
    EXPECT_EQ(nfs_pread(client, open, 0, 5, data), 5) << nfs_get_error(client);
    EXPECT_STREQ(data, "moved");
    nfs_close(client, open);

    ASSERT_EQ(nfs_link(client, "/b/g", "/a/hard"), 0) << nfs_get_error(client);
    EXPECT_EQ(Lstat(dir + "/a/hard").st_ino, Lstat(dir + "/b/g").st_ino);
    EXPECT_EQ(Lstat(dir + "/b/g").st_nlink, 2u);

    ASSERT_EQ(nfs_symlink(client, "../b/g", "/a/soft"), 0) << nfs_get_error(client);
    char target[64] = {};
    ASSERT_EQ(nfs_readlink(client, "/a/soft", target, sizeof target), 0) << nfs_get_error(client);
    EXPECT_STREQ(target, "../b/g");
    EXPECT_TRUE(S_ISLNK(Lstat(dir + "/a/soft").st_mode));

    EXPECT_EQ(nfs_rmdir(client, "/a"), -ENOTEMPTY);
    EXPECT_EQ(nfs_unlink(client, "/a/hard"), 0) << nfs_get_error(client);
    EXPECT_EQ(nfs_unlink(client, "/a/soft"), 0) << nfs_get_error(client);
    EXPECT_EQ(nfs_rmdir(client, "/a"), 0) << nfs_get_error(client);
    EXPECT_NE(::access((dir + "/a").c_str(), F_OK), 0);
    EXPECT_EQ(nfs_unlink(client, "/b/none"), -ENOENT);
}

TEST_F(NfsServer, SetattrChangesModeOwnerSizeAndTimes) {
    ASSERT_NO_FATAL_FAILURE(Serve("attrs", kAll));
    Put(client, "/f", Pattern(10000, 1));
    ASSERT_EQ(nfs_chmod(client, "/f", 0640), 0) << nfs_get_error(client);
    ASSERT_EQ(nfs_chown(client, "/f", 1234, 5678), 0) << nfs_get_error(client);
    ASSERT_EQ(nfs_truncate(client, "/f", 100), 0) << nfs_get_error(client);
    struct timeval times[2] = {{1000000000, 0}, {1200000000, 0}};
    ASSERT_EQ(nfs_utimes(client, "/f", times), 0) << nfs_get_error(client);
    struct stat st = Lstat(dir + "/f");
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(st.st_size, 100);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);

    nfs_stat_64 seen{};
    ASSERT_EQ(nfs_stat64(client, "/f", &seen), 0);
    EXPECT_EQ(seen.nfs_ino, st.st_ino);
    EXPECT_EQ(seen.nfs_size, 100u);
    EXPECT_EQ(seen.nfs_mtime_nsec, static_cast<uint64_t>(st.st_mtim.tv_nsec));
}

// Each time is set only when asked, to the nanosecond; the other keeps its
// own, nanoseconds included.
TEST_F(NfsServer, SetattrSetsEachTimeAloneToTheNanosecond) {
    dir = Export("times", kAll);
    Nfs3RawClient raw;
    std::string error;
    ASSERT_TRUE(raw.Mount(server->Port(), dir, error)) << error;
    ASSERT_EQ(raw.Create(raw.Root(), "f", UNCHECKED), NFS3_OK);
    Nfs3RawClient::Fh fh;
    ASSERT_EQ(raw.Lookup(raw.Root(), "f", &fh), NFS3_OK);
    const struct timespec start[2] = {{1000000000, 111111111}, {1100000000, 222222222}};
    const nfstime3 given = {1200000000, 123456789};
    struct Case {
        time_how atime, mtime;
        int status;
    } cases[] = {
        {DONT_CHANGE, SET_TO_CLIENT_TIME, NFS3_OK},
        {SET_TO_CLIENT_TIME, DONT_CHANGE, NFS3_OK},
        {SET_TO_SERVER_TIME, DONT_CHANGE, NFS3_OK},
        {DONT_CHANGE, SET_TO_SERVER_TIME, NFS3_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.atime) + "/" + std::to_string(c.mtime));
        ASSERT_EQ(::utimensat(AT_FDCWD, (dir + "/f").c_str(), start, 0), 0);
        sattr3 attrs{};
        attrs.atime.set_it = c.atime;
        attrs.atime.set_atime_u.atime = given;
        attrs.mtime.set_it = c.mtime;
        attrs.mtime.set_mtime_u.mtime = given;
        struct timespec before;
        ::clock_gettime(CLOCK_REALTIME, &before);
        ASSERT_EQ(raw.Setattr(fh, attrs), c.status);
        struct stat st = Lstat(dir + "/f");
        const struct timespec seen[2] = {st.st_atim, st.st_mtim};
        const time_how how[2] = {c.atime, c.mtime};
        for (int i = 0; i < 2; ++i) {
            if (how[i] == DONT_CHANGE) {
                EXPECT_EQ(seen[i].tv_sec, start[i].tv_sec) << i;
                EXPECT_EQ(seen[i].tv_nsec, start[i].tv_nsec) << i;
            } else if (how[i] == SET_TO_CLIENT_TIME) {
                EXPECT_EQ(seen[i].tv_sec, given.seconds) << i;
                EXPECT_EQ(seen[i].tv_nsec, given.nseconds) << i;
            } else {
                EXPECT_GE(seen[i].tv_sec, before.tv_sec) << i;
            }
        }
    }
    sattr3 bad{};
    bad.mtime.set_it = SET_TO_CLIENT_TIME;
    bad.mtime.set_mtime_u.mtime = {1200000000, 1000000000};
    EXPECT_EQ(raw.Setattr(fh, bad), NFS3ERR_INVAL);
}

TEST_F(NfsServer, FileSystemFiguresComeFromTheExportedDirectory) {
    ASSERT_NO_FATAL_FAILURE(Serve("fs", kAll));
    struct statvfs remote {
    }, local{};
    ASSERT_EQ(nfs_statvfs(client, "/", &remote), 0) << nfs_get_error(client);
    ASSERT_EQ(::statvfs(dir.c_str(), &local), 0);
    EXPECT_EQ(static_cast<uint64_t>(remote.f_blocks) * remote.f_frsize,
              static_cast<uint64_t>(local.f_blocks) * local.f_frsize);
    EXPECT_EQ(remote.f_files, local.f_files);
    EXPECT_GE(nfs_get_readmax(client), 1024u * 1024u);
    EXPECT_GE(nfs_get_writemax(client), 1024u * 1024u);
}

// A handle of a file replaced on disk behind the server's back is stale, a
// way to neither the old nor the new data; with kept descriptors (the
// module's registry switch, read per export) too, once one is kept for it.
TEST_F(NfsServer, AHandleOfAReplacedFileIsStaleKeptDescriptorOrNot) {
    for (const bool kept : {false, true}) {
        SCOPED_TRACE(kept ? "kept, renamed over" : "removed, made again");
        if (kept) {
            ASSERT_NE(OXPlatformInfo().setNumber("Lume", "NoFdCache", 1), 0);
        }
        ASSERT_NO_FATAL_FAILURE(Serve(kept ? "kept-stale" : "stale", kAll));
        Put(client, "/f", "old data");
        nfsfh* fh = nullptr;
        ASSERT_EQ(nfs_open(client, "/f", O_RDONLY, &fh), 0);
        char buffer[16] = {};
        if (kept) {
            ASSERT_EQ(nfs_pread(client, fh, 0, 8, buffer), 8);  // the descriptor is kept now
            std::memset(buffer, 0, sizeof buffer);
            std::ofstream(dir + "/g") << "new data";
            ASSERT_EQ(::rename((dir + "/g").c_str(), (dir + "/f").c_str()), 0);
        } else {
            ASSERT_EQ(::unlink((dir + "/f").c_str()), 0);
            std::ofstream(dir + "/f") << "new data";
        }
        // libnfs 4.0 reports the STALE status as a plain failure.
        EXPECT_LT(nfs_pread(client, fh, 0, kept ? 8 : sizeof buffer, buffer), 0) << buffer;
        EXPECT_EQ(std::string(buffer), "");
        nfs_close(client, fh);
        EXPECT_EQ(Get(client, "/f", 8), "new data") << "a fresh lookup finds the new file";
    }
}

TEST_F(NfsServer, RootIsSquashedUnlessTheExportAllowsIt) {
    ASSERT_NO_FATAL_FAILURE(Serve("squash", SHARE_PERM_READ | SHARE_PERM_WRITE));
    Put(client, "/byroot", "x");
    struct stat st = Lstat(dir + "/byroot");
    EXPECT_EQ(st.st_uid, static_cast<uid_t>(kNobody));
    EXPECT_EQ(st.st_gid, static_cast<gid_t>(kNobody));
    EXPECT_NE(nfs_chown(client, "/byroot", 0, 0), 0) << "squashed root cannot give files away";

    nfs_context* user = Mount(dir, 1000, 1000);
    ASSERT_NE(user, nullptr);
    Put(user, "/byuser", "y");
    EXPECT_EQ(Lstat(dir + "/byuser").st_uid, 1000u);
    EXPECT_EQ(nfs_mknod(user, "/dev", S_IFCHR | 0600, makedev(1, 3)), -EPERM);
    EXPECT_EQ(nfs_mknod(user, "/fifo", S_IFIFO | 0600, 0), 0) << nfs_get_error(user);
    EXPECT_TRUE(S_ISFIFO(Lstat(dir + "/fifo").st_mode));

    nfs_context* rootGroup = Mount(dir, 1000, 0);  // group root is squashed too
    ASSERT_NE(rootGroup, nullptr);
    Put(rootGroup, "/bygroup", "z");
    EXPECT_EQ(Lstat(dir + "/bygroup").st_gid, static_cast<gid_t>(kNobody));
}

TEST_F(NfsServer, ReadOnlyExportRefusesChangesButServesReads) {
    ASSERT_NO_FATAL_FAILURE(Serve("ro", SHARE_PERM_READ));
    std::ofstream(dir + "/f") << "content";
    EXPECT_EQ(Get(client, "/f", 7), "content");
    nfsfh* fh = nullptr;
    EXPECT_EQ(nfs_creat(client, "/new", 0644, &fh), -EROFS);
    EXPECT_EQ(nfs_mkdir(client, "/d"), -EROFS);
    EXPECT_EQ(nfs_unlink(client, "/f"), -EROFS);
    EXPECT_EQ(ReadFile(dir + "/f"), "content");
}

TEST_F(NfsServer, BadNamesAreRefused) {
    ASSERT_NO_FATAL_FAILURE(Serve("bad", kAll));
    nfsfh* fh = nullptr;
    std::string tooLong = "/" + std::string(256, 'n');
    EXPECT_EQ(nfs_creat(client, tooLong.c_str(), 0644, &fh), -ENAMETOOLONG);
    EXPECT_EQ(nfs_mkdir(client, ("/" + std::string(255, 'n')).c_str()), 0) << nfs_get_error(client);
    EXPECT_EQ(nfs_mkdir(client, ("/" + std::string(255, 'n')).c_str()), -EEXIST);
}

// With kept descriptors (the module's registry switch), data still round
// trips, and a file replaced under a kept descriptor is not read through it.
TEST_F(NfsServer, KeptDescriptorsServeTheCurrentFile) {
    ASSERT_NE(OXPlatformInfo().setNumber("Lume", "NoFdCache", 1), 0);
    ASSERT_NO_FATAL_FAILURE(Serve("kept", kAll));
    std::string data = Pattern(2 * 1024 * 1024, 3);
    Put(client, "/f", data);
    EXPECT_TRUE(Get(client, "/f", data.size()) == data);
    ASSERT_EQ(nfs_unlink(client, "/f"), 0) << nfs_get_error(client);
    Put(client, "/f", "second");
    EXPECT_EQ(Get(client, "/f", 6), "second");
    EXPECT_EQ(ReadFile(dir + "/f"), "second");
}

// Reading more files at once than the process may hold open, a third of
// its descriptors taken by others already: descriptors beyond what may be
// kept are opened per call, and no read fails.
TEST_F(NfsServer, ReadingManyFilesNeverRunsOutOfDescriptors) {
    ASSERT_NE(OXPlatformInfo().setNumber("Lume", "NoFdCache", 1), 0);
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<UniqueFd> taken;
    for (int i = 0; i < 80; ++i) {
        taken.emplace_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(taken.back().Valid());
    }
    server = std::make_unique<InProcessServer>(state.Path());  // takes what is left
    ASSERT_TRUE(server->Started());
    ASSERT_NO_FATAL_FAILURE(Serve("many", kAll));
    const int kFiles = 400;
    for (int i = 0; i < kFiles; ++i)
        std::ofstream(dir + "/f" + std::to_string(i)) << "file " << i;
    int good = 0;
    for (int i = 0; i < kFiles; ++i) {
        std::string content = "file " + std::to_string(i);
        good += Get(client, "/f" + std::to_string(i), content.size()) == content;
    }
    EXPECT_EQ(good, kFiles);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

TEST_F(NfsServer, TwoClientsWorkAtOnce) {
    dir = Export("two", kAll);
    nfs_context* first = Mount(dir);
    nfs_context* second = Mount(dir);
    ASSERT_TRUE(first && second);
    std::string a = Pattern(3 * 1024 * 1024, 1), b = Pattern(3 * 1024 * 1024, 2);
    std::thread one([&] { Put(first, "/a", a); });
    std::thread two([&] { Put(second, "/b", b); });
    one.join();
    two.join();
    EXPECT_TRUE(Get(second, "/a", a.size()) == a);
    EXPECT_TRUE(Get(first, "/b", b.size()) == b);
}

}  // namespace
