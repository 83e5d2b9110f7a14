#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/exports/SinkFSMExport.h"
#include "module/filehandle/SinkFSMFileHandle.h"
#include "module/filehandle/SinkFSMPathCache.h"
#include "platform/CRaError.h"
#include "platform/CRaIPAddr.h"
#include "platform/OXPlatformInfo.h"
#include "platform/StateDir.h"
#include "tests/module/exports/ExportedDir.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace {

constexpr uint32_t kShareId = 51;

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class SinkFSMExportTest : public ::testing::Test {
  protected:
    void SetUp() override { SetPlatformStateDir(state.Path()); }
    // An export "/a" of realPath.
    ExportPtr Make(const std::string& realPath) {
        ExportPtr none;
        return ExportPtr(new SinkFSMExport("/a", realPath, SHARE_PERM_READ, "*", kShareId, none));
    }
    static SinkFSMExport& Sink(const ExportPtr& exp) { return static_cast<SinkFSMExport&>(*exp); }
    ExportPtr Rebuilt(const Export& from) { return ExportPtr(new SinkFSMExport(from)); }

    TempDir dir, state;
};

// A missing real path is refused, unless it is below an application dumps
// directory ("/OX_APP_DUMPS"), which is made on demand, as the export user.
TEST_F(SinkFSMExportTest, MissingRealPathIsRefusedUnlessItHoldsAppDumps) {
    std::string missing = dir / "missing", error;
    LogCapture log(1);
    EXPECT_EQ(Sink(Make(missing)).InitExportFileHandle(error), 10);
    EXPECT_EQ(error, "Export path does not exist.");
    EXPECT_TRUE(log.Has(1, "Export path [" + missing + "] does not exist."));
    EXPECT_FALSE(IsDirectory(missing));
    std::string noSlash = dir / "xOX_APP_DUMPS";
    EXPECT_EQ(Sink(Make(noSlash)).InitExportFileHandle(error), 10);
    EXPECT_FALSE(IsDirectory(noSlash));

    std::string dumps = dir / "x/OX_APP_DUMPS/y";
    EXPECT_EQ(Sink(Make(dumps)).InitExportFileHandle(error), 0);
    EXPECT_EQ(error, "File Handle creation failed.") << "left as set on success";
    EXPECT_TRUE(IsDirectory(dumps));

    std::string blocked = dir.WriteFile("file", "") + "/OX_APP_DUMPS/y";
    EXPECT_EQ(Sink(Make(blocked)).InitExportFileHandle(error), 10);
    std::string reason = CRaError::FromErrno(ENOTDIR).AsString();
    EXPECT_EQ(error, "Failed to create export path." + reason);
    EXPECT_TRUE(
        log.Has(1, "Failed to create export path [" + blocked + "]. Error [" + reason + "]"));

    if (geteuid() != 0)
        GTEST_SKIP() << "taking on another user's identity needs root";
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    ExportUserOverride asUser(OxUserToken{4321, 4322, {}});
    const std::string owned = dir / "OX_APP_DUMPS";
    ASSERT_EQ(Sink(Make(owned)).InitExportFileHandle(error), 0) << error;
    struct stat st;
    ASSERT_EQ(::stat(owned.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
    EXPECT_EQ(geteuid(), 0u) << "the identity is given back";
}

// The real path was resolved and authorised before the export is built: a
// symbolic link found on it now was swapped in since. It fails the export
// (a dumps directory is then neither made nor exported through it), and
// nothing is made where the link leads.
TEST_F(SinkFSMExportTest, ALinkOnTheRealPathFailsTheExportAndMakesNothing) {
    const std::string target = dir / "target";
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(target.c_str(), (dir / "link").c_str()), 0);
    const std::string loop = CRaError::FromErrno(ELOOP).AsString();
    const struct {
        std::string realPath;
        int status;
        std::string error;
    } cases[] = {
        {dir / "link", 50, "File Handle creation failed."},
        {dir / "link/OX_APP_DUMPS/y", 10, "Failed to create export path." + loop},
        {dir / "link/OX_APP_DUMPS", 10, "Failed to create export path." + loop},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.realPath);
        std::string error;
        EXPECT_EQ(Sink(Make(c.realPath)).InitExportFileHandle(error), c.status);
        EXPECT_EQ(error, c.error);
        EXPECT_FALSE(IsDirectory(target + "/OX_APP_DUMPS"));
    }
}

// An unproved caller's dumps directory is made as the directory maker the
// export was given, not as the export user.
TEST_F(SinkFSMExportTest, ADumpsDirectoryIsMadeAsItsMaker) {
    if (geteuid() != 0)
        GTEST_SKIP() << "taking on another user's identity needs root";
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0777), 0);
    const std::string dumps = dir / "OX_APP_DUMPS/job";
    ExportPtr exp = Make(dumps);
    Sink(exp).SetDirectoryMaker(OxUserToken{4321, 4322, {}});
    std::string error;
    ASSERT_EQ(Sink(exp).InitExportFileHandle(error), 0) << error;
    for (const std::string& made : {dir / "OX_APP_DUMPS", dumps}) {
        struct stat st;
        ASSERT_EQ(::stat(made.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 4321u) << made;
        EXPECT_EQ(st.st_gid, 4322u) << made;
    }
    EXPECT_EQ(geteuid(), 0u) << "the identity is given back";

    // A maker who may not write where the directory goes makes nothing.
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    ExportPtr refused = Make(dir / "other/OX_APP_DUMPS");
    Sink(refused).SetDirectoryMaker(OxUserToken{4321, 4322, {}});
    EXPECT_EQ(Sink(refused).InitExportFileHandle(error), 10);
    EXPECT_EQ(error, "Failed to create export path." + CRaError::FromErrno(EACCES).AsString());
    EXPECT_FALSE(IsDirectory(dir / "other"));
}

TEST_F(SinkFSMExportTest, RootHandleIsHandedToAnyClientOnceInitialised) {
    ExportPtr exp = Make(dir.Path());
    nfs_fh3 first, second;
    first.len = 20;
    exp->GetFileHandle(CRaIPAddr(), first);
    EXPECT_EQ(first.len, 0u);
    std::string error;
    ASSERT_EQ(Sink(exp).InitExportFileHandle(error), 0);
    TableEntry entry(exp);
    exp->GetFileHandle(CRaIPAddr(), first);
    exp->GetFileHandle(CRaIPAddr(), second);
    EXPECT_EQ(first.len, 20u);
    EXPECT_EQ(std::memcmp(&first, &second, sizeof(uint32_t) + 20), 0);
    EXPECT_EQ(SinkFSMFileHandle(exp, first).GetPath(), dir.Path());
}

// A new export names its real path and job id among its optional params
// and supports the descriptor cache. A rebuild (or a copy) takes the
// optional params but no path cache; its descriptor cache flag follows the
// registry's NoFdCache.
TEST_F(SinkFSMExportTest, OptionalParamsSurviveARebuildButNoPathCache) {
    LogCapture log(10);
    Make("/b");  // made and gone at once
    EXPECT_EQ(log.CountContaining("] created"), 1u);
    EXPECT_EQ(log.CountContaining("] deleted"), 1u);
    ExportPtr original = Make(dir.Path());
    EXPECT_EQ(Sink(original).ToStr(), "MountPath: /aRealPath: " + dir.Path());
    std::string value;
    ASSERT_TRUE(original->GetOptionalParam("RealPath", value));
    EXPECT_EQ(value, dir.Path());
    EXPECT_FALSE(original->GetOptionalParam("JobId", value));
    Sink(original).SetJobId(42);
    ASSERT_TRUE(original->GetOptionalParam("JobId", value));
    EXPECT_EQ(value, "42");
    EXPECT_TRUE(original->isLumeFDCacheSupported());

    ExportPtr rebuilt = Rebuilt(*original);
    EXPECT_EQ(Sink(rebuilt).GetRealPath(), dir.Path());
    EXPECT_EQ(Sink(rebuilt).GetJobId(), 42u);
    Sink(original).SetJobId(4000000000UL);  // share ids, and so job ids, run past INT_MAX
    EXPECT_EQ(Sink(Rebuilt(*original)).GetJobId(), 4000000000UL);
    EXPECT_FALSE(Sink(rebuilt).GetPathCache());
    EXPECT_FALSE(SinkFSMExport(Sink(original)).GetPathCache());

    OXPlatformInfo registry;
    EXPECT_FALSE(rebuilt->isLumeFDCacheSupported()) << "value missing";
    ASSERT_NE(registry.setNumber("Lume", "NoFdCache", 0), 0);
    EXPECT_FALSE(Rebuilt(*original)->isLumeFDCacheSupported()) << "value 0";
    ASSERT_NE(registry.setNumber("Lume", "NoFdCache", 1), 0);
    EXPECT_TRUE(Rebuilt(*original)->isLumeFDCacheSupported()) << "value 1";
}

// A new export's path cache holds the registry's PathCacheEntries when that
// is a number above 0, else the default.
TEST_F(SinkFSMExportTest, PathCacheCapacityComesFromTheRegistry) {
    OXPlatformInfo registry;
    struct Case {
        const char* what;
        std::function<void()> set;
        std::size_t capacity;
    };
    const std::vector<Case> cases = {
        {"missing", [&] { registry.removeValue("Lume", "PathCacheEntries"); },
         SinkFSMPathCache::kDefaultCapacity},
        {"8", [&] { ASSERT_NE(registry.setNumber("Lume", "PathCacheEntries", 8), 0); }, 8},
        {"0", [&] { ASSERT_NE(registry.setNumber("Lume", "PathCacheEntries", 0), 0); },
         SinkFSMPathCache::kDefaultCapacity},
        {"a directory",
         [&] { ASSERT_NE(registry.setDirectory("Lume", "PathCacheEntries", "/x"), 0); },
         SinkFSMPathCache::kDefaultCapacity},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.set();
        EXPECT_EQ(Sink(Make(dir.Path())).GetPathCache()->Capacity(), c.capacity);
    }
    registry.removeValue("Lume", "PathCacheEntries");
}

}  // namespace
