// The configuration program on the wire, through a raw libtirpc client:
// what it refuses, who an anonymous caller is, and where it listens.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "server/protocol/lumecfg.h"
#include "tests/server/config/LumedFixture.h"
#include "tests/server/integration/MountClient.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

namespace {

const timeval kTimeout = {30, 0};

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

class ConfigChannel : public LumedFixture {};

std::string HostName() {
    char host[HOST_NAME_MAX + 1] = {};
    ::gethostname(host, sizeof(host) - 1);
    return host;
}

TEST_F(ConfigChannel, UnknownProceduresAndGarbageArgumentsAreRefusedAndServingGoesOn) {
    ASSERT_NO_FATAL_FAILURE(StartLumed({}));
    MountClient client(m_lumed.Port(), LUMECFG_PROGRAM, LUMECFG_V1);
    ASSERT_NE(client.get(), nullptr);
    EXPECT_EQ(clnt_call(client.get(), 0x2460018, XdrProc(xdr_void), nullptr, XdrProc(xdr_void),
                        nullptr, kTimeout),
              RPC_PROCUNAVAIL);
    // A path up to PATH_MAX is served; one byte more is refused undecoded
    // (as are arguments cut short: the same refusal).
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
    EXPECT_EQ(client.Null(), RPC_SUCCESS);  // procedure 0 of any program
}

// A name written into the credentials proves nothing: calling as root with
// this very host's name over TCP is still nobody in particular, and may not
// export "/" with root kept. (Without credentials, as lumectl calls, is
// Lumectl.AnUnprovedCallerIsRefusedWithTheModulesStatusAndText.)
TEST_F(ConfigChannel, NoCredentialAClientWritesMakesItThisMachine) {
    ASSERT_NO_FATAL_FAILURE(StartLumed({}));
    char* clients = const_cast<char*>("*");
    int rootKept = 7;
    lumecfg_export_args args{nullptr, const_cast<char*>("/"), &clients, &rootKept, 0, FALSE};
    for (const std::string& claimed : {HostName(), std::string("localhost")}) {
        SCOPED_TRACE(claimed);
        MountClient client(m_lumed.Port(), LUMECFG_PROGRAM, LUMECFG_V1);
        ASSERT_NE(client.get(), nullptr);
        client.ClaimMachineName(claimed);
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
// it admits act as this machine. (The socket's mode and group are
// RpcServerTest.ALocalCallerIsKnownByItsProcessIdsAndTheSocketByItsGroup.)
TEST_F(ConfigChannel, TheLocalSocketAdmitsItsAdministratorsOnly) {
    ::chmod(m_state.Path().c_str(), 0711);  // the socket's directory lets callers through
    ASSERT_NO_FATAL_FAILURE(StartLumed({}, {"--admin-group", "nogroup"}));
    const std::string socket = Socket(), dir = NewDir("shared");
    LumectlRun outsider = RunLumectl({"--socket", socket, "export", dir}, {{65534, 12345}});
    EXPECT_EQ(outsider.exitCode, 3) << outsider.err;
    LumectlRun admin = RunLumectl({"--socket", socket, "export", dir}, {{65534, 65534}});
    EXPECT_EQ(admin.exitCode, 0) << admin.err;
}

TEST_F(ConfigChannel, AConfigurationBindAddressGivesTheChannelItsOwnLoopbackPort) {
    ASSERT_NO_FATAL_FAILURE(StartLumed({}, {"--config-bind", "127.0.0.1"}));
    const std::string configPort = PrintedPort("configuration");
    ASSERT_NE(configPort, "") << m_lumed.Output();
    EXPECT_NE(configPort, std::to_string(m_lumed.Port()));

    std::string dir = m_dirs.RealPath();
    LumectlRun answered = RunLumectl({"--server", "127.0.0.1:" + configPort, "export", dir});
    EXPECT_EQ(answered.exitCode, 1) << "reached, and refused: " << answered.err;
    // The NFS port no longer serves the configuration program.
    LumectlRun elsewhere =
        RunLumectl({"--server", "127.0.0.1:" + std::to_string(m_lumed.Port()), "export", dir});
    EXPECT_EQ(elsewhere.exitCode, 3);
}

// Over TLS a caller is the name its certificate proves (its one DNS
// alternative name, else its one common name), and only a valid
// certificate of the CA lumed trusts proves anything; lumectl in turn
// trusts only a server its CA certified under the name it called.
TEST_F(ConfigChannel, OverTlsACallerIsWhatItsCertificateProves) {
    TempDir pki;
    const TestCa ca(pki.Path(), "lume-test-ca"), otherCa(pki.Path(), "other-ca");
    const TestCertificate server = ca.Issue("lumed-test", "127.0.0.1");
    ASSERT_NO_FATAL_FAILURE(StartLumed({}, {"--tls-cert", server.certificate, "--tls-key",
                                            server.key, "--tls-ca", ca.Files().certificate}));
    const std::string port = PrintedPort("configuration", " with TLS");
    ASSERT_NE(port, "") << m_lumed.Output();
    const TestCertificate self = ca.Issue(HostName()), stranger = ca.Issue("a-stranger"),
                          expired = ca.Issue("expired", "", -7200, -3600),
                          foreign = otherCa.Issue("foreign"),
                          twoNames = ca.IssueNamed("two-names", {HostName(), "a-stranger"}, ""),
                          dnsSelf = ca.IssueNamed("dns-self", {"a-stranger"}, "DNS:" + HostName());
    auto shows = [&ca](const TestCertificate& mine, const TestCa* trusted = nullptr) {
        return std::vector<std::string>{"--tls-ca",   (trusted ? *trusted : ca).Files().certificate,
                                        "--tls-cert", mine.certificate,
                                        "--tls-key",  mine.key};
    };
    struct Case {
        const char* what;
        std::vector<std::string> tls;
        int exitCode;
        const char* says;
        const char* server = "127.0.0.1";
    };
    const Case cases[] = {
        {"another client's name", shows(stranger), 1, "not in allowed paths"},
        {"this machine's name", shows(self), 0, "exported"},
        {"two common names, this machine's first", shows(twoNames), 4, "the server ended TLS"},
        {"this machine's DNS name beside another common name", shows(dnsSelf), 0, "exported"},
        {"no certificate", {"--tls-ca", ca.Files().certificate}, 4, "certificate required"},
        {"an expired certificate", shows(expired), 4, "certificate expired"},
        {"another CA's certificate", shows(foreign), 4, "unknown ca"},
        {"a server its CA did not certify", shows(self, &otherCa), 4, "certificate verify failed"},
        {"a server under another name", shows(self), 4, "hostname mismatch", "localhost"},
        {"no TLS", {}, 3, "too weak"},
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
