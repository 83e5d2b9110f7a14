#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/BeneathPath.h"
#include "platform/CRaIPAddr.h"
#include "platform/NameChanges.h"
#include "platform/PathUtil.h"
#include "tests/support/TempDir.h"

namespace {

struct Case {
    const char* in;
    const char* out;
};

CRaIPAddr Ip(const char* text) {
    CRaIPAddr address;
    EXPECT_TRUE(CRaIPAddr::Parse(text, address)) << text;
    return address;
}

// The errno of a resolution that must fail; 0 when it succeeded.
int Refusal(const BeneathRoot& root, const std::string& relative, int flags) {
    UniqueFd fd(root.Open(relative, flags));
    return fd.Valid() ? 0 : errno;
}

// Other processes change names on the same file system now and then, so a
// change that must leave the era alone gets a few tries to show it.
constexpr int kTries = 20;

}  // namespace

TEST(PlatformPathUtil, NormaliseCollapseAndDirName) {
    const Case dots[] = {{"/a/./b//c/../d", "/a/b/d"},
                         {"/../x", "/x"},
                         {"/", "/"},
                         {"", ""},
                         {"/a/b/", "/a/b"},
                         {"/a/..", "/"},
                         {"a/..", ""},
                         {"../../a/../b", "../../b"}};
    for (const Case& c : dots)
        EXPECT_EQ(RemoveDoubleDots(c.in, '/'), c.out) << c.in;
    EXPECT_EQ(RemoveDoubleDots("\\a\\b\\..\\c", '\\'), "\\a\\c");

    for (const Case& c : {Case{"//a///b/", "/a/b/"}, Case{"a", "a"}, Case{"////", "/"}}) {
        std::string path = c.in;
        RemoveDuplicates(path, '/');
        EXPECT_EQ(path, c.out) << c.in;
    }
    const Case parents[] = {{"/x/y/z", "/x/y"}, {"/x", "/"},     {"/", "/"},      {"x", "."},
                            {"", "."},          {"/x/y/", "/x"}, {"/x//y", "/x"}, {"x/", "."}};
    for (const Case& c : parents) {
        std::string parent = "stale";
        DirName(c.in, parent);
        EXPECT_EQ(parent, c.out) << c.in;
    }
}

TEST(PlatformIPAddr, ParsesFormatsMapsAndMatchesPrefixes) {
    EXPECT_EQ(Ip("192.168.1.20").ToString(), "192.168.1.20");  // printed as its family
    EXPECT_EQ(Ip("2001:DB8:0:0::1").ToString(), "2001:db8::1");
    EXPECT_NE(Ip("::a01:203"), Ip("10.1.2.3"));  // IPv4-compatible is not mapped
    for (const char* bad : {"", "1.2.3", "1.2.3.4/24", "host.example", "1::2::3"}) {
        CRaIPAddr out;
        EXPECT_FALSE(CRaIPAddr::Parse(bad, out)) << bad;
    }
    EXPECT_EQ(CRaIPAddr().ToString(), "");

    EXPECT_EQ(Ip("::ffff:10.1.2.3"), Ip("10.1.2.3"));  // mapped IPv6 is held as IPv4
    const auto from = [](const auto& address) {
        return CRaIPAddr::FromSockaddr(reinterpret_cast<const sockaddr*>(&address));
    };
    const sockaddr_in6 mapped{
        AF_INET6, 0, 0, {{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 1, 2, 3}}}, 0};
    EXPECT_EQ(from(mapped), Ip("10.1.2.3"));
    EXPECT_EQ(from(sockaddr_in{AF_INET, 0, {htonl(0x0a010203)}, {}}), Ip("10.1.2.3"));
    EXPECT_EQ(from(sockaddr_un{AF_UNIX, {}}).Length(), 0u);  // none

    EXPECT_TRUE(Ip("10.1.2.3").InPrefix(Ip("10.1.2.0"), 24));
    EXPECT_FALSE(Ip("10.1.3.3").InPrefix(Ip("10.1.2.0"), 24));
    EXPECT_TRUE(Ip("10.1.31.3").InPrefix(Ip("10.1.16.0"), 20));  // boundary inside a byte
    EXPECT_FALSE(Ip("10.1.32.3").InPrefix(Ip("10.1.16.0"), 20));
    EXPECT_TRUE(Ip("99.9.9.9").InPrefix(Ip("10.0.0.0"), 0));
    EXPECT_FALSE(Ip("10.1.2.4").InPrefix(Ip("10.1.2.3"), 200));  // capped at 32
    EXPECT_TRUE(Ip("2001:db8::5").InPrefix(Ip("2001:db8::"), 64));
    EXPECT_FALSE(Ip("10.0.0.1").InPrefix(Ip("::"), 0));  // families differ
}

// No way out of the root and no link followed on the way; a final link is
// opened as itself only when asked with O_PATH | O_NOFOLLOW. Paths below the
// root are named relative to it.
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

    std::string relative;  // as text, at a component boundary
    EXPECT_TRUE(root.Relative(dir / "root/a/b", relative));
    EXPECT_EQ(relative, "a/b");
    EXPECT_EQ(root.Absolute(relative), dir / "root/a/b");
    EXPECT_TRUE(root.Relative(dir / "root", relative));
    EXPECT_EQ(relative, "");
    EXPECT_FALSE(root.Relative(dir / "rootx/a", relative));
    BeneathRoot slash("/");
    EXPECT_TRUE(slash.Relative("/etc/hosts", relative));
    EXPECT_EQ(slash.Absolute(relative), "/etc/hosts");
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

// The era of name changes moves on after every change that can move an
// object found beneath a directory: any change to a directory, and a
// rename or removal of a file's name that was noted; and only then.
TEST(NameChanges, TheEraMovesOnWhenADirectoryOrANotedNameChangesOnly) {
    TempDir dir;
    NameChanges& changes = NameChanges::Process();
    if (changes.Now(dir.Path()).era == 0)
        GTEST_SKIP() << "fanotify refused: nothing is watched here";
    struct stat st;
    ASSERT_EQ(::stat(dir.Path().c_str(), &st), 0);
    EXPECT_TRUE(changes.Watched(st.st_dev));
    int round = 0;
    auto there = [&](const std::string& name) { dir.WriteFile(name, std::to_string(++round)); };
    auto move = [&](const std::string& from, const std::string& to) {
        ASSERT_EQ(std::rename((dir / from).c_str(), (dir / to).c_str()), 0);
    };
    const struct {
        const char* what;
        const char* noted;
        bool moves;
        std::function<void()> change;
    } cases[] = {
        {"a noted file renamed", "f", true, [&] { there("f"), move("f", "elsewhere"); }},
        {"a file not noted renamed", "", false, [&] { there("f"), move("f", "elsewhere"); }},
        {"a noted file removed", "f", true, [&] { there("f"), ::unlink((dir / "f").c_str()); }},
        {"a noted file renamed over", "f", true, [&] { there("f"), there("g"), move("g", "f"); }},
        {"a directory renamed", "", true, [&] { move("d", "e"); }},
        {"a directory's mode", "", true,
         [&] { ::chmod((dir / "d").c_str(), 0700 | (round++ & 1)); }},
        {"a noted file written", "f", false, [&] { there("f"); }},
        {"a noted file's mode", "f", false,
         [&] { ::chmod((dir / "f").c_str(), 0600 | (round++ & 1)); }},
    };
    for (const auto& c : cases) {
        bool moved = true;  // until a try shows otherwise
        for (int t = 0; moved && t < (c.moves ? 1 : kTries); ++t) {
            ::mkdir((dir / "d").c_str(), 0755);
            const uint64_t before = changes.Now(dir.Path()).era;
            if (*c.noted)
                changes.Note(c.noted);
            c.change();
            moved = changes.Now(dir.Path()).era != before;
        }
        EXPECT_EQ(moved, c.moves) << c.what;
    }
}
