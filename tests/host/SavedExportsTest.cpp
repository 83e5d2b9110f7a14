// The records of the channel's exports: counted per share, holding the
// export's clients, permissions and interval as it is, and gone with the
// last reference or with the export.
#include "host/SavedExports.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <vector>

#include "host/ExportCache.h"
#include "platform/StateDir.h"
#include "tests/host/TestExport.h"
#include "tests/support/TempDir.h"

TEST(host_SavedExports, CountsFollowTheChannelAndARecordGoesWithItsExport) {
    TempDir state;
    SetPlatformStateDir(state.Path());
    ExportPtr exp(new TestExport("/srv/a", 1, "10.0.0.1", SHARE_PERM_READ));
    exp->SetExpiryInterval(5);
    ASSERT_TRUE(gAllExports->AddExport(exp));
    auto readd = [&] { ASSERT_TRUE(gAllExports->AddExport(exp)); };
    auto take = [&] { gAllExports->RemoveExport(exp); };
    const struct {
        std::function<void()> act;
        uint32_t references;  // 0: no record
    } steps[] = {
        {[] { SavedExports::Referenced("/srv/a/", 7); }, 1},  // the caller's form
        {[&] { exp->FillAllowedClients("10.0.0.2"); }, 1},
        {[] { SavedExports::Referenced("/srv/a", 8); }, 2},
        {[] { SavedExports::Unreferenced("/srv/a"); }, 1},
        {[] { SavedExports::Removed("/srv/a"); }, 1},  // still exported
        {[] { SavedExports::Referenced("/srv/none", 1); }, 1},
        {[] { SavedExports::Unreferenced("/srv/a"); }, 0},  // the last reference
        {[] { SavedExports::Referenced("/srv/a", 9); }, 1},
        {take, 1},
        {[] { SavedExports::Removed("/srv/a"); }, 0},  // expired
        {readd, 0},
        {[] { SavedExports::Referenced("/srv/a", 9); }, 1},
        {take, 1},
        {[] { SavedExports::Unreferenced("/srv/a"); }, 0},  // removed at count 0
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        steps[i].act();
        std::vector<SavedExport> all = SavedExports::All();
        ASSERT_EQ(all.size(), steps[i].references ? 1u : 0u) << "step " << i;
        if (all.empty())
            continue;
        EXPECT_EQ(all[0].sharePath, "/srv/a");
        EXPECT_EQ(all[0].references, steps[i].references) << "step " << i;
        EXPECT_EQ(all[0].jobId, i < 6 ? 7u : 9u) << "step " << i;
        EXPECT_EQ(all[0].clients, i < 2 ? "10.0.0.1" : "10.0.0.1,10.0.0.2") << "step " << i;
        EXPECT_EQ(all[0].perms, SHARE_PERM_READ);
        EXPECT_EQ(all[0].timeoutMinutes, 5u);
    }
}
