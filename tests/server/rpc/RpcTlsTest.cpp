// RPC-with-TLS on the transport: several callers at once go through their
// relays both ways and are known by their certificates' names; a caller
// without TLS is told it is too weak; one that never takes up TLS is closed
// in time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "server/tls/TlsClientChannel.h"
#include "tests/server/rpc/RpcTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

namespace {

using namespace rpctest;

// A bulk reply of exactly into's size.
bool_t DecodeBulk(XDR* in, std::vector<char>* into) {
    char* at = into->data();
    u_int size = 0;
    return xdr_bytes(in, &at, &size, static_cast<u_int>(into->size())) && size == into->size();
}

// Echoes texts of many sizes, then a bulk reply, through a TLS channel; how
// many came back whole.
int EchoOverTls(uint16_t port, const TlsContext& context, int calls) {
    TlsClientChannel channel;
    std::string error;
    const int plain = channel.Open(Loopback(port), context, "127.0.0.1", kEchoProgram, 1,
                                   std::chrono::seconds(10), error);
    if (plain < 0)
        return 0;
    sockaddr_un local{AF_UNIX, {}};
    netbuf peer{sizeof(local), sizeof(local), &local};
    Client client(clnt_vc_create(plain, &peer, kEchoProgram, 1, 0, 0));
    if (!client.get()) {
        ::close(plain);
        return 0;
    }
    clnt_control(client.get(), CLSET_FD_CLOSE, nullptr);
    int echoed = 0;
    for (int n = 0; n < calls; ++n) {
        const std::string text(static_cast<size_t>(n) * 150 % kMaxText,
                               static_cast<char>('a' + n % 26));
        echoed += client.Echo(text) == text;
    }
    // Spliced to the relay's socket pair: the bytes and their padding.
    u_int size = 100 * 1000 + 3;
    std::vector<char> bulk(size);
    echoed += client.Call(kPipedBulk, XdrProc(xdr_u_int), &size, XdrProc(DecodeBulk), &bulk) ==
                  RPC_SUCCESS &&
              std::all_of(bulk.begin(), bulk.end(), [&](char c) { return c == bulk[0]; });
    return echoed;
}

TEST_F(RpcServerTest, OverTlsCallersAreTheirCertificatesAndOnlyTlsIsServed) {
    TempDir pki;
    const TestCa ca(pki.Path(), "ca");
    const TestCertificate server = ca.Issue("server", "127.0.0.1"), client = ca.Issue("client-one");
    std::string error;
    RpcServer::Options options;
    options.recordTimeout = std::chrono::milliseconds(500);
    options.tls = TlsContext::Make(TlsContext::Server, server.certificate, server.key,
                                   ca.Files().certificate, error);
    ASSERT_TRUE(options.tls) << error;
    const auto clientContext = TlsContext::Make(TlsContext::Client, client.certificate, client.key,
                                                ca.Files().certificate, error);
    ASSERT_TRUE(clientContext) << error;
    LogCapture log(2);
    StartServer([&](RpcServer::Options& set) { set = options; });

    RawSocket silent(Port()), plain(Port());
    ASSERT_TRUE(SendCall(plain, 5, kNull));
    EXPECT_EQ(ReplyWords(plain),
              (std::vector<uint32_t>{5, REPLY, MSG_DENIED, AUTH_ERROR, AUTH_TOOWEAK}));
    EXPECT_TRUE(plain.ClosedByServer());

    const int kCallers = 3, kCalls = 60;
    std::atomic<int> echoed{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i)
        callers.emplace_back([&] { echoed += EchoOverTls(Port(), *clientContext, kCalls); });
    for (std::thread& caller : callers)
        caller.join();
    EXPECT_EQ(echoed, kCallers * (kCalls + 1));
    EXPECT_EQ(m_echo.LastCaller().certifiedName, "client-one");

    EXPECT_TRUE(silent.ClosedByServer());
    EXPECT_EQ(log.CountContaining("took too long to take up TLS"), 1u);
}

}  // namespace
