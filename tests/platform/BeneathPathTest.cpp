#include "platform/BeneathPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace {

// The errno of a resolution that must fail; 0 when it succeeded.
int Refusal(const BeneathRoot& root, const std::string& relative, int flags) {
    UniqueFd fd(root.Open(relative, flags));
    return fd.Valid() ? 0 : errno;
}

}  // namespace

// No way out of the root and no link followed on the way; a final link is
// opened as itself only when asked with O_PATH | O_NOFOLLOW.
TEST(BeneathPath, NeverLeavesTheRootNorFollowsALink) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "root").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "root/sub").c_str(), 0755), 0);
    dir.WriteFile("root/sub/f", "inside");
    dir.WriteFile("secret", "outside");
    ASSERT_EQ(symlink((dir / "secret").c_str(), (dir / "root/abs").c_str()), 0);
    ASSERT_EQ(symlink("sub", (dir / "root/rel").c_str()), 0);
    BeneathRoot root(dir / "root");
    ASSERT_TRUE(root.Valid());

    const struct {
        const char* relative;
        int flags;
        int errnoWanted;
    } cases[] = {
        {"sub/f", O_RDONLY, 0},
        {"", O_PATH, 0},
        {"../secret", O_RDONLY, EXDEV},
        {"sub/../../secret", O_RDONLY, EXDEV},
        {"abs", O_RDONLY, ELOOP},
        {"rel/f", O_RDONLY, ELOOP},
        {"rel/f", O_PATH | O_NOFOLLOW, ELOOP},
        {"abs", O_PATH | O_NOFOLLOW, 0},
        {"sub/missing", O_RDONLY, ENOENT},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Refusal(root, c.relative, c.flags), c.errnoWanted) << c.relative;

    UniqueFd link(root.Open("abs", O_PATH | O_NOFOLLOW));
    struct stat st;
    ASSERT_EQ(fstat(link.Get(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReopenDescriptor(link.Get(), O_RDONLY), -1) << "a link is never opened through";
    EXPECT_EQ(errno, ELOOP);
}

// A path longer than the kernel takes in one call is resolved in pieces.
TEST(BeneathPath, ResolvesPathsLongerThanPathMax) {
    TempDir dir;
    BeneathRoot root(dir.Path());
    std::string relative;
    const std::string name(200, 'd');
    while (relative.size() < PATH_MAX + 500) {
        relative += (relative.empty() ? "" : "/") + name;
        UniqueFd parent(root.Open(relative.substr(0, relative.rfind('/') + 1), O_PATH));
        const std::string last = relative.substr(relative.rfind('/') + 1);
        ASSERT_EQ(mkdirat(parent.Get(), last.c_str(), 0755), 0) << relative.size();
    }
    UniqueFd deep(root.Open(relative + "/f", O_CREAT | O_WRONLY | O_EXCL, 0644));
    ASSERT_TRUE(deep.Valid()) << strerror(errno);
    EXPECT_EQ(Refusal(root, relative + "/f", O_RDONLY), 0);
    EXPECT_EQ(Refusal(root, relative + "/" + std::string(300, 'x'), O_RDONLY), ENAMETOOLONG);
}

TEST(BeneathPath, RelativeAndAbsoluteForms) {
    TempDir dir;
    BeneathRoot root(dir.Path());
    BeneathRoot slash("/");
    std::string relative;
    EXPECT_TRUE(root.Relative(dir / "a/b", relative));
    EXPECT_EQ(relative, "a/b");
    EXPECT_EQ(root.Absolute(relative), dir / "a/b");
    EXPECT_TRUE(root.Relative(dir.Path(), relative));
    EXPECT_EQ(relative, "");
    EXPECT_FALSE(root.Relative(dir.Path() + "x/a", relative));
    EXPECT_FALSE(root.Relative("/elsewhere", relative));
    EXPECT_TRUE(slash.Relative("/etc/hosts", relative));
    EXPECT_EQ(slash.Absolute(relative), "/etc/hosts");
}
