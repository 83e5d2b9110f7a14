// The verdicts on what a caller may do with a file (mode bits and POSIX
// ACLs, as the kernel judges them) and the write verifier.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "server/nfs/Nfs3Permissions.h"
#include "server/nfs/Nfs3WriteVerifier.h"
#include "tests/server/nfs/AclFile.h"
#include "tests/support/TempDir.h"

TEST(Nfs3Permissions, ModeBitsAndAclEntriesAsTheKernelJudgesThemAndAChangedAclAnew) {
    struct Case {
        const char* what;
        uid_t owner;
        mode_t mode;
        const char* acl;
        uid_t caller;      // its group has the same number
        gid_t supplement;  // 0: none
        unsigned held;
    } cases[] = {
        {"other by mode", 0, 0644, "", 4242, 0, 4},
        {"owner by mode", 4242, 0640, "", 4242, 0, 6},
        {"root holds all", 0, 0000, "", 0, 0, 7},
        {"named user denied", 0, 0644, "u::rw-,u:4242:---,g::r--,m::r--,o::r--", 4242, 0, 0},
        {"others unaffected", 0, 0644, "u::rw-,u:4242:---,g::r--,m::r--,o::r--", 4343, 0, 4},
        {"mask limits a named writer", 0, 0666, "u::rw-,u:4242:rw-,g::r--,m::r--,o::rw-", 4242, 0,
         4},
        {"named group by supplementary", 0, 0640, "u::rw-,g::---,g:777:rw-,m::rw-,o::---", 4343,
         777, 6},
        {"matched group class denies", 0, 0604, "u::rw-,g::---,g:777:---,m::rwx,o::r--", 4343, 777,
         0},
    };
    TempDir dir;
    for (size_t id = 0; id < std::size(cases); ++id) {
        const std::string path = dir / std::to_string(id);
        if (!MakeFileWithAcl(path, cases[id].mode, cases[id].acl))
            GTEST_SKIP() << "no POSIX ACLs on " << dir.Path();
        ASSERT_EQ(::chown(path.c_str(), cases[id].owner, cases[id].owner), 0);
    }
    // Change times old enough for the first verdicts' rules to be kept.
    ::usleep(100 * 1000);
    Nfs3Permissions permissions(64);
    const auto held = [&](size_t id, const Case& c) {
        const int fd = ::open((dir / std::to_string(id)).c_str(), O_RDONLY);
        struct stat st {};
        EXPECT_EQ(::fstat(fd, &st), 0);
        const OxUserToken who{
            c.caller, c.caller,
            c.supplement ? std::vector<gid_t>{c.supplement} : std::vector<gid_t>{}};
        const unsigned verdict = permissions.Held(fd, id, st, who);
        ::close(fd);
        return verdict;
    };
    for (size_t id = 0; id < std::size(cases); ++id) {
        EXPECT_EQ(held(id, cases[id]), cases[id].held) << cases[id].what;
        EXPECT_EQ(held(id, cases[id]), cases[id].held) << cases[id].what << ", rules kept";
    }
    // A changed ACL moves the change time, and the kept rules go.
    ASSERT_TRUE(MakeFileWithAcl(dir / "3", 0644, "u::rw-,u:4242:r--,g::r--,m::r--,o::r--"));
    EXPECT_EQ(held(3, cases[3]), 4u);
}

TEST(Nfs3WriteVerifier, StaysUntilDataMayBeLost) {
    Nfs3WriteVerifier verifier;
    char first[NFS3_WRITEVERFSIZE], again[NFS3_WRITEVERFSIZE], renewed[NFS3_WRITEVERFSIZE];
    verifier.CopyTo(first);
    verifier.CopyTo(again);
    EXPECT_EQ(std::memcmp(first, again, sizeof first), 0);
    verifier.Renew();
    verifier.CopyTo(renewed);
    EXPECT_NE(std::memcmp(first, renewed, sizeof first), 0);
}
