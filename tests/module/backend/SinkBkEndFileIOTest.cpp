#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/backend/SinkBkEndObj.h"
#include "tests/module/backend/BackendTest.h"
#include "tests/support/LogCapture.h"

namespace {

class SinkBkEndFileIOTest : public BackendTest {
  protected:
    // The texts of the error messages, in order.
    static std::vector<std::string> Errors(const LogCapture& log) {
        std::vector<std::string> texts;
        for (const LogRecord& r : log.Records())
            if (r.level == -1)
                texts.push_back(r.text);
        return texts;
    }

    std::string file = exported.dir.WriteFile("f", "hello");
};

// Offsets are 64 bits wide; the file offset never moves.
TEST_F(SinkBkEndFileIOTest, ReadsAndWritesArePositional) {
    const uint64_t far = (5ULL << 30) + 3;
    auto object = Object(file);
    int fd = object->open(&ctx, nullptr, O_RDWR, 0);
    ASSERT_GE(fd, 0);
    char buf[100];
    EXPECT_EQ(object->read(&ctx, fd, buf, 1, sizeof(buf)), 4) << "short at the end";
    EXPECT_EQ(std::string(buf, 4), "ello");
    EXPECT_EQ(object->read(&ctx, fd, buf, 5, sizeof(buf)), 0) << "at the end";
    EXPECT_EQ(object->write(&ctx, fd, "abc", 10, 3, BKEND_SYNC_NONE), 3);
    EXPECT_EQ(ReadFile(file), std::string("hello\0\0\0\0\0abc", 13));
    EXPECT_EQ(object->lseek(&ctx, fd, 0, SEEK_CUR), 0);

    ASSERT_EQ(object->write(&ctx, fd, "tail", far, 4, BKEND_SYNC_NONE), 4);
    ASSERT_EQ(object->read(&ctx, fd, buf, far, sizeof(buf)), 4);
    EXPECT_EQ(std::string(buf, 4), "tail");
    ASSERT_EQ(object->read(&ctx, fd, buf, (4ULL << 30) + 1, 2), 2);
    EXPECT_EQ(std::string(buf, 2), std::string(2, '\0')) << "a hole reads as zeros";
    EXPECT_EQ(static_cast<uint64_t>(object->lseek(&ctx, fd, 0, SEEK_END)), far + 4);
    EXPECT_EQ(static_cast<uint64_t>(object->lseek(&ctx, fd, far, SEEK_SET)), far);
    ASSERT_EQ(object->truncate(&ctx, nullptr, 6ULL << 30), 0);
    EXPECT_EQ(Lstat(file).st_size, 6LL << 30);
    EXPECT_EQ(object->close(&ctx, fd), 0);

    EXPECT_EQ(ErrnoOf([&] { return object->read(&ctx, fd, buf, 0, 1); }), EBADF);
    EXPECT_EQ(ErrnoOf([&] { return object->write(&ctx, fd, "x", 0, 1, BKEND_SYNC_FILE); }), EBADF);
}

// Offsets no file reaches (the kernel's are signed) never reach the kernel
// as negative ones, where -1 would mean the descriptor's own position: a
// read there finds the end, a write or a size there is too big, and the
// descriptor's position stays where it was.
TEST_F(SinkBkEndFileIOTest, OffsetsNoFileReachesReadTheEndAndAreTooBigToWrite) {
    constexpr uint64_t kUnreached = 1ULL << 63;
    auto object = Object(file);
    int fd = object->open(&ctx, nullptr, O_RDWR, 0);
    ASSERT_GE(fd, 0);
    const struct {
        uint64_t offset;
        size_t count;
    } cases[] = {{kUnreached - 2, 3}, {kUnreached - 1, 3}, {kUnreached, 0},
                 {kUnreached, 3},     {~0ULL - 1, 3},      {~0ULL, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " + " + std::to_string(c.count));
        char buf[8] = {};
        EXPECT_EQ(object->read(&ctx, fd, buf, c.offset, c.count), 0);
        EXPECT_EQ(ErrnoOf([&] {
                      return object->write(&ctx, fd, "abc", c.offset, c.count, BKEND_SYNC_NONE);
                  }),
                  EFBIG);
        EXPECT_EQ(object->lseek(&ctx, fd, 0, SEEK_CUR), 0);
    }
    EXPECT_EQ(ErrnoOf([&] { return object->truncate(&ctx, nullptr, kUnreached); }), EFBIG);
    EXPECT_EQ(ErrnoOf([&] { return object->truncate(&ctx, nullptr, ~0UL); }), EFBIG);
    EXPECT_EQ(ReadFile(file), "hello");
    EXPECT_EQ(object->close(&ctx, fd), 0);
}

// Stable writes are synced whenever the data went out; a failing sync turns
// the result into -1 with the sync's errno, the data staying written. A
// reading open has a descriptor of its own, which fsync finds too.
TEST_F(SinkBkEndFileIOTest, StableWritesSyncAndReportAFailingSync) {
    auto object = Object(file);
    exported.Sink().SetJobId(9);
    int cached = object->open(&ctx, nullptr, O_RDWR, 0);
    ASSERT_GE(cached, 0);
    int other = ::open(file.c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    LogCapture log(1);

    EXPECT_EQ(object->write(&ctx, cached, "A", 0, 1, BKEND_SYNC_FILE), 1);
    EXPECT_EQ(object->write(&ctx, other, "B", 1, 1, BKEND_SYNC_NONE), 1);  // no sync asked
    EXPECT_EQ(object->write(&ctx, other, "C", 2, 1, BKEND_SYNC_DATA), 1);
    EXPECT_TRUE(Errors(log).empty());

    EXPECT_EQ(ErrnoOf([&] { return object->write(&ctx, other, "D", 3, 1, BKEND_SYNC_FILE); }),
              EINVAL);
    EXPECT_EQ(ReadFile(file), "ABCDo");
    EXPECT_EQ(Errors(log),
              (std::vector<std::string>{"Invalid fd [" + std::to_string(cached) + "] in cache",
                                        "Failed to sync [" + file + "]. Err [Invalid argument]"}));
    for (const LogRecord& r : log.Records())
        EXPECT_EQ(r.jobId, 9u) << r.text;
    EXPECT_EQ(object->fsync(&ctx, cached), 0);
    const int reader = object->open(&ctx, nullptr, O_RDONLY, 0);
    EXPECT_NE(reader, cached);
    EXPECT_EQ(object->fsync(&ctx, reader), 0);
    EXPECT_EQ(object->close(&ctx, reader), 0);
    EXPECT_EQ(object->fdatasync(&ctx, other), 0) << "fdatasync does not ask the cache";
    ::close(other);
    EXPECT_EQ(object->close(&ctx, cached), 0);
}

// A zero-length stable write of an uncached file fails; so does a data sync
// the file cannot do (a character device) after a write that moved data,
// while an unstable write to it does not sync at all.
TEST_F(SinkBkEndFileIOTest, SyncFailuresOfZeroLengthAndUnsyncableWrites) {
    auto object = Object(file);
    int fd = ::open(file.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    LogCapture log(1);
    EXPECT_EQ(ErrnoOf([&] { return object->write(&ctx, fd, "", 0, 0, BKEND_SYNC_FILE); }), EINVAL);
    EXPECT_EQ(Errors(log), (std::vector<std::string>{
                               "Unable to find fd [" + std::to_string(fd) + "] fileid [" +
                                   std::to_string(object->GetFileChecksum()) + "] in fdcache",
                               "Failed to sync [" + file + "]. Err [Invalid argument]"}));
    ::close(fd);

    log.Clear();
    // The null device takes data but cannot be synced (the test runs as root).
    const std::string nullDevice = exported.dir / "null";
    ASSERT_EQ(::mknod(nullDevice.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    auto null = Object(nullDevice);
    fd = ::open(nullDevice.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(null->write(&ctx, fd, "abc", 0, 3, BKEND_SYNC_NONE), 3);
    EXPECT_EQ(ErrnoOf([&] { return null->write(&ctx, fd, "abc", 0, 3, BKEND_SYNC_DATA); }), EINVAL);
    EXPECT_EQ(Errors(log), std::vector<std::string>{"Failed to sync [" + nullDevice +
                                                    "]. Err [Invalid argument]"});
    ::close(fd);
}

}  // namespace
