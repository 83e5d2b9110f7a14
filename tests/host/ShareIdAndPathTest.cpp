#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/ExportPath.h"
#include "host/ShareIdToPathCache.h"
#include "platform/StateDir.h"
#include "tests/support/Child.h"
#include "tests/support/TempDir.h"

namespace {

// Ids are kept in the state store: each test has its own state directory.
class host_ShareIds : public ::testing::Test {
  protected:
    void SetUp() override { SetPlatformStateDir(m_state.Path()); }
    TempDir m_state;
};

}  // namespace

// A freed id is no path's any more and goes to no other path; its own path
// gets it back.
TEST_F(host_ShareIds, OneIdPerPathAndAFreedIdStaysItsPaths) {
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath("/ids/none", false, false), 0u);
    uint32_t a = ShareIdToPathCache::GetShareIdForPath("/ids/a", true, true);
    uint32_t b = ShareIdToPathCache::GetShareIdForPath("/ids/b", true, false);
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath("/ids/a", true, false), a);
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath("/ids/a", false, false), a);
    std::string path;
    EXPECT_TRUE(ShareIdToPathCache::GetPathForShareId(b, path));
    EXPECT_EQ(path, "/ids/b");

    ShareIdToPathCache::FreeShareId(b, false);
    ShareIdToPathCache::FreeShareId(b, false);  // unknown now: ignored
    EXPECT_FALSE(ShareIdToPathCache::GetPathForShareId(b, path));
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath("/ids/b", false, false), 0u);
    std::set<uint32_t> ids;
    for (int i = 0; i < 100; ++i)
        ids.insert(
            ShareIdToPathCache::GetShareIdForPath("/ids/n" + std::to_string(i), true, false));
    EXPECT_EQ(ids.size(), 100u);
    EXPECT_EQ(ids.count(0), 0u);
    EXPECT_EQ(ids.count(b), 0u);
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath("/ids/b", true, false), b);
    ids.insert({a, b});  // the table outlives the test's state directory
    for (uint32_t id : ids)
        ShareIdToPathCache::FreeShareId(id, false);
}

// A process that allocated and died leaves its ids to the next one. This
// process opens the store only after the fork: an LMDB environment must not
// cross one.
TEST_F(host_ShareIds, AnotherProcessOnTheSameStateDirectoryGetsTheSameIds) {
    using Ids = std::array<uint32_t, 2>;
    const Ids made = FromChild<Ids>(false, [] {
        return Ids{ShareIdToPathCache::GetShareIdForPath("/ids/a", true, false),
                   ShareIdToPathCache::GetShareIdForPath("/ids/b", true, false)};
    });
    ASSERT_NE(made[0], 0u);
    // Asked in the other order, and with a new path first.
    uint32_t c = ShareIdToPathCache::GetShareIdForPath("/ids/c", true, false);
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath("/ids/b", true, false), made[1]);
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath("/ids/a", true, false), made[0]);
    EXPECT_TRUE(c != made[0] && c != made[1]) << c;
}

// The stored form has no trailing slash; normalising and back is a round trip.
TEST(host_ExportPath, StoredFormAndRoundTrip) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/srv/a//", "/srv/a"}, {"/srv/a", "/srv/a"}, {"///", "/"}, {"", ""}, {"/a//b/", "/a//b"}};
    for (const auto& c : cases) {
        std::string out = "stale", caller, back;
        ReverseNormalizeExportPath(c.first, out);
        EXPECT_EQ(out, c.second) << c.first;
        NormalizeExportPath(out, caller);
        ReverseNormalizeExportPath(caller, back);
        EXPECT_EQ(back, out) << c.first;
    }
}
