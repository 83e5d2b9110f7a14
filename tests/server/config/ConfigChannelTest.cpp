// The configuration program on the wire, through a raw libtirpc client:
// what it refuses, who an anonymous caller is, and where it listens.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <utility>

#include "server/protocol/lumecfg.h"
#include "tests/server/config/LumedFixture.h"
#include "tests/server/integration/MountClient.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

namespace {

const timeval kTimeout = {30, 0};

// Three bare words: operation, "a path follows", the path's length.
bool_t EncodeTruncatedLock(XDR* xdrs, unsigned* words) {
    for (int i = 0; i < 3; ++i)
        if (!xdr_u_int(xdrs, &words[i]))
            return FALSE;
    return TRUE;
}

// A status lock call on an export path of any length (the generated
// encoder stops at the bound).
bool_t EncodeLockOfPath(XDR* xdrs, std::string* path) {
    int operation = 2;
    bool_t given = TRUE, none = FALSE;
    char* text = path->data();
    u_quad_t owner = 7;
    return xdr_int(xdrs, &operation) && xdr_bool(xdrs, &given) && xdr_string(xdrs, &text, ~0u) &&
           xdr_u_hyper(xdrs, &owner) && xdr_bool(xdrs, &none);
}

// A client of the configuration program on a loopback port.
struct RawConfigClient : TcpRpcClient {
    explicit RawConfigClient(uint16_t port) : TcpRpcClient(port, LUMECFG_PROGRAM, LUMECFG_V1) {}
};

class ConfigChannel : public LumedFixture {
  protected:
    void Start(const std::vector<std::string>& extraArgs = {}) {
        ASSERT_NO_FATAL_FAILURE(StartLumed({m_startup.RealPath()}, extraArgs));
    }
    TempDir m_startup;
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
    // A path up to PATH_MAX is served; one byte more is refused undecoded.
    for (auto [length, expected] : {std::pair{LUMECFG_PATHLEN, RPC_SUCCESS},
                                    std::pair{LUMECFG_PATHLEN + 1, RPC_CANTDECODEARGS}}) {
        std::string path(length, 'a');
        lumecfg_lock_res result{};
        EXPECT_EQ(clnt_call(client.get(), LUMECFG_FILE_LOCK, XdrProc(EncodeLockOfPath), &path,
                            XdrProc(xdr_lumecfg_lock_res), &result, kTimeout),
                  expected)
            << length;
        xdr_free(XdrProc(xdr_lumecfg_lock_res), reinterpret_cast<char*>(&result));
    }
    EXPECT_EQ(clnt_call(client.get(), LUMECFG_NULL, XdrProc(xdr_void), nullptr, XdrProc(xdr_void),
                        nullptr, kTimeout),
              RPC_SUCCESS);
}

// A name written into the credentials proves nothing: calling as root with
// this very host's name over TCP is still nobody in particular, and may not
// export "/" with root kept.
TEST_F(ConfigChannel, NoCredentialAClientWritesMakesItThisMachine) {
    Start();
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(::gethostname(host, sizeof(host) - 1), 0);
    for (const char* claimed :
         {static_cast<const char*>(nullptr), static_cast<const char*>(host), "localhost"}) {
        SCOPED_TRACE(claimed ? claimed : "AUTH_NONE");
        RawConfigClient client(m_lumed.Port());
        ASSERT_NE(client.get(), nullptr);
        if (claimed)
            client.ClaimMachineName(claimed);
        char* clients = const_cast<char*>("*");
        lumecfg_export_args args{};
        args.path = const_cast<char*>("/");
        args.clients = &clients;
        args.perms = 7;
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
}

// The local socket admits root and the administrators' group only; those
// it admits act as this machine.
TEST_F(ConfigChannel, TheLocalSocketAdmitsItsAdministratorsOnly) {
    ::chmod(m_state.Path().c_str(), 0711);  // the socket's directory lets callers through
    Start({"--admin-group", "nogroup"});
    const std::string socket = Socket();
    struct stat st;
    ASSERT_EQ(::stat(socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    ::chmod(m_dirs.Path().c_str(), 0755);
    const std::string dir = m_dirs.RealPath();
    LumectlRun outsider = RunLumectl({"--socket", socket, "export", dir}, {{65534, 12345}});
    EXPECT_EQ(outsider.exitCode, 3) << outsider.err;
    LumectlRun admin = RunLumectl({"--socket", socket, "export", dir}, {{65534, 65534}});
    EXPECT_EQ(admin.exitCode, 0) << admin.err;
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

    std::string dir = m_dirs.RealPath();
    LumectlRun answered = RunLumectl({"--server", "127.0.0.1:" + configPort, "export", dir});
    EXPECT_EQ(answered.exitCode, 1) << "reached, and refused: " << answered.err;
    // The NFS port no longer serves the configuration program.
    LumectlRun elsewhere =
        RunLumectl({"--server", "127.0.0.1:" + std::to_string(m_lumed.Port()), "export", dir});
    EXPECT_EQ(elsewhere.exitCode, 3);
}

// Over TLS a caller is the name its certificate proves, and only a valid
// certificate of the CA lumed trusts proves anything; lumectl in turn
// trusts only a server its CA certified under the name it called.
TEST_F(ConfigChannel, OverTlsACallerIsWhatItsCertificateProves) {
    TempDir pki;
    const TestCa ca(pki.Path(), "lume-test-ca"), otherCa(pki.Path(), "other-ca");
    const TestCertificate server = ca.Issue("lumed-test", "127.0.0.1");
    Start({"--tls-cert", server.certificate, "--tls-key", server.key, "--tls-ca",
           ca.Files().certificate});
    std::smatch match;
    const std::string output = m_lumed.Output();
    ASSERT_TRUE(std::regex_search(
        output, match, std::regex("configuration on 127\\.0\\.0\\.1 port (\\d+) with TLS")))
        << output;
    const std::string port = match[1];
    char host[HOST_NAME_MAX + 1] = {};
    ASSERT_EQ(::gethostname(host, sizeof(host) - 1), 0);
    const TestCertificate self = ca.Issue(host), stranger = ca.Issue("a-stranger"),
                          expired = ca.Issue("expired", "", -7200, -3600),
                          foreign = otherCa.Issue("foreign");
    auto shows = [&ca](const TestCertificate& mine, const TestCa* trusted = nullptr) {
        if (!trusted)
            trusted = &ca;
        return std::vector<std::string>{"--tls-ca",   trusted->Files().certificate,
                                        "--tls-cert", mine.certificate,
                                        "--tls-key",  mine.key};
    };
    struct Case {
        const char* what;
        std::vector<std::string> tls;
        const char* server;
        int exitCode;
        const char* says;
    };
    const Case cases[] = {
        {"another client's name", shows(stranger), "127.0.0.1", 1, "not in allowed paths"},
        {"this machine's name", shows(self), "127.0.0.1", 0, "exported"},
        {"no certificate",
         {"--tls-ca", ca.Files().certificate},
         "127.0.0.1",
         4,
         "certificate required"},
        {"an expired certificate", shows(expired), "127.0.0.1", 4, "certificate expired"},
        {"another CA's certificate", shows(foreign), "127.0.0.1", 4, "unknown ca"},
        {"a server its CA did not certify", shows(self, &otherCa), "127.0.0.1", 4,
         "certificate verify failed"},
        {"a server under another name", shows(self), "localhost", 4, "hostname mismatch"},
        {"no TLS", {}, "127.0.0.1", 3, "too weak"},
    };
    const std::string dir = m_dirs.RealPath();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {"--server", std::string(c.server) + ":" + port};
        args.insert(args.end(), c.tls.begin(), c.tls.end());
        args.insert(args.end(), {"export", dir});
        const LumectlRun run = RunLumectl(args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
    }
}

}  // namespace
