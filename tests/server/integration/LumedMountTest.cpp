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
        ASSERT_TRUE(m_lumed.Start({{m_dir}, m_state.Path(), extraArgs})) << m_lumed.Output();
        m_client = std::make_unique<MountClient>(m_lumed.Port());
        ASSERT_TRUE(m_client->Connected());
    }

    TempDir m_exported, m_outside, m_state;
    std::string m_dir;
    LumedProcess m_lumed;
    std::unique_ptr<MountClient> m_client;
};

// The root's handle with both flavors, the mounts DUMP lists until UMNT,
// and no version but 3.
TEST_F(LumedMount, TheRootMountsWithBothFlavorsAndDumpListsTheMounts) {
    ASSERT_NO_FATAL_FAILURE(StartLumed());
    EXPECT_EQ(m_client->Null(), RPC_SUCCESS);
    auto root = m_client->Mnt(m_dir);
    ASSERT_EQ(root.status, MNT3_OK);
    EXPECT_FALSE(root.handle.empty());
    EXPECT_LE(root.handle.size(), 64u);
    EXPECT_EQ(root.flavors, (std::vector<int>{AUTH_SYS, AUTH_NONE}));

    ASSERT_EQ(m_client->Mnt(m_dir + "/sub").status, MNT3_OK);
    EXPECT_EQ(m_client->Dump(), (std::vector<std::string>{m_dir, m_dir + "/sub"}));
    ASSERT_EQ(m_client->Umnt(m_dir), RPC_SUCCESS);
    EXPECT_EQ(m_client->Dump(), std::vector<std::string>{m_dir + "/sub"});

    MountClient v1(m_lumed.Port(), MOUNT_PROGRAM, 1);
    ASSERT_TRUE(v1.Connected());
    EXPECT_EQ(v1.Null(), RPC_PROGVERSMISMATCH);
}

// Directories below the export mount through links inside it only; doubled
// and trailing slashes name the directory the plain form names; a NUL inside
// a path is refused rather than cut off (it would name a prefix).
TEST_F(LumedMount, PathsMountAsTheyResolveInsideTheExportOnly) {
    ASSERT_NO_FATAL_FAILURE(StartLumed());
    const std::vector<uint8_t> root = m_client->Mnt(m_dir).handle,
                               sub = m_client->Mnt(m_dir + "/sub").handle,
                               deeper = m_client->Mnt(m_dir + "/sub/deeper").handle;
    ASSERT_FALSE(root.empty() || sub.empty() || deeper.empty());
    EXPECT_NE(sub, root);
    EXPECT_NE(deeper, sub);
    const struct {
        std::string path;
        mnt_stat3 status;
        std::vector<uint8_t> handle;
    } cases[] = {
        {m_dir + "/inner", MNT3_OK, sub},  // a link inside to a directory inside
        {m_dir + "/", MNT3_OK, root},
        {m_dir + "//", MNT3_OK, root},
        {"/" + m_dir, MNT3_OK, root},
        {m_dir + "//sub", MNT3_OK, sub},
        {m_dir + "/sub//", MNT3_OK, sub},
        {"/" + m_dir + "///sub/", MNT3_OK, sub},
        {m_dir + "/outer", MNT3ERR_ACCES, {}},
        {m_dir + "/sub/../../", MNT3ERR_ACCES, {}},
        {m_dir + "/missing", MNT3ERR_NOENT, {}},
        {m_dir + "/plain.txt", MNT3ERR_NOTDIR, {}},
        // Outside every export, a sibling sharing the export's prefix too.
        {m_outside.RealPath(), MNT3ERR_NOENT, {}},
        {"/", MNT3ERR_NOENT, {}},
        {m_dir + "-sibling", MNT3ERR_NOENT, {}},
        {"relative/path", MNT3ERR_NOENT, {}},
        {m_dir + std::string("\0/sub", 5), MNT3ERR_INVAL, {}},
        {m_dir + std::string("/sub\0", 5), MNT3ERR_INVAL, {}},
        {std::string("\0", 1) + m_dir, MNT3ERR_INVAL, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        MountClient::MntResult got = m_client->Mnt(c.path);
        ASSERT_EQ(got.rpc, RPC_SUCCESS);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.handle, c.handle);
    }
}

// Host names in the clients list match the name the peer's address resolves
// to, never the machine name a client puts in its credentials.
TEST_F(LumedMount, HostNamesMatchThePeersResolvedName) {
    ASSERT_NO_FATAL_FAILURE(StartLumed({"--clients", "trusted.example,LOCALHOST"}));
    EXPECT_EQ(m_client->Mnt(m_dir).status, MNT3_OK);  // 127.0.0.1 is localhost
    m_lumed.Stop();
    ASSERT_NO_FATAL_FAILURE(StartLumed({"--clients", "trusted.example"}));
    m_client->ClaimMachineName("trusted.example");
    EXPECT_EQ(m_client->Mnt(m_dir).status, MNT3ERR_ACCES);
    EXPECT_EQ(m_client->Mnt(m_dir + "/sub").status, MNT3ERR_ACCES);
    EXPECT_TRUE(m_client->Dump().empty());
}

}  // namespace
