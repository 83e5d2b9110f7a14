#include "host/FileLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace {

// Two separate open()s of one file: two open file descriptions.
class host_FileLock : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string path = dir.WriteFile("locked", "data");
        first = open(path.c_str(), O_RDWR);
        second = open(path.c_str(), O_RDWR);
        ASSERT_GE(first, 0);
        ASSERT_GE(second, 0);
    }
    void TearDown() override {
        close(first);
        close(second);
    }
    // -1 with EAGAIN, at once.
    static void ExpectConflict(int fd, bool shared) {
        errno = 0;
        EXPECT_EQ(GetLock(fd, shared), -1);
        EXPECT_EQ(errno, EAGAIN);
    }

    TempDir dir;
    int first = -1;
    int second = -1;
};

}  // namespace

TEST_F(host_FileLock, ExclusiveConflictsWithEveryOtherDescription) {
    ASSERT_EQ(GetLock(first, false), 0);
    ExpectConflict(second, true);
    ExpectConflict(second, false);

    int sameDescription = dup(first);
    ASSERT_GE(sameDescription, 0);
    EXPECT_EQ(GetLock(sameDescription, false), 0);  // the description's own lock
    close(sameDescription);

    ASSERT_EQ(ReleaseLock(first, false), 0);
    EXPECT_EQ(GetLock(second, true), 0);
    ExpectConflict(first, false);
}

TEST_F(host_FileLock, SharedLocksCoexistAndConvertInPlace) {
    ASSERT_EQ(GetLock(first, true), 0);
    ASSERT_EQ(GetLock(second, true), 0);
    ExpectConflict(first, false);  // the other description still reads

    ASSERT_EQ(ReleaseLock(second, true), 0);
    EXPECT_EQ(GetLock(first, false), 0);
    ExpectConflict(second, true);

    EXPECT_EQ(GetLock(first, true), 0);  // back to shared
    EXPECT_EQ(GetLock(second, true), 0);
}
