// lumectl against a running lumed, run as a user would: exports and their
// references, who may export, file locks, hole punching, keep-alive and
// expiry, and the command line's own exit statuses.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/server/NfsClient.h"
#include "tests/server/config/LumedFixture.h"

namespace {

class Lumectl : public LumedFixture {
  protected:
    // A "minute" of one second lets expiry happen within a test.
    void SetUp() override { StartLumed({}, {"--minute-seconds", "1"}); }
    // Whether an NFS client can mount dir: whether it is exported.
    bool Mountable(const std::string& dir) {
        NfsClient client;
        std::string error;
        return client.Mount(m_lumed.Port(), dir, error);
    }
};

TEST_F(Lumectl, ExportsAreCountedMountableAndRemovedByTheLastUnexport) {
    std::string dir = NewDir("shared");
    EXPECT_EQ(Out(Ctl({"export", dir})), "exported " + dir + " as " + dir + " (references: 1)\n");
    EXPECT_TRUE(Mountable(dir));

    nlohmann::json report = nlohmann::json::parse(Out(Ctl({"--json", "export", dir})));
    EXPECT_EQ(report["status"], 0);
    EXPECT_EQ(report["share"], dir);
    EXPECT_EQ(report["references"], 2);
    EXPECT_TRUE(report["message"].is_null());

    EXPECT_EQ(Out(Ctl({"unexport", dir})), "unexported " + dir + " (references: 1)\n");
    EXPECT_TRUE(Mountable(dir));
    EXPECT_EQ(Out(Ctl({"unexport", dir})), "unexported " + dir + " (references: 0, removed)\n");
    EXPECT_FALSE(Mountable(dir));
    EXPECT_EQ(Refusal(Ctl({"unexport", dir})),
              "lumectl: unexport failed: status 2: Share not exported.\n");
}

// Only root on the local socket is this machine: a caller over TCP is
// nobody in particular and may not export a private directory (nor manage
// another's export: CreateExport.OnlyThisMachineCreatorsAndAllowedClientsManageAnExport,
// the caller reaching every request alike); a user the socket does not
// admit cannot even call.
TEST_F(Lumectl, AnUnprovedCallerIsRefusedWithTheModulesStatusAndText) {
    std::string dir = NewDir("private");
    EXPECT_EQ(Refusal(Remote({"export", dir})),
              "lumectl: export failed: status 11: This path is not in allowed paths.\n");
    LumectlRun json = Remote({"--json", "export", dir});
    EXPECT_EQ(json.exitCode, 1);
    nlohmann::json report = nlohmann::json::parse(json.out);
    EXPECT_EQ(report["status"], 11);
    EXPECT_EQ(report["message"], "This path is not in allowed paths.");
    EXPECT_EQ(report["ok"], false);

    LumectlRun stranger = RunLumectl({"--socket", Socket(), "export", dir}, {{65534, 65534}});
    EXPECT_EQ(stranger.exitCode, 3) << stranger.out << stranger.err;
}

// What lumectl prints of the lock calls, and that the last unexport
// releases every lock of the export (the lock states themselves are the
// module's: LockStates, LockDescriptors).
TEST_F(Lumectl, LockOwnersContendAndLoseTheirLocksWithTheExport) {
    std::string dir = NewDir("locks");
    std::ofstream(dir + "/f") << "data";
    Out(Ctl({"export", dir}));
    auto lock = [&](const char* owner) {
        return Ctl({"lock", dir, "f", "--owner", owner, "--write"});
    };

    EXPECT_EQ(Out(lock("7")), "locked " + dir + ":f for owner 7 (status 20)\n");
    EXPECT_EQ(Refusal(lock("8")).find("lumectl: lock failed: status 21"), 0u);
    EXPECT_EQ(Out(Ctl({"lock-status", dir, "f"})), dir + ":f is locked by owner 7 (status 26)\n");
    EXPECT_EQ(Out(Ctl({"unlock", dir, "f", "--owner", "7"})),
              "unlocked " + dir + ":f for owner 7 (status 22)\n");
    Out(lock("8"));

    Out(Ctl({"unexport", dir}));
    Out(Ctl({"export", dir}));
    EXPECT_EQ(Out(Ctl({"lock-status", dir, "f"})), dir + ":f is not locked (status 27)\n");
    Out(lock("9"));
}

TEST_F(Lumectl, DrillHoleFreesTheBlocksOfAFileAndKeepsItsSize) {
    std::string dir = NewDir("holes");
    const std::string big = dir + "/big";
    std::ofstream(big) << std::string(1 << 20, 'x');
    ::chmod(big.c_str(), 0666);  // the squashed export user punches it
    Out(Ctl({"export", dir}));
    struct stat before;
    ASSERT_EQ(::stat(big.c_str(), &before), 0);

    EXPECT_EQ(Out(Ctl({"drill-hole", dir, "big", "--offset", "0", "--length", "524288"})),
              "drilled a hole in " + dir + ":big at offset 0, length 524288\n");
    struct stat after;
    ASSERT_EQ(::stat(big.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_LE(after.st_blocks, before.st_blocks - 512 * 1024 / 512);

    EXPECT_EQ(Refusal(Ctl({"drill-hole", dir, "absent", "--offset", "0", "--length", "1"})),
              "lumectl: drill-hole failed: status -1\n");
}

// Without keep-alives the export would expire within the eight seconds, as
// the expiring export of Restart.ChannelExportsComeBackAsTheyWereAndGoAsBefore does.
TEST_F(Lumectl, KeepAliveHoldsAnExportPastItsExpiry) {
    std::string dir = NewDir("expiring");
    // Five "minutes" of a second each.
    Out(Ctl({"export", dir, "--timeout", "5"}));
    for (int i = 0; i < 40; ++i) {  // eight seconds of keep-alives
        Out(Ctl({"keepalive", dir}));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_TRUE(Mountable(dir));
}

TEST_F(Lumectl, UsageErrorsAndAnUnreachableServerHaveTheirOwnExitStatus) {
    LumectlRun help = RunLumectl({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Exit status:"), std::string::npos);
    EXPECT_EQ(RunLumectl({"lock", "--help"}).out.find("usage: lumectl lock SHARE FILE"), 0u);

    EXPECT_EQ(Ctl({"lock", "/x", "f", "--read"}).exitCode, 2);        // no owner
    EXPECT_EQ(Ctl({"lock", "/x", "f", "--owner", "1"}).exitCode, 2);  // no mode
    EXPECT_EQ(Ctl({"export"}).exitCode, 2);
    EXPECT_EQ(Ctl({"frobnicate", "/x"}).exitCode, 2);
    EXPECT_EQ(Ctl({"drill-hole", "/x", "f", "--offset", "-1", "--length", "1"}).exitCode, 2);
    EXPECT_EQ(Ctl({"unlock", "/x", "f", "--owner", "-1"}).exitCode, 2);            // not UINT64_MAX
    EXPECT_EQ(Ctl({"export", "/x", "--perms", "0x3"}).exitCode, 2);                // decimals only
    EXPECT_EQ(RunLumectl({"keepalive", "/x", "--socket", Socket()}).exitCode, 0);  // globals last
    // More than a call carries.
    EXPECT_EQ(Ctl({"export", "/" + std::string(4096, 'd')}).exitCode, 2);

    const std::string stopped = "127.0.0.1:" + std::to_string(m_lumed.Port());
    m_lumed.Stop();  // nothing listens there now
    LumectlRun unreachable = RunLumectl({"--server", stopped, "keepalive", "/x"});
    EXPECT_EQ(unreachable.exitCode, 3);
    EXPECT_EQ(unreachable.err.find("lumectl: cannot reach 127.0.0.1 port"), 0u);
}

}  // namespace
