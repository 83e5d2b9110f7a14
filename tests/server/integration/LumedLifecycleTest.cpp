// lumed as a process: start, stop, and what a user sees through libnfs and
// its tools.
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/server/LumedProcess.h"
#include "tests/server/NfsClient.h"
#include "tests/server/integration/MountClient.h"
#include "tests/support/TempDir.h"

namespace {

constexpr uint32_t kNfsProgram = 100003;

bool ServesNfs(uint16_t port) {
    MountClient nfs(port, kNfsProgram, 3);
    return nfs.Connected() && nfs.Null() == RPC_SUCCESS;
}

TEST(LumedLifecycle, SigtermExitsZeroAndRemovesTheExports) {
    TempDir exported, state;
    LumedProcess lumed;
    std::string error;
    ASSERT_TRUE(lumed.Start({{exported.RealPath()}, state.Path(), {}}, error)) << error;
    EXPECT_NE(lumed.Output().find("lumed: exporting " + exported.RealPath()), std::string::npos);
    {
        MountClient client(lumed.Port());
        ASSERT_TRUE(client.Connected());
        ASSERT_EQ(client.Mnt(exported.RealPath()).status, MNT3_OK);
    }
    int status = lumed.Stop();
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(lumed.Output().find("lumed: stopped"), std::string::npos);
    EXPECT_NE(ReadFile(state / "lumed.log").find("Removing 1 exports."), std::string::npos);
}

TEST(LumedLifecycle, StartFailsClearlyForAMissingDirectoryOrBadOption) {
    TempDir state;
    LumedProcess missing;
    std::string error;
    EXPECT_FALSE(missing.Start({{state / "no-such-dir"}, state.Path(), {}}, error));
    EXPECT_EQ(missing.Output().find("serving"), std::string::npos);

    // Bad values, and options that clash: the channel beyond loopback without
    // TLS, TLS files given in part.
    for (std::vector<std::string> args : {std::vector<std::string>{"--perms", "nine"},
                                          {"--config-bind", "0.0.0.0"},
                                          {"--tls-ca", state / "ca.pem"}}) {
        LumedProcess refused;
        EXPECT_FALSE(refused.Start({{state.Path()}, state.Path(), args}, error)) << args[0];
        EXPECT_EQ(refused.Output().find("serving"), std::string::npos);
    }
}

// A user's round trip with the libnfs tools: copy in, list, copy back out.
TEST(LumedNfs, NfsCpAndNfsLsWorkAsAUserWould) {
    TempDir exported, state, local;
    exported.WriteFile("visible-file.txt", "hello");
    // The tools run as root, squashed to nobody, who must be able to write.
    ASSERT_EQ(::chmod(exported.Path().c_str(), 01777), 0);
    std::string payload(3 << 20, '\0');
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7919 % 251);
    std::string source = local.WriteFile("payload.bin", payload);
    LumedProcess lumed;
    std::string error;
    ASSERT_TRUE(lumed.Start({{exported.RealPath()}, state.Path(), {}}, error)) << error;
    ASSERT_TRUE(ServesNfs(lumed.Port()));
    std::string dir = exported.RealPath();
    std::string remote = LumedUrl(lumed.Port(), dir + "/payload.bin");

    CommandRun run = RunCommand("nfs-cp '" + source + "' '" + remote + "'");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    run = RunCommand("nfs-cp '" + remote + "' '" + (local / "back.bin") + "'");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(ReadFile(local / "back.bin") == payload);

    run = RunCommand("nfs-ls '" + LumedUrl(lumed.Port(), dir) + "'");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("visible-file.txt"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(std::to_string(payload.size()) + " payload.bin"), std::string::npos)
        << run.output;
}

}  // namespace
