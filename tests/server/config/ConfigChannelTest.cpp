// The configuration program on the wire, through a raw libtirpc client:
// what it refuses, who an anonymous caller is, and where it listens.
#include <limits.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "server/protocol/lumecfg.h"
#include "tests/server/LumedProcess.h"
#include "tests/server/config/LumectlRun.h"
#include "tests/support/TempDir.h"

namespace {

const timeval kTimeout = {30, 0};

template <typename Routine>
xdrproc_t XdrProc(Routine routine) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(routine));
}

// Three bare words: operation, "a path follows", the path's length.
bool_t EncodeTruncatedLock(XDR* xdrs, unsigned* words) {
    for (int i = 0; i < 3; ++i)
        if (!xdr_u_int(xdrs, &words[i]))
            return FALSE;
    return TRUE;
}

std::string Real(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? real : path;
}

// A client of the configuration program on a loopback port, AUTH_NONE.
class RawConfigClient {
  public:
    explicit RawConfigClient(uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        int socket = RPC_ANYSOCK;
        m_client = clnttcp_create(&address, LUMECFG_PROGRAM, LUMECFG_V1, &socket, 0, 0);
    }
    ~RawConfigClient() {
        if (m_client)
            clnt_destroy(m_client);
    }
    CLIENT* get() const { return m_client; }

  private:
    CLIENT* m_client = nullptr;
};

class ConfigChannel : public ::testing::Test {
  protected:
    void Start(std::vector<std::string> extraArgs = {}) {
        std::string error;
        ASSERT_TRUE(m_lumed.Start({{Real(m_startup.Path())}, m_state.Path(), extraArgs}, error))
            << error;
    }
    TempDir m_startup, m_dirs, m_state;
    LumedProcess m_lumed;
};

TEST_F(ConfigChannel, UnknownProceduresAndGarbageArgumentsAreRefusedAndServingGoesOn) {
    Start();
    RawConfigClient client(m_lumed.Port());
    ASSERT_NE(client.get(), nullptr);
    EXPECT_EQ(clnt_call(client.get(), 0x2460018, XdrProc(xdr_void), nullptr, XdrProc(xdr_void),
                        nullptr, kTimeout),
              RPC_PROCUNAVAIL);
    // A create-export call whose arguments stop after the first word.
    unsigned timeout = 1;
    EXPECT_EQ(clnt_call(client.get(), LUMECFG_CREATE_EXPORT, XdrProc(xdr_u_int), &timeout,
                        XdrProc(xdr_void), nullptr, kTimeout),
              RPC_CANTDECODEARGS);
    // A lock call whose path claims more bytes than are sent.
    unsigned words[] = {0, 1, 1000};
    EXPECT_EQ(clnt_call(client.get(), LUMECFG_FILE_LOCK, XdrProc(EncodeTruncatedLock), words,
                        XdrProc(xdr_void), nullptr, kTimeout),
              RPC_CANTDECODEARGS);
    EXPECT_EQ(clnt_call(client.get(), LUMECFG_NULL, XdrProc(xdr_void), nullptr, XdrProc(xdr_void),
                        nullptr, kTimeout),
              RPC_SUCCESS);
}

TEST_F(ConfigChannel, AnAnonymousCallerHasNoNameAndMayNotExport) {
    Start();
    RawConfigClient client(m_lumed.Port());
    ASSERT_NE(client.get(), nullptr);
    std::string dir = Real(m_dirs.Path());
    char* clients = const_cast<char*>("*");
    lumecfg_export_args args{};
    args.path = const_cast<char*>(dir.c_str());
    args.clients = &clients;
    args.perms = 3;
    lumecfg_export_res result{};
    ASSERT_EQ(clnt_call(client.get(), LUMECFG_CREATE_EXPORT, XdrProc(xdr_lumecfg_export_args),
                        reinterpret_cast<char*>(&args), XdrProc(xdr_lumecfg_export_res),
                        reinterpret_cast<char*>(&result), kTimeout),
              RPC_SUCCESS);
    EXPECT_EQ(result.status, 11);
    ASSERT_NE(result.message, nullptr);
    EXPECT_STREQ(*result.message, "This path is not in allowed paths.");
    EXPECT_EQ(result.share.path, nullptr);
    xdr_free(XdrProc(xdr_lumecfg_export_res), reinterpret_cast<char*>(&result));
}

TEST_F(ConfigChannel, AConfigurationBindAddressGivesTheChannelItsOwnLoopbackPort) {
    Start({"--config-bind", "127.0.0.1"});
    std::smatch match;
    const std::string output = m_lumed.Output();
    ASSERT_TRUE(std::regex_search(
        output, match, std::regex("lumed: configuration on 127\\.0\\.0\\.1 port (\\d+)")))
        << output;
    const std::string configPort = match[1];
    EXPECT_NE(configPort, std::to_string(m_lumed.Port()));

    std::string dir = Real(m_dirs.Path());
    LumectlRun exported = RunLumectl({"--server", "127.0.0.1:" + configPort, "export", dir});
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
    // The NFS port no longer serves the configuration program.
    LumectlRun elsewhere =
        RunLumectl({"--server", "127.0.0.1:" + std::to_string(m_lumed.Port()), "export", dir});
    EXPECT_EQ(elsewhere.exitCode, 3);
}

}  // namespace
