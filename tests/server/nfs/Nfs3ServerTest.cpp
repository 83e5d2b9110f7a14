// The NFS v3 program in process, behind the real transport and MOUNT,
// driven by an independent client (libnfs). READ, WRITE and COMMIT as
// clients expect them: the end of a file in one READ, exact whether copied
// or spliced and however the file changes meanwhile, running programs
// readable, owners writing their read-only files, and kept descriptors
// judged per caller (POSIX ACLs included).
#include <fcntl.h>
#include <nfsc/libnfs.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/BeneathPath.h"
#include "server/rpc/HandedOver.h"
#include "tests/module/backend/CountingPerfCounter.h"
#include "tests/server/Nfs3RawClient.h"
#include "tests/server/nfs/AclFile.h"
#include "tests/server/nfs/InProcessServer.h"
#include "tests/support/TempDir.h"

namespace {

constexpr SharePerms kReadWrite = SHARE_PERM_READ | SHARE_PERM_WRITE;
constexpr SharePerms kAll = kReadWrite | SHARE_PERM_ROOT;
constexpr int kNobody = 65534;
using Fh = Nfs3RawClient::Fh;

// The byte at offset of the files the tests write: never zero.
char PatternByte(uint64_t offset) {
    return static_cast<char>(offset % 251 + 1);
}

std::string Pattern(uint64_t offset, size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = PatternByte(offset + i);
    return bytes;
}

struct stat Lstat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

struct ReadReply {
    int status;
    uint32_t count = 0;
    bool eof = false;
    std::string data;
};

ReadReply ReadAt(Nfs3RawClient& nfs, const Fh& file, uint64_t offset, uint32_t count) {
    ReadReply reply;
    reply.status = nfs.Read(file, offset, count, &reply.data, &reply.eof, &reply.count);
    return reply;
}

class NfsServer : public ::testing::Test {
  protected:
    void SetUp() override {
        // Squashed callers must reach the exports.
        ASSERT_EQ(::chmod(disk.Path().c_str(), 0755), 0);
        server = std::make_unique<InProcessServer>(state.Path());
        ASSERT_TRUE(server->Started());
        ASSERT_NO_FATAL_FAILURE(Serve(kAll));
    }

    // A client of the export at path calling as uid and gid, kept until the
    // test ends; its root handle is empty when the mount failed.
    Nfs3RawClient& Mount(const std::string& path, int uid = 0, int gid = 0) {
        clients.push_back(std::make_unique<Nfs3RawClient>(uid, gid));
        std::string error;
        EXPECT_TRUE(clients.back()->Mount(server->Port(), path, error)) << error;
        return *clients.back();
    }

    // Exports a new directory disk/name with perms and mounts it as root:
    // dir, nfs and its libnfs client. Each test starts with "export" (kAll).
    void Serve(SharePerms perms, const std::string& name = "export") {
        dir = disk / name;
        ASSERT_TRUE(server->Export(dir, perms));
        nfs = &Mount(dir);
        ASSERT_FALSE(nfs->Root().empty());
        client = nfs->Context();
    }

    // The handle of name in the export.
    Fh Handle(const std::string& name) {
        Fh fh;
        EXPECT_EQ(nfs->Lookup(nfs->Root(), name, &fh), NFS3_OK) << name;
        return fh;
    }

    // Writes data to path over NFS (created with mode 0644).
    void Put(nfs_context* to, const std::string& path, const std::string& data) {
        nfsfh* fh = nullptr;
        ASSERT_EQ(nfs_creat(to, path.c_str(), 0644, &fh), 0) << nfs_get_error(to);
        ASSERT_EQ(nfs_pwrite(to, fh, 0, data.size(), data.data()), static_cast<int>(data.size()))
            << nfs_get_error(to);
        EXPECT_EQ(nfs_fsync(to, fh), 0) << nfs_get_error(to);
        EXPECT_EQ(nfs_close(to, fh), 0);
    }

    std::string Get(nfs_context* from, const std::string& path, size_t size) {
        nfsfh* fh = nullptr;
        EXPECT_EQ(nfs_open(from, path.c_str(), O_RDONLY, &fh), 0) << nfs_get_error(from);
        std::string data(size, '\0');
        const int got = fh ? nfs_pread(from, fh, 0, size, &data[0]) : 0;
        if (fh)
            nfs_close(from, fh);
        data.resize(std::max(got, 0));
        return data;
    }

    TempDir state, disk;
    std::unique_ptr<InProcessServer> server;
    std::vector<std::unique_ptr<Nfs3RawClient>> clients;  // go before the server
    std::string dir;
    Nfs3RawClient* nfs = nullptr;
    nfs_context* client = nullptr;
};

TEST_F(NfsServer, SparseWritesPastFourGiB) {
    disk.WriteFile("export/big", "head");
    const Fh big = Handle("big");
    const uint64_t far = 5ull << 30;
    ASSERT_EQ(nfs->Write(big, far, "tail"), NFS3_OK);
    EXPECT_EQ(ReadAt(*nfs, big, far, 8).data, "tail");
    struct stat st = Lstat(dir + "/big");
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), far + 4);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 64ull << 20) << "the hole was filled";
}

TEST_F(NfsServer, NamespaceChangesReachTheDisk) {
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

    ASSERT_EQ(nfs_symlink(client, "../b/g", "/a/soft"), 0) << nfs_get_error(client);
    char target[64] = {};
    ASSERT_EQ(nfs_readlink(client, "/a/soft", target, sizeof target), 0) << nfs_get_error(client);
    EXPECT_STREQ(target, "../b/g");
    EXPECT_TRUE(S_ISLNK(Lstat(dir + "/a/soft").st_mode));

    EXPECT_EQ(nfs_rmdir(client, "/a"), -ENOTEMPTY);
    EXPECT_EQ(nfs_unlink(client, "/a/soft"), 0) << nfs_get_error(client);
    EXPECT_EQ(nfs_rmdir(client, "/a"), 0) << nfs_get_error(client);
    EXPECT_NE(::access((dir + "/a").c_str(), F_OK), 0);
}

// Mode, owner and size; each time only when asked, to the nanosecond, the
// other keeping its own, nanoseconds included.
TEST_F(NfsServer, SetattrSetsModeOwnerSizeAndEachTimeAlone) {
    disk.WriteFile("export/f", std::string(10000, 'x'));
    const Fh fh = Handle("f");
    ASSERT_EQ(nfs->Setattr(fh, {{1, {0640}}, {1, {1234}}, {1, {5678}}, {1, {100}}, {}, {}}),
              NFS3_OK);
    struct stat st = Lstat(dir + "/f");
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(st.st_size, 100);

    const struct timespec start[2] = {{1000000000, 111111111}, {1100000000, 222222222}};
    const nfstime3 given = {1200000000, 123456789};
    const auto ns = [](const timespec& t) { return t.tv_sec * 1000000000ll + t.tv_nsec; };
    const time_how cases[][2] = {{DONT_CHANGE, SET_TO_CLIENT_TIME},
                                 {SET_TO_CLIENT_TIME, DONT_CHANGE},
                                 {SET_TO_SERVER_TIME, DONT_CHANGE},
                                 {DONT_CHANGE, SET_TO_SERVER_TIME}};
    for (const auto& how : cases) {
        SCOPED_TRACE(std::to_string(how[0]) + "/" + std::to_string(how[1]));
        ASSERT_EQ(::utimensat(AT_FDCWD, (dir + "/f").c_str(), start, 0), 0);
        struct timespec before;
        ::clock_gettime(CLOCK_REALTIME, &before);
        ASSERT_EQ(nfs->Setattr(fh, {{}, {}, {}, {}, {how[0], {given}}, {how[1], {given}}}),
                  NFS3_OK);
        st = Lstat(dir + "/f");
        const struct timespec seen[2] = {st.st_atim, st.st_mtim};
        for (int i = 0; i < 2; ++i) {
            if (how[i] == SET_TO_SERVER_TIME)
                EXPECT_GE(seen[i].tv_sec, before.tv_sec) << i;  // file times are coarse
            else
                EXPECT_EQ(ns(seen[i]), how[i] == DONT_CHANGE ? ns(start[i]) : 1200000000123456789ll)
                    << i;
        }
    }
    const set_mtime badNanoseconds = {SET_TO_CLIENT_TIME, {{1200000000, 1000000000}}};
    EXPECT_EQ(nfs->Setattr(fh, {{}, {}, {}, {}, {}, badNanoseconds}), NFS3ERR_INVAL);
}

TEST_F(NfsServer, FileSystemFiguresComeFromTheExportedDirectory) {
    struct statvfs remote = {}, local = {};
    ASSERT_EQ(nfs_statvfs(client, "/", &remote), 0) << nfs_get_error(client);
    ASSERT_EQ(::statvfs(dir.c_str(), &local), 0);
    EXPECT_EQ(static_cast<uint64_t>(remote.f_blocks) * remote.f_frsize,
              static_cast<uint64_t>(local.f_blocks) * local.f_frsize);
    EXPECT_EQ(remote.f_files, local.f_files);
    EXPECT_GE(nfs_get_readmax(client), 1024u * 1024u);
    EXPECT_GE(nfs_get_writemax(client), 1024u * 1024u);
}

// A handle of a file replaced on disk behind the server's back is stale, a
// way to neither the old nor the new data, and a fresh lookup reads and
// writes the new file; also once a read of the old one used a kept
// descriptor.
TEST_F(NfsServer, AHandleOfAReplacedFileIsStaleKeptDescriptorOrNot) {
    for (const bool kept : {false, true}) {
        SCOPED_TRACE(kept ? "read, renamed over" : "removed, made again");
        ASSERT_NO_FATAL_FAILURE(Serve(kAll, kept ? "kept-stale" : "stale"));
        Put(client, "/f", "old data");
        const Fh old = Handle("f");
        if (kept) {
            ASSERT_EQ(ReadAt(*nfs, old, 0, 8).data, "old data");
            disk.WriteFile("kept-stale/g", "new data");
            ASSERT_EQ(::rename((dir + "/g").c_str(), (dir + "/f").c_str()), 0);
        } else {
            ASSERT_EQ(::unlink((dir + "/f").c_str()), 0);
            disk.WriteFile("stale/f", "new data");
        }
        EXPECT_EQ(ReadAt(*nfs, old, 0, 16).status, NFS3ERR_STALE);
        const Fh fresh = Handle("f");
        EXPECT_EQ(ReadAt(*nfs, fresh, 0, 16).data, "new data");
        EXPECT_EQ(nfs->Write(fresh, 0, "NEW"), NFS3_OK);
        EXPECT_EQ(ReadFile(dir + "/f"), "NEW data");
    }
}

// Root is squashed unless the export allows it; a read-only export refuses
// changes but serves reads.
TEST_F(NfsServer, ExportPermissionsSquashRootAndRefuseChanges) {
    ASSERT_NO_FATAL_FAILURE(Serve(kReadWrite, "squashed"));
    Put(client, "/byroot", "x");
    struct stat st = Lstat(dir + "/byroot");
    EXPECT_EQ(st.st_uid, static_cast<uid_t>(kNobody));
    EXPECT_EQ(st.st_gid, static_cast<gid_t>(kNobody));
    EXPECT_NE(nfs_chown(client, "/byroot", 0, 0), 0) << "squashed root cannot give files away";

    nfs_context* user = Mount(dir, 1000, 1000).Context();
    Put(user, "/byuser", "y");
    EXPECT_EQ(Lstat(dir + "/byuser").st_uid, 1000u);
    EXPECT_EQ(nfs_mknod(user, "/dev", S_IFCHR | 0600, makedev(1, 3)), -EPERM);
    EXPECT_EQ(nfs_mknod(user, "/fifo", S_IFIFO | 0600, 0), 0) << nfs_get_error(user);
    EXPECT_TRUE(S_ISFIFO(Lstat(dir + "/fifo").st_mode));

    Put(Mount(dir, 1000, 0).Context(), "/bygroup", "z");  // group root is squashed too
    EXPECT_EQ(Lstat(dir + "/bygroup").st_gid, static_cast<gid_t>(kNobody));

    ASSERT_NO_FATAL_FAILURE(Serve(SHARE_PERM_READ, "read-only"));
    std::ofstream(dir + "/f") << "content";
    EXPECT_EQ(Get(client, "/f", 7), "content");
    nfsfh* fh = nullptr;
    EXPECT_EQ(nfs_creat(client, "/new", 0644, &fh), -EROFS);
    EXPECT_EQ(nfs_mkdir(client, "/d"), -EROFS);
    EXPECT_EQ(nfs_unlink(client, "/f"), -EROFS);
    EXPECT_EQ(ReadFile(dir + "/f"), "content");
}

// Reading more files at once than the process may hold open, a third of
// its descriptors taken by others already: descriptors beyond what may be
// kept are opened per call, and no read fails.
TEST_F(NfsServer, ReadingManyFilesNeverRunsOutOfDescriptors) {
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const struct rlimit low = {256, saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<UniqueFd> taken;
    for (int i = 0; i < 80; ++i)
        ASSERT_TRUE(taken.emplace_back(::open("/dev/null", O_RDONLY | O_CLOEXEC)).Valid());
    server = std::make_unique<InProcessServer>(state.Path());  // takes what is left
    ASSERT_TRUE(server->Started());
    ASSERT_NO_FATAL_FAILURE(Serve(kAll, "many"));
    const int kFiles = 400;
    for (int i = 0; i < kFiles; ++i)
        disk.WriteFile("many/f" + std::to_string(i), "file " + std::to_string(i));
    int good = 0;
    for (int i = 0; i < kFiles; ++i)
        good += Get(client, "/f" + std::to_string(i), 16) == "file " + std::to_string(i);
    EXPECT_EQ(good, kFiles);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

// Files written at once by two clients read back whole, over NFS and on disk.
TEST_F(NfsServer, FileDataRoundTripsWithTwoClientsAtOnce) {
    nfs_context* second = Mount(dir).Context();
    std::string a = Pattern(1, 5 * 1024 * 1024 + 123), b = Pattern(2, 3 * 1024 * 1024);
    std::thread one([&] { Put(client, "/a", a); });
    std::thread two([&] { Put(second, "/b", b); });
    one.join();
    two.join();
    EXPECT_TRUE(Get(second, "/a", a.size()) == a);
    EXPECT_TRUE(Get(client, "/b", b.size()) == b);
    EXPECT_TRUE(ReadFile(dir + "/a") == a);
}

// Around a page and around the size from which reads are spliced rather
// than copied, a read reaching the end is exact: count, eof and bytes; one
// of nothing says end of file only at the end.
TEST_F(NfsServer, ReadsNearTheEndAreExactCopiedOrSpliced) {
    for (const uint32_t size : {4095u, 4096u, 4097u, 10000u, 16383u, 16384u, 16385u, 20483u}) {
        const std::string name = "f" + std::to_string(size);
        std::ofstream(dir + "/" + name, std::ios::binary) << Pattern(0, size);
        const Fh file = Handle(name);
        const struct {
            uint64_t offset;
            uint32_t count;
        } reads[] = {{0, 65536},        {0, size},           {0, size - 1}, {1, size - 1},
                     {size / 2, 16384}, {size - 3, 16384},   {size, 16384}, {4095, size - 4095},
                     {4095, 65536},     {size - 1000, 1000}, {size, 0},     {size / 2, 0}};
        for (const auto& r : reads) {
            SCOPED_TRACE(testing::Message() << size << ": " << r.offset << "+" << r.count);
            const ReadReply got = ReadAt(*nfs, file, r.offset, r.count);
            const uint32_t expected = std::min<uint32_t>(r.count, size - r.offset);
            ASSERT_EQ(got.status, NFS3_OK);
            EXPECT_EQ(got.count, expected);
            EXPECT_EQ(got.eof, r.offset + expected >= size);
            EXPECT_TRUE(got.data == Pattern(r.offset, expected));
        }
    }
}

// READs racing a file cut short and written again get replies that agree
// with themselves (count and data length), carry only the file's bytes or
// zeros (cut, then extended), and leave the connection in step.
TEST_F(NfsServer, ReadsRacingATruncateStayWholeAndInStep) {
    // The writer cuts the file within its tail and writes it again in
    // pieces, so its size keeps changing where the reads are.
    constexpr uint32_t kSize = 1 << 20, kTail = 64 << 10, kPiece = 4 << 10;
    const std::string path = dir + "/racing";
    std::ofstream(path, std::ios::binary) << Pattern(0, kSize);
    const Fh file = Handle("racing");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const std::string whole = Pattern(0, kSize);
        const UniqueFd fd(::open(path.c_str(), O_WRONLY));
        bool done = fd.Valid();
        for (uint32_t round = 1; done && round < 1000000 && !stop; ++round) {
            uint32_t at = kSize - round * 40961 % kTail;
            done = ::ftruncate(fd.Get(), at) == 0;
            if (round % 2)
                done = done && ::ftruncate(fd.Get(), kSize) == 0;  // zeros until written
            for (uint32_t n; done && at < kSize; at += n) {
                n = std::min(kPiece, kSize - at);
                done = ::pwrite(fd.Get(), whole.data() + at, n, at) == static_cast<ssize_t>(n);
            }
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    uint32_t reads = 0, wrong = 0;
    for (; reads < 2000 && !wrong && std::chrono::steady_clock::now() < deadline; ++reads) {
        const uint32_t offset = kSize - kTail + reads * 12289 % kTail;
        const uint32_t count = 1000 + reads * 7919 % (2 * kTail);
        const ReadReply got = ReadAt(*nfs, file, offset, count);
        wrong += got.status != NFS3_OK || got.count != got.data.size() || got.count > count;
        for (size_t i = 0; i < got.data.size() && !wrong; ++i)
            wrong += got.data[i] != 0 && got.data[i] != PatternByte(offset + i);
    }
    stop = true;
    writer.join();
    EXPECT_EQ(wrong, 0u) << "read " << reads;
    const ReadReply last = ReadAt(*nfs, file, kSize - 70000, 70000);  // written whole at the end
    EXPECT_EQ(last.status, NFS3_OK);
    EXPECT_TRUE(last.eof && last.data == Pattern(kSize - 70000, 70000));
}

// While the host counts the module's operations, a READ large enough to be
// spliced and a listing go through the module's own calls, which time them.
TEST_F(NfsServer, CountedReadsAndListingsGoThroughTheModule) {
    constexpr int kReadCounter = 1, kReaddirCounter = 39;
    std::ofstream(dir + "/f", std::ios::binary) << Pattern(0, 65536);
    const Fh file = Handle("f");
    CountingPerfCounter counter(true);
    EXPECT_TRUE(ReadAt(*nfs, file, 0, 65536).data == Pattern(0, 65536));
    nfsdir* listing = nullptr;
    ASSERT_EQ(nfs_opendir(client, "/", &listing), 0) << nfs_get_error(client);
    nfs_closedir(client, listing);
    size_t bytesRead = 0, entriesRead = 0;
    for (const auto& call : counter.calls) {
        bytesRead += !call.start && call.counter == kReadCounter ? call.bytes : 0;
        entriesRead += !call.start && call.counter == kReaddirCounter;
    }
    EXPECT_EQ(bytesRead, 65536u);
    EXPECT_GE(entriesRead, 3u);  // ".", ".." and f
}

// A READ of data not in memory, which the connection's thread would wait
// for, goes to a worker and is answered right; one of data in memory does
// not (copied or spliced alike).
TEST_F(NfsServer, AReadOfDataNotInMemoryGoesToAWorker) {
    constexpr uint32_t kSize = 1 << 20;
    const std::string path = dir + "/cold";
    std::ofstream(path, std::ios::binary) << Pattern(0, kSize);
    const Fh file = Handle("cold");
    // A copied read learns it would wait from the kernel, which starts
    // reading ahead as it says so; a busy machine may let that finish first,
    // and the read is then served in place. So each dropped read is tried a
    // few times, and one of them must have gone to a worker.
    constexpr int kTries = 8;
    const struct {
        uint32_t offset, count;
        bool dropped;
    } cases[] = {{8192, 4096, true}, {65536, 65536, true}, {65536, 65536, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << "+" << c.count);
        uint64_t handedOver = 0;
        for (int i = 0; i < (c.dropped ? kTries : 1) && handedOver == 0; ++i) {
            if (c.dropped) {  // out of the page cache
                const UniqueFd fd(::open(path.c_str(), O_RDONLY));
                EXPECT_EQ(::fsync(fd.Get()), 0);
                EXPECT_EQ(::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_DONTNEED), 0);
            }
            const uint64_t before = RpcCallsHandedOver();
            const ReadReply got = ReadAt(*nfs, file, c.offset, c.count);
            EXPECT_EQ(got.status, NFS3_OK);
            EXPECT_TRUE(got.data == Pattern(c.offset, c.count));
            handedOver = RpcCallsHandedOver() - before;
        }
        EXPECT_EQ(handedOver, c.dropped ? 1u : 0u);
    }
}

TEST_F(NfsServer, ARunningProgramIsRead) {
    const std::string program = disk.WriteFile("export/sleeper", ReadFile("/bin/sleep"));
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl(program.c_str(), "sleeper", "60", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Running once its executable is the copy (bounded wait).
    const std::string exe = "/proc/" + std::to_string(child) + "/exe";
    std::error_code unread;
    for (int tries = 0; tries < 500 && std::filesystem::read_symlink(exe, unread) != program;
         ++tries)
        ::usleep(10 * 1000);
    ASSERT_EQ(std::filesystem::read_symlink(exe, unread), program);
    std::string data;
    const int status = nfs->Read(Handle("sleeper"), 0, 1 << 20, &data);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(status, NFS3_OK);
    EXPECT_TRUE(data == ReadFile(program));
}

// A descriptor kept from one caller's call serves no caller whom the mode
// bits or the ACL refuse: the owner writes its read-only file (made so by
// CREATE's mode or by SETATTR after) and nobody else does; a named entry, or
// the mask, refuses a caller the others' entry would let in.
TEST_F(NfsServer, KeptDescriptorsServeOnlyWhomModeAndAclAllow) {
    ASSERT_NO_FATAL_FAILURE(Serve(kReadWrite, "shared"));
    Nfs3RawClient& first = Mount(dir, 4242, 4242);  // the owner, or one of the others
    Nfs3RawClient& second = Mount(dir, 4343, 4343);
    const struct {
        const char* name;
        int flags;  // first makes it so (mode asked for), unless acl
        int mode;
        bool chmodAfter;  // made writable, then read-only through SETATTR
        const char* acl;  // made on disk with it
        bool write;
    } cases[] = {
        {"guarded", O_CREAT | O_EXCL | O_RDWR, 0444, false, nullptr, true},
        {"unchecked", O_CREAT | O_RDWR | O_TRUNC, 0, false, nullptr, true},
        {"chmodded", O_CREAT | O_RDWR, 0644, true, nullptr, true},
        {"unreadable", 0, 0, false, "u::rw-,u:4343:---,g::r--,m::r--,o::rw-", false},
        {"masked", 0, 0, false, "u::rw-,u:4343:rw-,g::r--,m::r--,o::rw-", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir + "/" + c.name;
        if (c.acl) {
            if (!MakeFileWithAcl(path, 0644, c.acl))
                GTEST_SKIP() << "no POSIX ACLs on " << dir;
            std::ofstream(path) << "data";
        } else {
            nfsfh* file = nullptr;
            nfs_context* made = first.Context();
            ASSERT_EQ(nfs_open2(made, ("/" + std::string(c.name)).c_str(), c.flags, c.mode, &file),
                      0)
                << nfs_get_error(made);
            ASSERT_TRUE(!c.chmodAfter || nfs_fchmod(made, file, 0444) == 0) << nfs_get_error(made);
            nfs_close(made, file);
        }
        const Fh fh = Handle(c.name);
        // The first caller's call leaves a kept descriptor behind.
        EXPECT_EQ(c.write ? first.Write(fh, 0, "first's") : first.Read(fh, 0, 4, nullptr), NFS3_OK);
        EXPECT_EQ(c.write ? second.Write(fh, 0, "other's") : second.Read(fh, 0, 4, nullptr),
                  NFS3ERR_ACCES);
        EXPECT_EQ(ReadFile(path), c.write ? "first's" : "data");
        if (c.acl) {  // ACCESS tells each caller the same
            const uint32_t wanted = c.write ? ACCESS3_MODIFY : ACCESS3_READ;
            EXPECT_EQ(first.Access(fh, wanted), wanted);
            EXPECT_EQ(second.Access(fh, wanted), 0u);
        } else {
            struct stat st = Lstat(path);
            EXPECT_EQ(st.st_uid, 4242u);
            EXPECT_EQ(st.st_mode & 0777, static_cast<mode_t>(c.chmodAfter ? 0444 : c.mode));
        }
    }
}

}  // namespace
