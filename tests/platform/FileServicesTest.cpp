#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
    ASSERT_EQ(fsync(fd), 0);
    struct stat before {};
    ASSERT_EQ(fstat(fd, &before), 0);

    std::string err;
    ASSERT_EQ(DrillHole(fd, kHole, kHoleLength, err), 0) << err;
    struct stat after {};
    ASSERT_EQ(fstat(fd, &after), 0);
    EXPECT_EQ(after.st_size, static_cast<off_t>(kSize));
    EXPECT_LE(after.st_blocks, before.st_blocks - static_cast<blkcnt_t>(kHoleLength / 512));

    close(fd);
    EXPECT_EQ(ReadFile(path).substr(kHole - 1, kHoleLength + 2),
              '\xab' + std::string(kHoleLength, '\0') + '\xab');

    // Bad arguments are refused with readable errors; nothing to punch makes no call.
    auto refusal = [&](off_t offset, off_t length) {
        const int rc = DrillHole(-1, offset, length, err);
        return rc == -1 ? errno : rc;
    };
    EXPECT_EQ(refusal(0, 0), 0);
    EXPECT_EQ(refusal(-1, 10), EINVAL);
    EXPECT_EQ(refusal(0, -10), EINVAL);
    EXPECT_EQ(refusal(0, 10), EBADF);
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

// The path is walked a name at a time and no link on it is followed,
// whether it leads to a directory or stands last; nothing is made through
// it.
TEST(PlatformDirectory, CreateFollowsNoSymbolicLink) {
    TempDir dir;
    const std::string target = dir / "target";
    ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    ASSERT_EQ(symlink(target.c_str(), (dir / "link").c_str()), 0);
    // A relative path starts at the working directory, walked alike.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    struct Case {
        std::string path;
        bool recursive;
    };
    for (const Case& c :
         {Case{dir / "link/made", true}, Case{dir / "link/a/b", true}, Case{"link/made", true},
          Case{dir / "link/made", false}, Case{dir / "link", true}, Case{dir / "link", false}}) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(FXErrorUtil::GetErrNo(CRaDirectory::Create(c.path, c.recursive)), ELOOP);
        EXPECT_EQ(rmdir((target + "/made").c_str()), -1) << "nothing made through the link";
        EXPECT_EQ(rmdir((target + "/a").c_str()), -1);
    }
    EXPECT_FALSE(CRaDirectory::Create("rel/a", true).IsError());
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_TRUE(FXFolder::DoesFolderExist(dir / "rel/a"));
}
