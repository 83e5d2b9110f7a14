#include "host/FileLock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

// Two separate open()s of one file are two open file descriptions: an
// exclusive lock conflicts with the other's, shared ones coexist, and a
// description's own lock converts in place.
TEST(host_FileLock, DescriptionsConflictAndTheirOwnLockConvertsInPlace) {
    TempDir dir;
    const std::string path = dir.WriteFile("locked", "data");
    const int first = open(path.c_str(), O_RDWR | O_CLOEXEC);
    const int second = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_TRUE(first >= 0 && second >= 0);
    // The errno of a lock that must be refused at once; 0 when it is granted.
    const auto refusal = [](int fd, bool shared) { return GetLock(fd, shared) == -1 ? errno : 0; };

    ASSERT_EQ(GetLock(first, false), 0);
    EXPECT_EQ(refusal(second, true), EAGAIN);
    EXPECT_EQ(refusal(second, false), EAGAIN);
    int sameDescription = dup(first);
    ASSERT_GE(sameDescription, 0);
    EXPECT_EQ(GetLock(sameDescription, false), 0);  // the description's own lock
    close(sameDescription);

    ASSERT_EQ(ReleaseLock(first, false), 0);
    EXPECT_EQ(GetLock(second, true), 0);
    ASSERT_EQ(GetLock(first, true), 0);
    EXPECT_EQ(refusal(first, false), EAGAIN);  // the other description still reads

    ASSERT_EQ(ReleaseLock(second, true), 0);
    EXPECT_EQ(GetLock(first, false), 0);
    EXPECT_EQ(refusal(second, true), EAGAIN);
    EXPECT_EQ(GetLock(first, true), 0);  // back to shared
    EXPECT_EQ(GetLock(second, true), 0);
    close(first);
    close(second);
}
