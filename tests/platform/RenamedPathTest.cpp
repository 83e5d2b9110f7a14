// A recorded path followed to where its object is now: past a directory
// renamed in place at any level, never through a symbolic link, and not
// past a move to another depth.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/RenamedPath.h"
#include "tests/support/TempDir.h"

namespace {

// The names OpenRenamed found and whether they reached the file that
// a/b/c/f was, or "errno N".
std::string Follow(const TempDir& top, const std::string& relative, const struct stat& want) {
    const int topFd = ::open(top.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::string found;
    const int fd = OpenRenamed(topFd, relative, O_PATH | O_NOFOLLOW, found);
    const int err = errno;
    ::close(topFd);
    if (fd < 0)
        return "errno " + std::to_string(err);
    struct stat st;
    const bool same = ::fstat(fd, &st) == 0 && st.st_ino == want.st_ino && st.st_dev == want.st_dev;
    ::close(fd);
    return found + (same ? "" : " (another object)");
}

TEST(RenamedPath, FollowsADirectoryRenamedInPlaceButNoLinkNorMove) {
    const struct {
        const char* what;
        const char* from;  // renamed before following "a/b/c/f", "" for none
        const char* to;
        const char* link;  // made after the rename, at from
        std::string want;
    } cases[] = {
        {"nothing renamed", "", "", "", "a/b/c/f"},
        {"level 1 renamed", "a", "A", "", "A/b/c/f"},
        {"level 3 renamed", "a/b/c", "a/b/C", "", "a/b/C/f"},
        {"level 2 renamed, a link left in its place", "a/b", "a/B", "B", "a/B/c/f"},
        {"level 3 moved a level up", "a/b/c", "a/c", "", "errno " + std::to_string(ENOENT)},
        {"level 3 moved away, a link to it in its place", "a/b/c", "X", "../../X",
         "errno " + std::to_string(ENOENT)},
    };
    for (const auto& each : cases) {
        TempDir top;
        std::filesystem::create_directories(top / "a/b/c");
        const std::string file = top.WriteFile("a/b/c/f", "");
        struct stat want;
        ASSERT_EQ(::stat(file.c_str(), &want), 0);
        if (*each.from) {
            ASSERT_EQ(::rename((top / each.from).c_str(), (top / each.to).c_str()), 0);
        }
        if (*each.link) {
            ASSERT_EQ(::symlink(each.link, (top / each.from).c_str()), 0);
        }
        EXPECT_EQ(Follow(top, "a/b/c/f", want), each.want) << each.what;
    }
}

TEST(RenamedPath, RefusesNamesThatWalkElsewhere) {
    TempDir top;
    std::filesystem::create_directories(top / "a/b");
    struct stat want {};
    for (const char* relative : {"a/../a/b", "a/./b", "a//b", "/a/b", "a/b/"})
        EXPECT_EQ(Follow(top, relative, want), "errno " + std::to_string(EINVAL)) << relative;
}

}  // namespace
