// MOUNT v3 as lumed serves it, driven by a real RPC client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/server/LumedProcess.h"
#include "tests/server/integration/MountClient.h"
#include "tests/support/TempDir.h"

namespace {

// MNT of path as its bytes go on the wire, a NUL inside included (a
// dirpath is a string, and a string's bytes are an opaque's).
MountClient::MntResult MntBytes(uint16_t port, std::string path) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int socket = RPC_ANYSOCK;
    CLIENT* client = clnttcp_create(&address, MOUNT_PROGRAM, MOUNT_V3, &socket, 0, 0);
    const timeval kTimeout{30, 0};  // bounds a hang; not a measurement
    MountClient::MntResult result;
    if (!client)
        return result;
    typedef bool_t (*Encode)(XDR*, std::string*);
    Encode encode = [](XDR* out, std::string* text) -> bool_t {
        char* bytes = &(*text)[0];
        u_int length = static_cast<u_int>(text->size());
        return xdr_bytes(out, &bytes, &length, MNTPATHLEN);
    };
    mnt_mountres3 reply{};
    result.rpc = clnt_call(client, MOUNTPROC3_MNT, XdrProc(encode), &path,
                           XdrProc(xdr_mnt_mountres3), &reply, kTimeout);
    if (result.rpc == RPC_SUCCESS) {
        result.status = reply.fhs_status;
        if (reply.fhs_status == MNT3_OK) {
            const mnt_fhandle3& fh = reply.mnt_mountres3_u.mountinfo.fhandle;
            result.handle.assign(fh.mnt_fhandle3_val, fh.mnt_fhandle3_val + fh.mnt_fhandle3_len);
        }
        clnt_freeres(client, XdrProc(xdr_mnt_mountres3), reinterpret_cast<char*>(&reply));
    }
    auth_destroy(client->cl_auth);
    clnt_destroy(client);
    return result;
}

class LumedMount : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = m_exported.RealPath();
        std::filesystem::create_directories(m_dir + "/sub/deeper");
        std::filesystem::create_directory_symlink("sub", m_dir + "/inner");
        std::filesystem::create_directory_symlink(m_outside.RealPath(), m_dir + "/outer");
        m_exported.WriteFile("plain.txt", "not a directory");
    }
    void StartLumed(std::vector<std::string> extraArgs = {}) {
        std::string error;
        ASSERT_TRUE(m_lumed.Start({{m_dir}, m_state.Path(), extraArgs}, error)) << error;
    }

    TempDir m_exported, m_outside, m_state;
    std::string m_dir;
    LumedProcess m_lumed;
};

TEST_F(LumedMount, ExportRootAnswersAHandleAndBothFlavors) {
    StartLumed();
    MountClient client(m_lumed.Port());
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Null(), RPC_SUCCESS);
    auto root = client.Mnt(m_dir);
    ASSERT_EQ(root.rpc, RPC_SUCCESS);
    ASSERT_EQ(root.status, MNT3_OK);
    EXPECT_FALSE(root.handle.empty());
    EXPECT_LE(root.handle.size(), 64u);
    EXPECT_EQ(root.flavors, (std::vector<int>{AUTH_SYS, AUTH_NONE}));
}

TEST_F(LumedMount, DirectoriesBelowTheExportMountThroughInnerLinksOnly) {
    StartLumed();
    MountClient client(m_lumed.Port());
    ASSERT_TRUE(client.Connected());
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
    StartLumed();
    MountClient client(m_lumed.Port());
    ASSERT_TRUE(client.Connected());
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
        MountClient::MntResult got = MntBytes(m_lumed.Port(), c.path);
        ASSERT_EQ(got.rpc, RPC_SUCCESS);
        EXPECT_EQ(got.status, c.status);
        EXPECT_EQ(got.handle, c.handle);
    }
}

// Host names in the clients list match the name the peer's address resolves
// to, never the machine name a client puts in its credentials.
TEST_F(LumedMount, HostNamesMatchThePeersResolvedName) {
    StartLumed({"--clients", "trusted.example,LOCALHOST"});
    MountClient client(m_lumed.Port());
    ASSERT_TRUE(client.Connected());
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
    StartLumed({"--clients", "127.0.0.1,10.1.0.0/16"});
    MountClient client(m_lumed.Port());
    ASSERT_TRUE(client.Connected());
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
    StartLumed();
    MountClient v1(m_lumed.Port(), MOUNT_PROGRAM, 1);
    ASSERT_TRUE(v1.Connected());
    EXPECT_EQ(v1.Null(), RPC_PROGVERSMISMATCH);
}

}  // namespace
