// The proof that a state directory is the administrator's: what is made,
// what path comes back, and what is refused.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/StateDir.h"
#include "tests/support/TempDir.h"

namespace {

constexpr uid_t kUser = 1000;

mode_t ModeOf(const std::string& path) {
    struct stat found {};
    return ::lstat(path.c_str(), &found) == 0 ? found.st_mode & 07777 : 0;
}

// Missing directories are made 0755, never wider whatever the umask, and
// the path handed back is the real one: no link, no "." or "..".
TEST(StateDir, MissingDirectoriesAreMadeAndTheRealPathIsHandedBack) {
    TempDir dir;
    const std::string base = dir.RealPath();
    ASSERT_EQ(::symlink(base.c_str(), (base + "/link").c_str()), 0);
    const mode_t umask = ::umask(0);
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(base);
    const struct {
        const char* what;
        std::string asked, proved;
    } cases[] = {
        {"one level made", base + "/a", base + "/a"},
        {"two levels made", base + "/b/c", base + "/b/c"},
        {"through a link", base + "/link/d", base + "/d"},
        {"dots below what exists", base + "/e/./f/../g/", base + "/e/g"},
        {"an existing directory", base + "/a", base + "/a"},
        {"relative to the working directory", "relative/state", base + "/relative/state"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string proved, why;
        EXPECT_TRUE(ProveStateDir(c.asked, proved, why)) << why;
        EXPECT_EQ(proved, c.proved);
        EXPECT_EQ(ModeOf(c.proved), 0755u);
    }
    EXPECT_FALSE(std::filesystem::exists(base + "/e/f"));
    ::umask(umask);
    std::filesystem::current_path(cwd);
}

TEST(StateDir, WhatOthersCouldChangeOrLinksAreRefused) {
    TempDir dir;
    const std::string base = dir.RealPath();
    ::mkdir((base + "/theirs").c_str(), 0700);
    ASSERT_EQ(::chown((base + "/theirs").c_str(), kUser, kUser), 0);
    ASSERT_EQ(::symlink((base + "/nowhere").c_str(), (base + "/dangling").c_str()), 0);
    ASSERT_EQ(::symlink(base.c_str(), (base + "/linked").c_str()), 0);
    dir.WriteFile("file", "");
    const struct {
        const char* what;
        std::string path;
        bool stateDir;  // else a directory inside one
        std::string why;
    } cases[] = {
        {"a dangling link on the way", base + "/dangling/state", true,
         base + "/dangling is a link or not a directory"},
        {"a file on the way", base + "/file/state", true, base + "/file/state: Not a directory"},
        {"\"..\" out of a directory not made", base + "/new/../../x", true,
         base + "/new/../../x: \"..\" below a directory that does not exist"},
        {"a directory of another user", base + "/theirs", true,
         base + "/theirs is owned by uid 1000, not by root or uid 0"},
        {"a link in the place of a directory inside", base + "/linked", false,
         base + "/linked is a link or not a directory"},
        {"a directory inside of another user", base + "/theirs", false,
         base + "/theirs is owned by uid 1000, not by root or uid 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string proved, why;
        EXPECT_FALSE(c.stateDir ? ProveStateDir(c.path, proved, why)
                                : ProveStateSubdir(c.path, why));
        EXPECT_EQ(why, c.why);
    }
    std::string why;
    EXPECT_TRUE(ProveStateSubdir(base, why)) << why;
}

}  // namespace
