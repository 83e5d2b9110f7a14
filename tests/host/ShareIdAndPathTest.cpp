#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "host/ExportPath.h"
#include "host/ShareIdToPathCache.h"

TEST(host_ShareIds, OneIdPerPath) {
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
    ShareIdToPathCache::FreeShareId(a, false);
    ShareIdToPathCache::FreeShareId(b, false);
}

TEST(host_ShareIds, FreedIdsAreNotHandedOutAgainSoon) {
    uint32_t freed = ShareIdToPathCache::GetShareIdForPath("/ids/freed", true, false);
    ShareIdToPathCache::FreeShareId(freed, false);
    ShareIdToPathCache::FreeShareId(freed, false);  // unknown now: ignored
    std::string path;
    EXPECT_FALSE(ShareIdToPathCache::GetPathForShareId(freed, path));
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath("/ids/freed", false, false), 0u);

    std::set<uint32_t> ids;
    for (int i = 0; i < 100; ++i)
        ids.insert(
            ShareIdToPathCache::GetShareIdForPath("/ids/n" + std::to_string(i), true, false));
    ids.insert(ShareIdToPathCache::GetShareIdForPath("/ids/freed", true, false));
    EXPECT_EQ(ids.size(), 101u);
    EXPECT_EQ(ids.count(0), 0u);
    EXPECT_EQ(ids.count(freed), 0u);
    for (uint32_t id : ids)
        ShareIdToPathCache::FreeShareId(id, false);
}

// The stored form has no trailing slash; normalising and back is a round trip.
TEST(host_ExportPath, StoredFormAndRoundTrip) {
    const std::vector<std::pair<std::string, std::string>> cases = {{"/srv/a/", "/srv/a"},
                                                                    {"/srv/a//", "/srv/a"},
                                                                    {"/srv/a", "/srv/a"},
                                                                    {"///", "/"},
                                                                    {"/", "/"},
                                                                    {"", ""},
                                                                    {"rel/", "rel"},
                                                                    {"/a//b/", "/a//b"},
                                                                    {"/a b/c", "/a b/c"}};
    for (const auto& c : cases) {
        std::string out = "stale", caller, back;
        ReverseNormalizeExportPath(c.first, out);
        EXPECT_EQ(out, c.second) << c.first;
        NormalizeExportPath(out, caller);
        ReverseNormalizeExportPath(caller, back);
        EXPECT_EQ(back, out) << c.first;
    }
}
