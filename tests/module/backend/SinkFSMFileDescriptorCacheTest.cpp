#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "module/backend/SinkFSMFileDescriptorCache.h"
#include "platform/BeneathPath.h"
#include "tests/support/LogCapture.h"
#include "tests/support/OpenDescriptors.h"
#include "tests/support/TempDir.h"

namespace {

bool IsOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

class DescriptorCache : public ::testing::Test {
  protected:
    // An O_PATH descriptor of path, kept for the test; -1 when missing.
    int PathFd(const std::string& path) {
        kept.emplace_back(::open(path.c_str(), O_PATH | O_CLOEXEC));
        return kept.back().Get();
    }

    std::vector<UniqueFd> kept;
    TempDir dir;
    SinkFSMFileDescriptorCache cache;
    std::string file = dir.WriteFile("f", "content");
};

// A failed open records nothing; a close with a foreign descriptor keeps
// the reference.
TEST_F(DescriptorCache, OpensShareOneDescriptorUntilTheLastClose) {
    errno = 0;
    EXPECT_LT(cache.Open(PathFd((dir / "missing")), (dir / "missing").c_str(), O_RDONLY, 7), 0);
    EXPECT_EQ(errno, ENOENT);
    auto* entry = reinterpret_cast<SinkFSMFileDescriptorInfo*>(0x1);
    EXPECT_EQ(cache.GetFD(7, entry), -1);
    EXPECT_EQ(entry, reinterpret_cast<SinkFSMFileDescriptorInfo*>(0x1));

    LogCapture log(2);
    int fd = cache.Open(PathFd(file), file.c_str(), O_RDONLY, 7);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(log.Has(2, "INFO: File [" + file + "] not found in fd cache."));

    errno = EINTR;
    EXPECT_EQ(cache.Open(PathFd(file), file.c_str(), O_RDONLY, 7), fd);
    EXPECT_EQ(errno, 0);
    EXPECT_TRUE(log.Has(2, "INFO: Found fd [" + std::to_string(fd) + "] in fd cache for file [" +
                               file + "]. Reuse the same fd, current reference count [2]."));
    EXPECT_EQ(cache.Close(fd + 100, file.c_str(), 7), -1);
    EXPECT_TRUE(log.Has(-1, "File [" + file + "], Give fd [" + std::to_string(fd + 100) +
                                "] != cached fd [" + std::to_string(fd) + "]"));

    EXPECT_EQ(cache.Close(fd, file.c_str(), 7), 0);
    EXPECT_TRUE(IsOpen(fd));
    EXPECT_TRUE(log.Has(2, "INFO: File [" + file + "] has [1] open references."));

    EXPECT_EQ(cache.Close(fd, file.c_str(), 7), 0);  // close()'s own result
    EXPECT_FALSE(IsOpen(fd));
    EXPECT_TRUE(log.Has(2, "INFO: File [" + file + "] has last open reference. closing the fd [" +
                               std::to_string(fd) + "]"));

    EXPECT_EQ(cache.Close(fd, file.c_str(), 7), -1);
    EXPECT_TRUE(log.Has(-1, "File [" + file + "], not found in fd cache."));
}

// The file id is the key, not the path; each access mode has its own
// descriptor, and writers share one that also reads.
TEST_F(DescriptorCache, OneDescriptorPerFileIdAndAccessMode) {
    std::string other = dir.WriteFile("g", "other");
    int reader = cache.Open(PathFd(file), file.c_str(), O_RDONLY, 42);
    int writer = cache.Open(PathFd(other), other.c_str(), O_WRONLY, 42);
    ASSERT_GE(reader, 0);
    ASSERT_GE(writer, 0);
    EXPECT_NE(writer, reader);
    EXPECT_EQ(write(reader, "x", 1), -1);
    EXPECT_EQ(pwrite(writer, "C", 1, 0), 1);
    char buf[16];
    EXPECT_EQ(pread(writer, buf, sizeof buf, 0), 5);
    EXPECT_EQ(cache.Open(PathFd(file), file.c_str(), O_RDWR, 42), writer);
    EXPECT_EQ(cache.Open(PathFd(file), file.c_str(), O_RDONLY, 42), reader);
    int separate = cache.Open(PathFd(other), other.c_str(), O_RDONLY, 43);
    EXPECT_NE(separate, reader);

    SinkFSMFileDescriptorInfo* entry = nullptr;
    for (int fd : {reader, writer}) {
        ASSERT_EQ(cache.GetFD(42, fd, entry), 0);
        EXPECT_EQ(entry->fd, fd);
        EXPECT_EQ(entry->refCount, 2);
    }
    EXPECT_EQ(cache.GetFD(42, separate, entry), -1);
    ASSERT_EQ(cache.GetFD(42, entry), 0);
    EXPECT_EQ(entry->fd, writer);  // the writable one first

    // Each close gives back a reference of its own descriptor.
    EXPECT_EQ(cache.Close(reader, file.c_str(), 42), 0);
    EXPECT_EQ(cache.Close(reader, file.c_str(), 42), 0);
    EXPECT_FALSE(IsOpen(reader));
    EXPECT_TRUE(IsOpen(writer));
    EXPECT_EQ(cache.GetFD(42, reader, entry), -1);
    EXPECT_EQ(cache.Close(writer, other.c_str(), 42), 0);
    EXPECT_EQ(cache.Close(writer, other.c_str(), 42), 0);
    EXPECT_EQ(cache.GetFD(42, entry), -1);
    cache.Close(separate, other.c_str(), 43);
}

// Many threads open and close the same and different files, reading and
// writing; every reference taken is given back, so no descriptor outlives
// the run.
TEST_F(DescriptorCache, ConcurrentOpensAndClosesLeakNothing) {
    constexpr int kFiles = 4, kThreads = 8, kRounds = 500;
    std::vector<std::string> files;
    std::vector<UniqueFd> pathFds;
    for (int i = 0; i < kFiles; ++i) {
        files.push_back(dir.WriteFile("c" + std::to_string(i), "x"));
        pathFds.emplace_back(::open(files.back().c_str(), O_PATH | O_CLOEXEC));
    }
    const size_t baseline = OpenDescriptorCount();

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                unsigned long id = (t + r) % kFiles;
                const char* path = files[id].c_str();
                int fd = cache.Open(pathFds[id].Get(), path, r % 2 ? O_RDONLY : O_RDWR, id);
                SinkFSMFileDescriptorInfo* entry = nullptr;
                if (fd < 0 || cache.GetFD(id, fd, entry) != 0 || entry->fd != fd)
                    ++failures;
                if (fd >= 0 && cache.Close(fd, path, id) != 0)
                    ++failures;
            }
        });
    }
    for (auto& th : threads)
        th.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(OpenDescriptorCount(), baseline);
    for (unsigned long id = 0; id < kFiles; ++id) {
        SinkFSMFileDescriptorInfo* entry = nullptr;
        EXPECT_EQ(cache.GetFD(id, entry), -1);
    }
}

}  // namespace
