// The expiry sweeper: which exports it removes, in whose minutes, and that
// stopping it does not wait out its period.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "host/ExportCache.h"
#include "platform/StateDir.h"
#include "server/lumed/ExportSweeper.h"
#include "tests/host/RemovingFsm.h"
#include "tests/host/TestExport.h"
#include "tests/support/TempDir.h"

namespace {

ExportPtr AddExport(const std::string& path, uint32_t shareId, unsigned minutes,
                    time_t lastAccess) {
    ExportPtr exp(new TestExport(path, shareId));
    exp->SetExpiryInterval(minutes);
    exp->SetLastAccessTime(lastAccess);
    gAllExports->AddExport(exp);
    return exp;
}

TEST(ExportSweeper, RemovesOnlyExportsWhoseIntervalPassedInItsOwnMinutes) {
    TempDir state;  // where removals are recorded
    SetPlatformStateDir(state.Path());
    const time_t now = 1000000;
    AddExport("/srv/never", 901, 0, now - 100000);
    AddExport("/srv/fresh", 902, 2, now - 1);  // two 1-second minutes, one gone
    AddExport("/srv/stale", 903, 2, now - 2);  // exactly due
    AddExport("/srv/older", 904, 1, now - 50);
    RemovingFsm fsm;
    ExportSweeper sweeper(&fsm, 1);
    EXPECT_EQ(sweeper.SweepOnce(now), 2u);
    EXPECT_EQ(fsm.removedPaths, (std::vector<std::string>{"/srv/stale", "/srv/older"}));
    ExportPtr left;
    EXPECT_TRUE(gAllExports->FindExport(std::string("/srv/never"), left));
    EXPECT_TRUE(gAllExports->FindExport(std::string("/srv/fresh"), left));

    // In real minutes the same moment expires nothing more.
    ExportSweeper realMinutes(&fsm, 60);
    AddExport("/srv/minute", 905, 1, now - 59);
    EXPECT_EQ(realMinutes.SweepOnce(now), 0u);
    EXPECT_EQ(realMinutes.SweepOnce(now + 1), 1u);
}

TEST(ExportSweeper, StopWakesTheThreadWithoutWaitingOutItsPeriod) {
    RemovingFsm fsm;
    ExportSweeper sweeper(&fsm, 60, std::chrono::hours(1));
    const auto started = std::chrono::steady_clock::now();
    sweeper.Start();
    sweeper.Stop();  // would hang for an hour were the wait not woken
    sweeper.Stop();  // a second stop is harmless
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::minutes(1));
}

}  // namespace
