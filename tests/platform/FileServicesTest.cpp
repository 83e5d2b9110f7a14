#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/CRaUTFOSAPI.h"
#include "platform/Directory.h"
#include "platform/DrillHole.h"
#include "tests/support/TempDir.h"

TEST(PlatformDrillHole, FreesBlocksKeepsSizeReadsZerosAndRefusesBadArguments) {
    TempDir dir;
    const size_t kSize = 1 << 20, kHole = 256 * 1024, kHoleLength = 512 * 1024;
    std::string path = dir.WriteFile("data", std::string(kSize, '\xab'));
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fsync(fd), 0);
    struct stat before {};
    ASSERT_EQ(fstat(fd, &before), 0);

    std::string err;
    ASSERT_EQ(DrillHole(fd, kHole, kHoleLength, err), 0) << err;
    struct stat after {};
    ASSERT_EQ(fstat(fd, &after), 0);
    EXPECT_EQ(after.st_size, static_cast<off_t>(kSize));
    EXPECT_LE(after.st_blocks, before.st_blocks - static_cast<blkcnt_t>(kHoleLength / 512));

    std::vector<char> content(kSize);
    ASSERT_EQ(pread(fd, content.data(), kSize, 0), static_cast<ssize_t>(kSize));
    close(fd);
    EXPECT_EQ(content[kHole - 1], '\xab');
    EXPECT_EQ(std::string(&content[kHole], kHoleLength), std::string(kHoleLength, '\0'));
    EXPECT_EQ(content[kHole + kHoleLength], '\xab');

    err.clear();                             // bad arguments are refused with readable errors
    EXPECT_EQ(DrillHole(-1, 0, 0, err), 0);  // nothing to punch: no call made
    EXPECT_EQ(DrillHole(-1, -1, 10, err), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(DrillHole(-1, 0, -10, err), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(DrillHole(-1, 0, 10, err), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_NE(err.find(std::strerror(EBADF)), std::string::npos) << err;
    EXPECT_NE(err.find("offset 0 length 10"), std::string::npos) << err;
}

TEST(PlatformDirectory, CreateMakesParentsAndTheFileApiReportsErrno) {
    TempDir dir;
    std::string deep = dir / "a/b/c";
    EXPECT_EQ(FXErrorUtil::GetErrNo(CRaDirectory::Create(deep, false)), ENOENT);
    EXPECT_FALSE(CRaDirectory::Create(deep, true).IsError());
    EXPECT_TRUE(FXFolder::DoesFolderExist(deep));
    EXPECT_FALSE(CRaDirectory::Create(deep + "/", true).IsError());
    EXPECT_FALSE(CRaDirectory::Create(deep, false).IsError());

    std::string file = dir.WriteFile("plain", "");
    EXPECT_EQ(FXErrorUtil::GetErrNo(CRaDirectory::Create(file, true)), EEXIST);
    EXPECT_EQ(FXErrorUtil::GetErrNo(CRaDirectory::Create(file + "/sub", true)), ENOTDIR);
    EXPECT_FALSE(FXFolder::DoesFolderExist(file));
    EXPECT_FALSE(FXFolder::DoesFolderExist(dir / "missing"));
    ASSERT_EQ(symlink(deep.c_str(), (dir / "link").c_str()), 0);
    EXPECT_TRUE(FXFolder::DoesFolderExist(dir / "link"));

    int fd = 7;  // the file API reports errno, and opens close-on-exec
    EXPECT_EQ(CRaUTFOSAPI::open(fd, dir / "missing", O_RDONLY, 0).AsString(),
              "No such file or directory (2)");
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(CRaError().AsString(), "Success");

    ASSERT_FALSE(CRaUTFOSAPI::creat(fd, dir / "new", 0644).IsError());
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    close(fd);
    EXPECT_EQ(FXErrorUtil::GetErrNo(CRaUTFOSAPI::rmdir(dir / "new")), ENOTDIR);
}
