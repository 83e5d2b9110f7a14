// lumectl against a running lumed, run as a user would: exports and their
// references, who may export, file locks, hole punching, keep-alive and
// expiry, and the command line's own exit statuses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nfsc/libnfs.h>

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
    void SetUp() override { StartLumed({m_startup.RealPath()}, {"--minute-seconds", "1"}); }
    // Whether an NFS client can mount dir: whether it is exported.
    bool Mountable(const std::string& dir) {
        NfsClient client;
        std::string error;
        return client.Mount(m_lumed.Port(), dir, error);
    }

    TempDir m_startup;
};

TEST_F(Lumectl, ExportsAreCountedMountableAndRemovedByTheLastUnexport) {
    std::string dir = NewDir("shared");
    LumectlRun first = Ctl({"export", dir});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.out, "exported " + dir + " as " + dir + " (references: 1)\n");
    NfsClient nfs;
    std::string error;
    EXPECT_TRUE(nfs.Mount(m_lumed.Port(), dir, error)) << error;

    LumectlRun second = Ctl({"--json", "export", dir});
    ASSERT_EQ(second.exitCode, 0) << second.err;
    nlohmann::json report = nlohmann::json::parse(second.out);
    EXPECT_EQ(report["status"], 0);
    EXPECT_EQ(report["share"], dir);
    EXPECT_EQ(report["references"], 2);
    EXPECT_TRUE(report["message"].is_null());

    LumectlRun down = Ctl({"unexport", dir});
    EXPECT_EQ(down.out, "unexported " + dir + " (references: 1)\n");
    EXPECT_TRUE(Mountable(dir));
    LumectlRun last = Ctl({"unexport", dir});
    EXPECT_EQ(last.out, "unexported " + dir + " (references: 0, removed)\n");
    EXPECT_FALSE(Mountable(dir));

    LumectlRun gone = Ctl({"unexport", dir});
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_EQ(gone.err, "lumectl: unexport failed: status 2: Share not exported.\n");
}

// Only root on the local socket is this machine: a caller over TCP is
// nobody in particular, may not export a private directory, nor remove,
// keep, lock in or punch holes in another's export; a user the socket does
// not admit cannot even call.
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
    EXPECT_FALSE(Mountable(dir));

    std::ofstream(dir + "/f") << std::string(8192, 'x');
    ASSERT_EQ(Ctl({"export", dir}).exitCode, 0);
    struct stat before, after;
    ASSERT_EQ(::stat((dir + "/f").c_str(), &before), 0);
    const std::vector<std::vector<std::string>> attempts = {
        {"unexport", dir},
        {"lock", dir, "f", "--owner", "1", "--write"},
        {"drill-hole", dir, "f", "--offset", "0", "--length", "4096"}};
    for (const auto& attempt : attempts) {
        LumectlRun run = Remote(attempt);
        EXPECT_EQ(run.exitCode, 1) << attempt[0];
        EXPECT_NE(run.err.find("status 11"), std::string::npos) << attempt[0] << run.err;
    }
    EXPECT_TRUE(Mountable(dir));
    EXPECT_EQ(Ctl({"lock-status", dir, "f"}).out.find("locked by"), std::string::npos)
        << "a lock was taken";
    ASSERT_EQ(::stat((dir + "/f").c_str(), &after), 0);
    EXPECT_EQ(after.st_blocks, before.st_blocks) << "a hole was punched";

    LumectlRun stranger = RunLumectl({"--socket", Socket(), "export", dir}, {{65534, 65534}});
    EXPECT_EQ(stranger.exitCode, 3) << stranger.out << stranger.err;
}

TEST_F(Lumectl, LockOwnersContendUpgradeDowngradeAndLoseTheirLocksWithTheExport) {
    std::string dir = NewDir("locks");
    std::ofstream(dir + "/f") << "data";
    ASSERT_EQ(Ctl({"export", dir}).exitCode, 0);
    auto lock = [&](const char* owner, const char* mode) {
        return Ctl({"lock", dir, "f", "--owner", owner, mode});
    };

    LumectlRun taken = lock("7", "--write");
    EXPECT_EQ(taken.exitCode, 0) << taken.err;
    EXPECT_EQ(taken.out, "locked " + dir + ":f for owner 7 (status 20)\n");
    LumectlRun contended = lock("8", "--write");
    EXPECT_EQ(contended.exitCode, 1);
    EXPECT_NE(contended.err.find("lumectl: lock failed: status 21"), std::string::npos);
    EXPECT_EQ(Ctl({"lock-status", dir, "f"}).out, dir + ":f is locked by owner 7 (status 26)\n");

    // Downgrade to a read lock lets another reader in; a writer still waits.
    EXPECT_EQ(lock("7", "--read").exitCode, 0);
    EXPECT_EQ(lock("8", "--read").exitCode, 0);
    EXPECT_EQ(lock("9", "--write").exitCode, 1);
    // With the other reader gone, the remaining reader upgrades.
    EXPECT_EQ(Ctl({"unlock", dir, "f", "--owner", "8"}).out,
              "unlocked " + dir + ":f for owner 8 (status 22)\n");
    EXPECT_EQ(lock("7", "--write").exitCode, 0);
    EXPECT_EQ(lock("8", "--read").exitCode, 1);

    // The last unexport releases every lock of the export.
    ASSERT_EQ(Ctl({"unexport", dir}).exitCode, 0);
    ASSERT_EQ(Ctl({"export", dir}).exitCode, 0);
    LumectlRun status = Ctl({"lock-status", dir, "f"});
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_EQ(status.out, dir + ":f is not locked (status 27)\n");
    EXPECT_EQ(lock("8", "--write").exitCode, 0);
}

TEST_F(Lumectl, DrillHoleFreesTheBlocksOfAFileWrittenOverNfsAndKeepsItsSize) {
    std::string dir = NewDir("holes");
    ASSERT_EQ(Ctl({"export", dir}).exitCode, 0);
    NfsClient nfs;
    std::string error;
    ASSERT_TRUE(nfs.Mount(m_lumed.Port(), dir, error)) << error;
    const std::vector<char> data(1 << 20, 'x');
    nfsfh* file = nullptr;
    ASSERT_EQ(nfs_creat(nfs.Context(), "/big", 0644, &file), 0) << nfs_get_error(nfs.Context());
    ASSERT_EQ(nfs_write(nfs.Context(), file, data.size(), data.data()),
              static_cast<int>(data.size()));
    ASSERT_EQ(nfs_close(nfs.Context(), file), 0);
    struct stat before;
    ASSERT_EQ(::stat((dir + "/big").c_str(), &before), 0);

    LumectlRun hole = Ctl({"drill-hole", dir, "big", "--offset", "0", "--length", "524288"});
    ASSERT_EQ(hole.exitCode, 0) << hole.err;
    EXPECT_EQ(hole.out, "drilled a hole in " + dir + ":big at offset 0, length 524288\n");
    struct stat after;
    ASSERT_EQ(::stat((dir + "/big").c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_LE(after.st_blocks, before.st_blocks - 512 * 1024 / 512);

    LumectlRun missing = Ctl({"drill-hole", dir, "absent", "--offset", "0", "--length", "1"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "lumectl: drill-hole failed: status -1\n");
}

TEST_F(Lumectl, KeepAliveHoldsAnExportPastItsExpiryAndItsAbsenceLetsItExpire) {
    std::string dir = NewDir("expiring");
    // Five "minutes" of a second each.
    ASSERT_EQ(Ctl({"export", dir, "--timeout", "5"}).exitCode, 0);
    for (int i = 0; i < 40; ++i) {  // eight seconds of keep-alives
        ASSERT_EQ(Ctl({"keepalive", dir}).exitCode, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_TRUE(Mountable(dir));
    bool exported = true;
    for (int i = 0; i < 600 && exported; ++i) {  // bounded: a minute at most
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        exported = Mountable(dir);
    }
    EXPECT_FALSE(exported);
    EXPECT_EQ(Ctl({"unexport", dir}).exitCode, 1);  // already gone
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
    EXPECT_EQ(Ctl({"export", "/" + std::string(4096, 'd')}).exitCode,
              2);  // more than a call carries

    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(probe);  // nothing listens there now
    LumectlRun unreachable = RunLumectl(
        {"--server", "127.0.0.1:" + std::to_string(ntohs(address.sin_port)), "keepalive", "/x"});
    EXPECT_EQ(unreachable.exitCode, 3);
    EXPECT_EQ(unreachable.err.find("lumectl: cannot reach 127.0.0.1 port"), 0u);
}

}  // namespace
