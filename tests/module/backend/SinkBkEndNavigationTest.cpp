#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "module/backend/SinkBkEndObj.h"
#include "module/filehandle/SinkFSMPathCache.h"
#include "tests/module/backend/BackendTest.h"
#include "tests/support/OpenDescriptors.h"

namespace {

class SinkBkEndNavigationTest : public BackendTest {
  protected:
    const std::string& root = exported.dir.Path();
    boost::shared_ptr<SinkBkEndObj> rootObject = Object(root);
};

TEST_F(SinkBkEndNavigationTest, CreateChildMakesAClosedEmptyFileOrADirectory) {
    exported.dir.WriteFile("old", "content");
    size_t descriptors = OpenDescriptorCount();
    for (int flags : {O_RDONLY, O_CREAT, O_APPEND | O_RDWR}) {
        errno = EBADF;
        boost::shared_ptr<BkEndProc> child = rootObject->CreateChildFile(&ctx, "old", flags, 0640);
        ASSERT_TRUE(child) << flags;
        EXPECT_EQ(errno, 0);
        EXPECT_EQ(child->GetClientPath(), root + "/old");
        EXPECT_EQ(Lstat(root + "/old").st_size, 0) << "an existing file is truncated";
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors) << "the new file is left closed";
    // O_EXCL refuses any existing name, a link included, and follows none.
    ASSERT_EQ(::symlink("old", (root + "/link").c_str()), 0);
    for (const char* name : {"old", "link"}) {
        errno = 0;
        EXPECT_FALSE(rootObject->CreateChildFile(&ctx, name, O_CREAT | O_EXCL, 0640)) << name;
        EXPECT_EQ(errno, EEXIST) << name;
    }

    mode_t savedMask = ::umask(022);
    ASSERT_TRUE(rootObject->CreateChildFile(&ctx, "new", O_RDONLY, 0640));
    ::umask(savedMask);
    EXPECT_EQ(Lstat(root + "/new").st_mode, S_IFREG | 0640u);

    errno = 0;
    EXPECT_FALSE(rootObject->CreateChildFile(&ctx, "nodir/x", 0, 0644));
    EXPECT_EQ(errno, ENOENT);
    ASSERT_TRUE(rootObject->CreateChildDir(&ctx, "d", 0755));
    EXPECT_TRUE(S_ISDIR(Lstat(root + "/d").st_mode));
    errno = 0;
    EXPECT_FALSE(rootObject->CreateChildDir(&ctx, "d", 0755));
    EXPECT_EQ(errno, EEXIST);
}

// FindChild joins the name as given; GetParent goes one level up; a new
// object's handle resolves only once the object gave one out.
TEST_F(SinkBkEndNavigationTest, FindChildGetParentAndThePathCache) {
    ASSERT_EQ(::mkdir((root + "/x").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/x/y").c_str(), 0755), 0);
    errno = 0;
    EXPECT_FALSE(rootObject->FindChild(&ctx, "missing"));
    EXPECT_EQ(errno, ENOENT);
    errno = EBADF;
    boost::shared_ptr<BkEndProc> child = rootObject->FindChild(&ctx, "x");
    ASSERT_TRUE(child);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(child->GetClientPath(), root + "/x");
    EXPECT_EQ(rootObject->FindChild(&ctx, ".")->GetClientPath(), root + "/.");
    EXPECT_EQ(Object(root + "/x/y")->GetParent(&ctx)->GetClientPath(), root + "/x");

    unsigned long checksum = static_cast<SinkBkEndObj&>(*child).GetFileChecksum();
    std::string path;
    EXPECT_FALSE(exported.Sink().GetPathCache()->Find(checksum, path));
    nfs_fh3 fh;
    child->GetFileHandle(fh);
    ASSERT_TRUE(exported.Sink().GetPathCache()->Find(checksum, path));
    EXPECT_EQ(path, root + "/x");
}

}  // namespace
