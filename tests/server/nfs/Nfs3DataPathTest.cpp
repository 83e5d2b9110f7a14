// READ, WRITE and COMMIT as clients expect them: the end of a file in one
// READ, exact whether copied or spliced and however the file changes
// meanwhile, running programs readable, owners writing their read-only files,
// and kept descriptors judged per caller (POSIX ACLs included).
#include <acl/libacl.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "server/rpc/HandedOver.h"
#include "tests/module/backend/CountingPerfCounter.h"
#include "tests/server/Nfs3RawClient.h"
#include "tests/server/nfs/InProcessServer.h"
#include "tests/support/TempDir.h"

namespace {

constexpr SharePerms kAll = SHARE_PERM_READ | SHARE_PERM_WRITE | SHARE_PERM_ROOT;
constexpr SharePerms kReadWrite = SHARE_PERM_READ | SHARE_PERM_WRITE;
using Fh = Nfs3RawClient::Fh;

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

// The byte at offset of the files the read tests write: never zero.
char PatternByte(uint64_t offset) {
    return static_cast<char>(offset % 251 + 1);
}

std::string Pattern(uint64_t offset, size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = PatternByte(offset + i);
    return bytes;
}

class NfsData : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::chmod(disk.Path().c_str(), 0755), 0);
        server = std::make_unique<InProcessServer>(state.Path());
        ASSERT_TRUE(server->Started());
    }
    void TearDown() override {
        for (auto& file : files)
            nfs_close(file.first, file.second);
        clients.clear();
        server.reset();
    }

    std::string Export(SharePerms perms) {
        std::string path = disk / "export";
        EXPECT_EQ(::mkdir(path.c_str(), 0777), 0);
        EXPECT_EQ(::chmod(path.c_str(), 0777), 0);
        EXPECT_TRUE(server->Export(path, perms));
        return path;
    }

    Nfs3RawClient& Mount(const std::string& dir, int uid) {
        clients.push_back(std::make_unique<Nfs3RawClient>(uid, uid));
        std::string error;
        EXPECT_TRUE(clients.back()->Mount(server->Port(), dir, error)) << error;
        return *clients.back();
    }

    // The handle of name in the export (as root sees it); empty when none.
    Fh Handle(const std::string& dir, const std::string& name) {
        std::string error;
        if (!raw && !(raw = std::make_unique<Nfs3RawClient>())->Mount(server->Port(), dir, error))
            ADD_FAILURE() << error;
        Fh fh;
        EXPECT_EQ(raw->Lookup(raw->Root(), name, &fh), NFS3_OK) << name;
        return fh;
    }

    // name opened (or created, with flags holding O_CREAT) through nfs.
    nfsfh* Open(nfs_context* nfs, const std::string& name, int flags, int mode = 0) {
        nfsfh* file = nullptr;
        EXPECT_EQ(nfs_open2(nfs, ("/" + name).c_str(), flags, mode, &file), 0)
            << nfs_get_error(nfs);
        if (file)
            files.emplace_back(nfs, file);
        return file;
    }

    TempDir state, disk;
    std::unique_ptr<InProcessServer> server;
    std::vector<std::unique_ptr<Nfs3RawClient>> clients;
    std::vector<std::pair<nfs_context*, nfsfh*>> files;
    std::unique_ptr<Nfs3RawClient> raw;
};

// Around a page and around the size from which reads are spliced rather
// than copied, a read reaching the end is exact: count, eof and bytes; one
// of nothing says end of file only at the end.
TEST_F(NfsData, ReadsNearTheEndAreExactCopiedOrSpliced) {
    std::string dir = Export(kAll);
    Nfs3RawClient& nfs = Mount(dir, 0);
    for (const uint32_t size : {4095u, 4096u, 4097u, 10000u, 16383u, 16384u, 16385u, 20483u}) {
        const std::string name = "f" + std::to_string(size);
        std::ofstream(dir + "/" + name, std::ios::binary) << Pattern(0, size);
        const Fh file = Handle(dir, name);
        const struct {
            uint64_t offset;
            uint32_t count;
        } reads[] = {{0, 65536},        {0, size},           {0, size - 1}, {1, size - 1},
                     {size / 2, 16384}, {size - 3, 16384},   {size, 16384}, {4095, size - 4095},
                     {4095, 65536},     {size - 1000, 1000}, {size, 0},     {size / 2, 0}};
        for (const auto& r : reads) {
            const ReadReply got = ReadAt(nfs, file, r.offset, r.count);
            const uint32_t expected = std::min<uint32_t>(r.count, size - r.offset);
            const std::string what = std::to_string(size) + ": " + std::to_string(r.offset) + "+" +
                                     std::to_string(r.count);
            ASSERT_EQ(got.status, NFS3_OK) << what;
            EXPECT_EQ(got.count, expected) << what;
            EXPECT_EQ(got.eof, r.offset + expected >= size) << what;
            EXPECT_TRUE(got.data == Pattern(r.offset, expected)) << what;
        }
    }
}

// READs racing a file cut short and written again get replies that agree
// with themselves (count and data length), carry only the file's bytes or
// zeros (cut, then extended), and leave the connection in step.
TEST_F(NfsData, ReadsRacingATruncateStayWholeAndInStep) {
    std::string dir = Export(kAll);
    // The writer cuts the file within its tail and writes it again in
    // pieces, so its size keeps changing where the reads are.
    constexpr uint32_t kSize = 1 << 20, kTail = 64 << 10, kPiece = 4 << 10;
    const std::string path = dir + "/racing";
    std::ofstream(path, std::ios::binary) << Pattern(0, kSize);
    Nfs3RawClient& nfs = Mount(dir, 0);
    const Fh file = Handle(dir, "racing");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const std::string whole = Pattern(0, kSize);
        const int fd = ::open(path.c_str(), O_WRONLY);
        bool done = fd >= 0;
        for (uint32_t round = 1; done && round < 1000000 && !stop; ++round) {
            uint32_t at = kSize - round * 40961 % kTail;
            done = ::ftruncate(fd, at) == 0;
            if (round % 2)
                done = done && ::ftruncate(fd, kSize) == 0;  // zeros until written
            for (uint32_t n; done && at < kSize; at += n) {
                n = std::min(kPiece, kSize - at);
                done = ::pwrite(fd, whole.data() + at, n, at) == static_cast<ssize_t>(n);
            }
        }
        if (fd >= 0)
            ::close(fd);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    uint32_t reads = 0, wrong = 0;
    for (; reads < 2000 && !wrong && std::chrono::steady_clock::now() < deadline; ++reads) {
        const uint32_t offset = kSize - kTail + reads * 12289 % kTail;
        const uint32_t count = 1000 + reads * 7919 % (2 * kTail);
        const ReadReply got = ReadAt(nfs, file, offset, count);
        wrong += got.status != NFS3_OK || got.count != got.data.size() || got.count > count;
        for (size_t i = 0; i < got.data.size() && !wrong; ++i)
            wrong += got.data[i] != 0 && got.data[i] != PatternByte(offset + i);
    }
    stop = true;
    writer.join();
    EXPECT_EQ(wrong, 0u) << "read " << reads;
    const ReadReply last = ReadAt(nfs, file, kSize - 70000, 70000);  // written whole at the end
    EXPECT_EQ(last.status, NFS3_OK);
    EXPECT_TRUE(last.eof && last.data == Pattern(kSize - 70000, 70000));
}

// While the host counts the module's operations, a READ large enough to be
// spliced and a listing go through the module's own calls, which time them.
TEST_F(NfsData, CountedReadsAndListingsGoThroughTheModule) {
    constexpr int kReadCounter = 1, kReaddirCounter = 39;
    std::string dir = Export(kAll);
    std::ofstream(dir + "/f", std::ios::binary) << Pattern(0, 65536);
    Nfs3RawClient& nfs = Mount(dir, 0);
    const Fh file = Handle(dir, "f");
    CountingPerfCounter counter(true);
    EXPECT_TRUE(ReadAt(nfs, file, 0, 65536).data == Pattern(0, 65536));
    nfsdir* listing = nullptr;
    ASSERT_EQ(nfs_opendir(nfs.Context(), "/", &listing), 0) << nfs_get_error(nfs.Context());
    nfs_closedir(nfs.Context(), listing);
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
TEST_F(NfsData, AReadOfDataNotInMemoryGoesToAWorker) {
    std::string dir = Export(kAll);
    constexpr uint32_t kSize = 1 << 20;
    const std::string path = dir + "/cold";
    std::ofstream(path, std::ios::binary) << Pattern(0, kSize);
    Nfs3RawClient& nfs = Mount(dir, 0);
    const Fh file = Handle(dir, "cold");
    const auto drop = [&] {
        const int fd = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::fsync(fd), 0);
        EXPECT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
        ::close(fd);
    };
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
        uint64_t handedOver = 0;
        for (int i = 0; i < (c.dropped ? kTries : 1) && handedOver == 0; ++i) {
            if (c.dropped)
                drop();
            const uint64_t before = RpcCallsHandedOver();
            const ReadReply got = ReadAt(nfs, file, c.offset, c.count);
            EXPECT_EQ(got.status, NFS3_OK);
            EXPECT_TRUE(got.data == Pattern(c.offset, c.count)) << c.offset << "+" << c.count;
            handedOver = RpcCallsHandedOver() - before;
        }
        EXPECT_EQ(handedOver, c.dropped ? 1u : 0u) << c.offset << "+" << c.count;
    }
}

TEST_F(NfsData, ARunningProgramIsRead) {
    std::string dir = Export(kAll);
    const std::string program = dir + "/sleeper";
    {
        std::ifstream in("/bin/sleep", std::ios::binary);
        std::ofstream(program, std::ios::binary) << in.rdbuf();
    }
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::execl(program.c_str(), "sleeper", "60", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Running once its executable is the copy (bounded wait).
    char exe[4096] = {};
    const std::string link = "/proc/" + std::to_string(child) + "/exe";
    for (int tries = 0; tries < 500 && program != exe; ++tries) {
        ::usleep(10 * 1000);
        ssize_t n = ::readlink(link.c_str(), exe, sizeof exe - 1);
        exe[n > 0 ? n : 0] = '\0';
    }
    ASSERT_EQ(std::string(exe), program);
    Nfs3RawClient& nfs = Mount(dir, 0);
    std::string data;
    const int status = nfs.Read(Handle(dir, "sleeper"), 0, 1 << 20, &data);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(status, NFS3_OK);
    EXPECT_TRUE(data == ReadFile(program));
}

TEST_F(NfsData, TheOwnerWritesItsReadOnlyFileAndNobodyElseDoes) {
    std::string dir = Export(kReadWrite);
    Nfs3RawClient& owner = Mount(dir, 4242);
    Nfs3RawClient& other = Mount(dir, 4343);
    struct {
        const char* name;
        int flags;
        int mode;
        bool chmodAfter;  // made writable, then read-only through SETATTR
    } cases[] = {
        {"guarded", O_CREAT | O_EXCL | O_RDWR, 0444, false},
        {"unchecked", O_CREAT | O_RDWR | O_TRUNC, 0, false},
        {"chmodded", O_CREAT | O_RDWR, 0644, true},
    };
    for (const auto& c : cases) {
        nfsfh* file = Open(owner.Context(), c.name, c.flags, c.mode);
        ASSERT_NE(file, nullptr) << c.name;
        if (c.chmodAfter) {
            ASSERT_EQ(nfs_fchmod(owner.Context(), file, 0444), 0) << nfs_get_error(owner.Context());
        }
        const Fh fh = Handle(dir, c.name);
        EXPECT_EQ(owner.Write(fh, 0, "owner's"), NFS3_OK) << c.name;
        EXPECT_EQ(other.Write(fh, 0, "other's"), NFS3ERR_ACCES) << c.name;
        EXPECT_EQ(ReadFile(dir + "/" + c.name), "owner's") << c.name;
        struct stat st;
        ASSERT_EQ(::stat((dir + "/" + c.name).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 4242u);
        EXPECT_EQ(st.st_mode & 0777, static_cast<mode_t>(c.chmodAfter ? 0444 : c.mode)) << c.name;
    }
}

// A descriptor one caller had opened, and that is kept, must not serve a
// caller its ACL refuses.
TEST_F(NfsData, KeptDescriptorsServeOnlyWhomTheAclAllows) {
    std::string dir = Export(kReadWrite);
    struct {
        const char* name;
        const char* acl;
        bool write;
    } cases[] = {
        {"unreadable", "u::rw-,u:4242:---,g::r--,m::r--,o::rw-", false},
        {"masked", "u::rw-,u:4242:rw-,g::r--,m::r--,o::rw-", true},
    };
    Nfs3RawClient& allowed = Mount(dir, 4343);
    Nfs3RawClient& refused = Mount(dir, 4242);
    for (const auto& c : cases) {
        const std::string path = dir + "/" + c.name;
        std::ofstream(path) << "data";
        acl_t acl = acl_from_text(c.acl);
        ASSERT_NE(acl, nullptr);
        const int set = acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl);
        acl_free(acl);
        if (set != 0)
            GTEST_SKIP() << "no POSIX ACLs on " << dir;
        const Fh file = Handle(dir, c.name);
        // The allowed caller's call leaves a kept descriptor behind.
        EXPECT_EQ(c.write ? allowed.Write(file, 0, "DATA") : allowed.Read(file, 0, 4, nullptr),
                  NFS3_OK);
        EXPECT_EQ(c.write ? refused.Write(file, 0, "evil") : refused.Read(file, 0, 4, nullptr),
                  NFS3ERR_ACCES)
            << c.name;
        // ACCESS tells each caller the same.
        const uint32_t wanted = c.write ? ACCESS3_MODIFY : ACCESS3_READ;
        EXPECT_EQ(allowed.Access(file, wanted), wanted) << c.name;
        EXPECT_EQ(refused.Access(file, wanted), 0u) << c.name;
    }
    EXPECT_EQ(ReadFile(dir + "/masked"), "DATA");
}

}  // namespace
