// MOUNT v3 as lumed serves it, driven by a real RPC client.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "tests/server/LumedProcess.h"
#include "tests/server/integration/MountClient.h"
#include "tests/support/TempDir.h"

namespace {

class LumedMount : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = m_exported.RealPath();
        std::filesystem::create_directories(m_dir + "/sub/deeper");
        std::filesystem::create_directory_symlink("sub", m_dir + "/inner");
        std::filesystem::create_directory_symlink(m_outside.RealPath(), m_dir + "/outer");
        m_exported.WriteFile("plain.txt", "not a directory");
    }
    // lumed serving m_dir, and a client of its MOUNT program.
    void StartLumed(std::vector<std::string> extraArgs = {}) {
        std::string error;
        ASSERT_TRUE(m_lumed.Start({{m_dir}, m_state.Path(), extraArgs}, error)) << error;
        m_client = std::make_unique<MountClient>(m_lumed.Port());
        ASSERT_TRUE(m_client->Connected());
    }

    TempDir m_exported, m_outside, m_state;
    std::string m_dir;
    LumedProcess m_lumed;
    std::unique_ptr<MountClient> m_client;
};

TEST_F(LumedMount, ExportRootAnswersAHandleAndBothFlavors) {
    ASSERT_NO_FATAL_FAILURE(StartLumed());
    MountClient& client = *m_client;
    EXPECT_EQ(client.Null(), RPC_SUCCESS);
    auto root = client.Mnt(m_dir);
    ASSERT_EQ(root.rpc, RPC_SUCCESS);
    ASSERT_EQ(root.status, MNT3_OK);
    EXPECT_FALSE(root.handle.empty());
    EXPECT_LE(root.handle.size(), 64u);
    EXPECT_EQ(root.flavors, (std::vector<int>{AUTH_SYS, AUTH_NONE}));
}

TEST_F(LumedMount, DirectoriesBelowTheExportMountThroughInnerLinksOnly) {
    ASSERT_NO_FATAL_FAILURE(StartLumed());
    MountClient& client = *m_client;
    auto root = client.Mnt(m_dir);
    auto sub = client.Mnt(m_dir + "/sub");
    auto deeper = client.Mnt(m_dir + "/sub/deeper");
    auto inner = client.Mnt(m_dir + "/inner");
    ASSERT_EQ(sub.status, MNT3_OK);
    ASSERT_EQ(deeper.status, MNT3_OK);
    ASSERT_EQ(inner.status, MNT3_OK);
    EXPECT_NE(sub.handle, root.handle);
    EXPECT_NE(deeper.handle, sub.handle);
    // A link inside the export to a directory inside it is that directory.
    EXPECT_EQ(inner.handle, sub.handle);

    EXPECT_EQ(client.Mnt(m_dir + "/outer").status, MNT3ERR_ACCES);
    EXPECT_EQ(client.Mnt(m_dir + "/sub/../../").status, MNT3ERR_ACCES);
    EXPECT_EQ(client.Mnt(m_dir + "/missing").status, MNT3ERR_NOENT);
    EXPECT_EQ(client.Mnt(m_dir + "/plain.txt").status, MNT3ERR_NOTDIR);
    // Paths outside every export, a sibling sharing the export's prefix too.
    for (const std::string& path :
         {m_outside.RealPath(), std::string("/"), m_dir + "-sibling", std::string("relative/path")})
        EXPECT_NE(client.Mnt(path).status, MNT3_OK) << path;
}

// Doubled and trailing slashes name the directory the plain form names; a
// NUL inside a path is refused rather than cut off (it would name a prefix).
TEST_F(LumedMount, SlashesAreFoldedAndNulIsRefused) {
    ASSERT_NO_FATAL_FAILURE(StartLumed());
    MountClient& client = *m_client;
    const std::vector<uint8_t> root = client.Mnt(m_dir).handle;
    const std::vector<uint8_t> sub = client.Mnt(m_dir + "/sub").handle;
    ASSERT_FALSE(root.empty());
    ASSERT_FALSE(sub.empty());
    const struct {
        std::string path;
        mnt_stat3 status;
        std::vector<uint8_t> handle;
    } cases[] = {
        {m_dir + "/", MNT3_OK, root},
        {m_dir + "//", MNT3_OK, root},
        {"/" + m_dir, MNT3_OK, root},
        {m_dir + "//sub", MNT3_OK, sub},
        {m_dir + "/sub//", MNT3_OK, sub},
        {"/" + m_dir + "///sub/", MNT3_OK, sub},
        {m_dir + std::string("\0/sub", 5), MNT3ERR_INVAL, {}},
        {m_dir + std::string("/sub\0", 5), MNT3ERR_INVAL, {}},
        {std::string("\0", 1) + m_dir, MNT3ERR_INVAL, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        MountClient::MntResult got = client.Mnt(c.path);
        ASSERT_EQ(got.rpc, RPC_SUCCESS);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.handle, c.handle);
    }
}

// Host names in the clients list match the name the peer's address resolves
// to, never the machine name a client puts in its credentials.
TEST_F(LumedMount, HostNamesMatchThePeersResolvedName) {
    ASSERT_NO_FATAL_FAILURE(StartLumed({"--clients", "trusted.example,LOCALHOST"}));
    MountClient& client = *m_client;
    EXPECT_EQ(client.Mnt(m_dir).status, MNT3_OK);  // 127.0.0.1 is localhost

    LumedProcess strict;
    TempDir strictState;  // a lumed of its own: its own socket
    std::string error;
    ASSERT_TRUE(
        strict.Start({{m_dir}, strictState.Path(), {"--clients", "trusted.example"}}, error))
        << error;
    MountClient claiming(strict.Port());
    ASSERT_TRUE(claiming.Connected());
    claiming.ClaimMachineName("trusted.example");
    EXPECT_EQ(claiming.Mnt(m_dir).status, MNT3ERR_ACCES);
    EXPECT_EQ(claiming.Mnt(m_dir + "/sub").status, MNT3ERR_ACCES);
    EXPECT_TRUE(claiming.Dump().empty());
}

TEST_F(LumedMount, DumpFollowsMountsAndExportListsClients) {
    ASSERT_NO_FATAL_FAILURE(StartLumed({"--clients", "127.0.0.1,10.1.0.0/16"}));
    MountClient& client = *m_client;
    ASSERT_EQ(client.Mnt(m_dir).status, MNT3_OK);
    ASSERT_EQ(client.Mnt(m_dir + "/sub").status, MNT3_OK);
    auto mounts = client.Dump();
    ASSERT_EQ(mounts.size(), 2u);
    EXPECT_EQ(mounts[0].second, m_dir);
    EXPECT_EQ(mounts[1].second, m_dir + "/sub");

    ASSERT_EQ(client.Umnt(m_dir), RPC_SUCCESS);
    mounts = client.Dump();
    ASSERT_EQ(mounts.size(), 1u);
    EXPECT_EQ(mounts[0].second, m_dir + "/sub");

    auto exports = client.Exports();
    ASSERT_EQ(exports.size(), 1u);
    EXPECT_EQ(exports[0].first, m_dir);
    EXPECT_EQ(exports[0].second, (std::vector<std::string>{"127.0.0.1", "10.1.0.0/16"}));
}

TEST_F(LumedMount, OnlyVersionThreeIsServed) {
    ASSERT_NO_FATAL_FAILURE(StartLumed());
    MountClient v1(m_lumed.Port(), MOUNT_PROGRAM, 1);
    ASSERT_TRUE(v1.Connected());
    EXPECT_EQ(v1.Null(), RPC_PROGVERSMISMATCH);
}

}  // namespace
