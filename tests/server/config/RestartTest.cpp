// What lumed makes again when it starts with the same state directory: the
// exports the configuration channel made (shares, share ids, clients,
// permissions, references; expiry afresh), not those unexported or expired
// before, nor --export ones, nor one whose directory went; after a clean stop (SIGTERM removes
// every export on the way out) and after a kill.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

#include "tests/server/Nfs3RawClient.h"
#include "tests/server/config/LumedFixture.h"

namespace {

// The share id (root handle bytes 4-7) of each directory this client may
// mount, 0 for the others.
using Listing = std::map<std::string, uint32_t>;

class Restart : public LumedFixture, public ::testing::WithParamInterface<int> {
  protected:
    Listing Mountable(const std::vector<std::string>& dirs) {
        Listing all;
        for (const std::string& dir : dirs) {
            Nfs3RawClient nfs;
            std::string error;
            uint32_t& shareId = all[dir] = 0;
            if (nfs.Mount(m_lumed.Port(), dir, error) && nfs.Root().size() >= 8)
                std::memcpy(&shareId, nfs.Root().data() + 4, sizeof(shareId));
        }
        return all;
    }
};

TEST_P(Restart, ChannelExportsComeBackAsTheyWereAndGoAsBefore) {
    const std::string kept = NewDir("kept"), fenced = NewDir("fenced"),
                      expiring = NewDir("expiring"), gone = NewDir("gone"),
                      startup = NewDir("startup"), vanished = NewDir("vanished");
    const std::vector<std::string> all = {kept, fenced, expiring, gone, startup, vanished};
    ASSERT_NO_FATAL_FAILURE(StartLumed({startup}, {"--minute-seconds", "1"}));
    const std::vector<std::string> keep = {"export",  kept, "--clients", "127.0.0.1",
                                           "--perms", "1",  "--job-id",  "7"};
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(Ctl(keep).exitCode, 0);
    ASSERT_EQ(Ctl({"export", fenced, "--clients", "10.1.2.3"}).exitCode, 0);
    // Ten one-second minutes: room for a restart, not a measurement.
    ASSERT_EQ(Ctl({"export", expiring, "--timeout", "10"}).exitCode, 0);
    ASSERT_EQ(Ctl({"export", gone}).exitCode, 0);
    ASSERT_EQ(Ctl({"unexport", gone}).exitCode, 0);
    ASSERT_EQ(Ctl({"export", vanished}).exitCode, 0);
    Listing before = Mountable(all);
    for (const std::string& dir : {kept, expiring, startup, vanished})
        ASSERT_NE(before[dir], 0u) << dir;
    ASSERT_EQ(before[fenced] + before[gone], 0u);

    m_lumed.Stop(GetParam());
    std::filesystem::remove(vanished);
    StartLumed({}, {"--minute-seconds", "1"});  // --export exports are not recorded
    before[startup] = before[vanished] = 0;
    EXPECT_EQ(Mountable(all), before);
    Nfs3RawClient nfs;
    std::string error;
    ASSERT_TRUE(nfs.Mount(m_lumed.Port(), kept, error)) << error;
    EXPECT_NE(nfs.Create(nfs.Root(), "f", UNCHECKED), NFS3_OK) << "a read-only export written";
    EXPECT_EQ(Ctl({"unexport", kept}).out, "unexported " + kept + " (references: 1)\n");
    EXPECT_EQ(Ctl({"unexport", gone}).exitCode, 1);

    bool expired = false;
    for (int i = 0; i < 600 && !expired; ++i) {  // bounded: a minute at most
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        expired = Mountable({expiring})[expiring] == 0;
    }
    EXPECT_TRUE(expired);

    // The unexport and the expiry were recorded too, and the record of the
    // vanished directory dropped.
    m_lumed.Stop(GetParam());
    NewDir("vanished");
    StartLumed({}, {"--minute-seconds", "1"});
    before[expiring] = 0;
    EXPECT_EQ(Mountable(all), before);
    EXPECT_EQ(Ctl({"unexport", kept}).out, "unexported " + kept + " (references: 0, removed)\n");
    EXPECT_EQ(Ctl({"unexport", fenced}).out,
              "unexported " + fenced + " (references: 0, removed)\n");
}

INSTANTIATE_TEST_SUITE_P(StopOrKill, Restart, ::testing::Values(SIGTERM, SIGKILL),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == SIGTERM ? "Stop" : "Kill";
                         });

}  // namespace
