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
    LumectlRun first = Ctl({"export", dir});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out, "exported " + dir + " as " + dir + " (references: 1)\n");
    EXPECT_TRUE(Mountable(dir));

    LumectlRun second = Ctl({"--json", "export", dir});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    nlohmann::json report = nlohmann::json::parse(second.out);
    EXPECT_EQ(report["status"], 0);
    EXPECT_EQ(report["share"], dir);
    EXPECT_EQ(report["references"], 2);
    EXPECT_TRUE(report["message"].is_null());

    EXPECT_EQ(Ctl({"unexport", dir}).out, "unexported " + dir + " (references: 1)\n");
    EXPECT_TRUE(Mountable(dir));
    EXPECT_EQ(Ctl({"unexport", dir}).out, "unexported " + dir + " (references: 0, removed)\n");
    EXPECT_FALSE(Mountable(dir));

    LumectlRun gone = Ctl({"unexport", dir});
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_EQ(gone.err, "lumectl: unexport failed: status 2: Share not exported.\n");
}

// Only root on the local socket is this machine: a caller over TCP is
// nobody in particular, may not export a private directory, nor remove,
// lock in or punch holes in another's export (the module's tests see that
// a refusal changes nothing); a user the socket does not admit cannot even
// call.
TEST_F(Lumectl, AnUnprovedCallerIsRefusedWithTheModulesStatusAndText) {
    std::string dir = NewDir("private");
    LumectlRun refused = Remote({"export", dir});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "lumectl: export failed: status 11: This path is not in allowed paths.\n");
    LumectlRun json = Remote({"--json", "export", dir});
    EXPECT_EQ(json.exitCode, 1);
    nlohmann::json report = nlohmann::json::parse(json.out);
    EXPECT_EQ(report["status"], 11);
    EXPECT_EQ(report["message"], "This path is not in allowed paths.");
    EXPECT_EQ(report["ok"], false);

    ASSERT_EQ(Ctl({"export", dir}).exitCode, 0);
    const std::vector<std::vector<std::string>> attempts = {
        {"unexport", dir},
        {"lock", dir, "f", "--owner", "1", "--write"},
        {"drill-hole", dir, "f", "--offset", "0", "--length", "4096"}};
    for (const auto& attempt : attempts) {
        LumectlRun run = Remote(attempt);
        EXPECT_EQ(run.exitCode, 1) << attempt[0];
        EXPECT_NE(run.err.find("status 11"), std::string::npos) << attempt[0] << run.err;
    }

    LumectlRun stranger = RunLumectl({"--socket", Socket(), "export", dir}, {{65534, 65534}});
    EXPECT_EQ(stranger.exitCode, 3) << stranger.out << stranger.err;
}

// What lumectl prints of the lock calls, and that the last unexport
// releases every lock of the export (the lock states themselves are the
// module's: LockStates, LockDescriptors).
TEST_F(Lumectl, LockOwnersContendAndLoseTheirLocksWithTheExport) {
    std::string dir = NewDir("locks");
    std::ofstream(dir + "/f") << "data";
    ASSERT_EQ(Ctl({"export", dir}).exitCode, 0);
    auto lock = [&](const char* owner) {
        return Ctl({"lock", dir, "f", "--owner", owner, "--write"});
    };

    LumectlRun taken = lock("7");
    EXPECT_EQ(taken.exitCode, 0) << taken.err;
    EXPECT_EQ(taken.out, "locked " + dir + ":f for owner 7 (status 20)\n");
    LumectlRun contended = lock("8");
    EXPECT_EQ(contended.exitCode, 1);
    EXPECT_NE(contended.err.find("lumectl: lock failed: status 21"), std::string::npos);
    EXPECT_EQ(Ctl({"lock-status", dir, "f"}).out, dir + ":f is locked by owner 7 (status 26)\n");
    EXPECT_EQ(Ctl({"unlock", dir, "f", "--owner", "7"}).out,
              "unlocked " + dir + ":f for owner 7 (status 22)\n");
    EXPECT_EQ(lock("8").exitCode, 0);

    ASSERT_EQ(Ctl({"unexport", dir}).exitCode, 0);
    ASSERT_EQ(Ctl({"export", dir}).exitCode, 0);
    LumectlRun status = Ctl({"lock-status", dir, "f"});
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_EQ(status.out, dir + ":f is not locked (status 27)\n");
    EXPECT_EQ(lock("9").exitCode, 0);
}

TEST_F(Lumectl, DrillHoleFreesTheBlocksOfAFileAndKeepsItsSize) {
    std::string dir = NewDir("holes");
    const std::string big = dir + "/big";
    std::ofstream(big) << std::string(1 << 20, 'x');
    ::chmod(big.c_str(), 0666);  // the squashed export user punches it
    ASSERT_EQ(Ctl({"export", dir}).exitCode, 0);
    struct stat before;
    ASSERT_EQ(::stat(big.c_str(), &before), 0);

    LumectlRun hole = Ctl({"drill-hole", dir, "big", "--offset", "0", "--length", "524288"});
    ASSERT_EQ(hole.exitCode, 0) << hole.err;
    EXPECT_EQ(hole.out, "drilled a hole in " + dir + ":big at offset 0, length 524288\n");
    struct stat after;
    ASSERT_EQ(::stat(big.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_LE(after.st_blocks, before.st_blocks - 512 * 1024 / 512);

    LumectlRun missing = Ctl({"drill-hole", dir, "absent", "--offset", "0", "--length", "1"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "lumectl: drill-hole failed: status -1\n");
}

// Without keep-alives the export would expire within the eight seconds, as
// the expiring export of Restart.ChannelExportsComeBackAsTheyWereAndGoAsBefore does.
TEST_F(Lumectl, KeepAliveHoldsAnExportPastItsExpiry) {
    std::string dir = NewDir("expiring");
    // Five "minutes" of a second each.
    ASSERT_EQ(Ctl({"export", dir, "--timeout", "5"}).exitCode, 0);
    for (int i = 0; i < 40; ++i) {  // eight seconds of keep-alives
        ASSERT_EQ(Ctl({"keepalive", dir}).exitCode, 0);
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
