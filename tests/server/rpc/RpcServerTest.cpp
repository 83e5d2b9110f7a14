#include "server/rpc/RpcServer.h"

#include "server/rpc/RpcConnection.h"

#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>

#include <atomic>
#include <set>

#include "tests/server/rpc/RpcTestSupport.h"

namespace {

using namespace rpctest;

bool_t EncodeGarbage(XDR* xdrs, void*) {
    u_int hugeLength = 0xfffffff0u;  // a string length no buffer can hold
    return xdr_u_int(xdrs, &hugeLength);
}

bool_t AnyResults(XDR*, ...) {
    return TRUE;
}

// Sends a NULL call header built by xdr_callmsg, with the RPC version word
// replaced (xdr_callmsg encodes version 2 only), and decodes the reply.
bool RawNullCall(uint16_t port, opaque_auth credential, uint32_t rpcvers, rpc_msg& reply) {
    rpc_msg call{};
    call.rm_xid = 4242;
    call.rm_call = {2, kEchoProgram, 1, kNull, credential, _null_auth};
    char buffer[1024];
    XDR out;
    xdrmem_create(&out, buffer, sizeof(buffer), XDR_ENCODE);
    if (!xdr_callmsg(&out, &call))
        return false;
    uint32_t version = htonl(rpcvers);
    std::memcpy(buffer + 8, &version, sizeof(version));  // after xid and direction
    RawSocket socket(port);
    std::vector<char> record;
    if (!socket.SendMark(0x80000000u | xdr_getpos(&out)) ||
        !socket.Send(buffer, xdr_getpos(&out)) || ReplyXid(socket, &record) == 0)
        return false;
    XDR in;
    xdrmem_create(&in, record.data(), static_cast<u_int>(record.size()), XDR_DECODE);
    reply = rpc_msg{};
    reply.acpted_rply.ar_results.proc = AnyResults;
    return xdr_replymsg(&in, &reply);
}

TEST_F(RpcServerTest, CallsAreAnsweredAndRefusalsKeepTheConnectionUsable) {
    StartServer();
    Client client(Port(), kEchoProgram, 2);
    ASSERT_NE(client.get(), nullptr) << clnt_spcreateerror("clnttcp_create");
    EXPECT_EQ(client.Call(kNull), RPC_SUCCESS);
    EXPECT_EQ(client.Echo("hello over TCP"), "hello over TCP");
    EXPECT_EQ(client.Echo(""), "");
    EXPECT_EQ(client.Call(99), RPC_PROCUNAVAIL);
    char* out = nullptr;
    EXPECT_EQ(clnt_call(client.get(), kEcho, XdrProc(EncodeGarbage), nullptr,
                        XdrProc(xdr_wrapstring), &out, kCallTimeout),
              RPC_CANTDECODEARGS);
    EXPECT_EQ(client.Echo("still fine"), "still fine");

    EXPECT_EQ(Client(Port(), kEchoProgram + 1, 1).Call(kNull), RPC_PROGUNAVAIL);
    Client wrongVersion(Port(), kEchoProgram, 7);
    EXPECT_EQ(wrongVersion.Call(kNull), RPC_PROGVERSMISMATCH);
    rpc_err error{};
    clnt_geterr(wrongVersion.get(), &error);
    EXPECT_EQ(error.re_vers.low, 1u);
    EXPECT_EQ(error.re_vers.high, 2u);

    // A small send size makes the client split each call into fragments.
    Client fragmented(Port(), kEchoProgram, 1, 128);
    std::string text;
    for (size_t i = 0; i < 5000; ++i)
        text += static_cast<char>('a' + i % 26);
    EXPECT_EQ(fragmented.Echo(text), text);
}

TEST_F(RpcServerTest, CallerCredentialsAndPeerReachTheProgram) {
    StartServer();
    Client client(Port(), kEchoProgram, 1);
    ASSERT_NE(client.get(), nullptr);
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    ASSERT_EQ(getsockname(client.Socket(), reinterpret_cast<sockaddr*>(&local), &length), 0);

    ASSERT_EQ(client.Call(kNull), RPC_SUCCESS);
    RpcCaller anonymous = m_echo.LastCaller();
    EXPECT_EQ(anonymous.flavor, static_cast<u_int>(AUTH_NONE));
    EXPECT_EQ(anonymous.uid, 65534u);
    EXPECT_EQ(anonymous.gid, 65534u);
    EXPECT_TRUE(anonymous.gids.empty());
    EXPECT_EQ(anonymous.address.ToString(), "127.0.0.1");
    EXPECT_EQ(anonymous.port, ntohs(local.sin_port));
    EXPECT_FALSE(anonymous.local);  // only the kernel's word on a local socket sets these
    EXPECT_EQ(anonymous.peerUid, 65534u);
    EXPECT_EQ(anonymous.peerGid, 65534u);
    EXPECT_TRUE(anonymous.peerGroups.empty());

    uid_t groups[] = {7, 8, 9};
    char machine[] = "tester.example";
    auth_destroy(client.get()->cl_auth);
    client.get()->cl_auth = authunix_create(machine, 1234, 5678, 3, groups);
    ASSERT_EQ(client.Call(kNull), RPC_SUCCESS);
    RpcCaller who = m_echo.LastCaller();
    EXPECT_EQ(who.flavor, static_cast<u_int>(AUTH_SYS));
    EXPECT_EQ(who.uid, 1234u);
    EXPECT_EQ(who.gid, 5678u);
    EXPECT_EQ(who.gids, (std::vector<uint32_t>{7, 8, 9}));
    EXPECT_EQ(who.machineName, "tester.example");
}

TEST_F(RpcServerTest, BadRpcVersionAndCredentialsAreRejected) {
    StartServer();
    char body[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    rpc_msg reply;
    ASSERT_TRUE(RawNullCall(Port(), _null_auth, 3, reply));
    EXPECT_EQ(reply.rm_xid, 4242u);
    ASSERT_EQ(reply.rm_reply.rp_stat, MSG_DENIED);
    EXPECT_EQ(reply.rjcted_rply.rj_stat, RPC_MISMATCH);
    EXPECT_EQ(reply.rjcted_rply.rj_vers.low, 2u);
    EXPECT_EQ(reply.rjcted_rply.rj_vers.high, 2u);

    const struct {
        opaque_auth credential;
        auth_stat why;
    } refused[] = {{{RPCSEC_GSS, body, sizeof(body)}, AUTH_TOOWEAK},
                   {{AUTH_SYS, body, 4}, AUTH_BADCRED}};
    for (const auto& c : refused) {
        ASSERT_TRUE(RawNullCall(Port(), c.credential, 2, reply));
        ASSERT_EQ(reply.rm_reply.rp_stat, MSG_DENIED);
        EXPECT_EQ(reply.rjcted_rply.rj_stat, AUTH_ERROR);
        EXPECT_EQ(reply.rjcted_rply.rj_why, c.why);
    }
    ASSERT_TRUE(RawNullCall(Port(), _null_auth, 2, reply));
    ASSERT_EQ(reply.rm_reply.rp_stat, MSG_ACCEPTED);
    EXPECT_EQ(reply.acpted_rply.ar_stat, SUCCESS);
}

TEST_F(RpcServerTest, ManyConcurrentClientsAllGetTheirOwnAnswers) {
    StartServer();
    constexpr int kClients = 12, kCalls = 40;
    std::atomic<int> correct{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([this, c, &correct] {
            Client client(Port(), kEchoProgram, 1);
            for (int i = 0; client.get() && i < kCalls; ++i) {
                std::string text = "client " + std::to_string(c) + " call " + std::to_string(i);
                correct += client.Echo(text) == text;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(correct.load(), kClients * kCalls);
}

TEST_F(RpcServerTest, AStalledOrOversizedRecordAffectsOnlyItsOwnConnection) {
    RpcServer::Options options;
    options.workers = 1;
    options.maxRecord = 4096;
    StartServer(options);
    RawSocket stalled(Port());
    ASSERT_TRUE(stalled.Connected());
    ASSERT_TRUE(stalled.SendMark(0x80000000u | 100));
    ASSERT_TRUE(stalled.Send("only ten b", 10));
    Client bystander(Port(), kEchoProgram, 1);
    EXPECT_EQ(bystander.Echo("not blocked"), "not blocked");

    RawSocket offender(Port());
    ASSERT_TRUE(offender.Connected());
    ASSERT_TRUE(offender.SendMark(0x80000000u | 8192));
    std::vector<char> body(1024, 'x');
    offender.Send(body.data(), body.size());  // may fail once the server has closed
    char byte;
    ssize_t got = ::recv(offender.fd(), &byte, 1, 0);
    EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET)) << "recv gave " << got;
    EXPECT_EQ(bystander.Echo("unaffected"), "unaffected");
}

// A large call is read whole however its bytes trickle in and whatever its
// fragments (the rest of a large fragment is awaited as one), and the small
// call after it is not kept waiting for bytes that will never come.
TEST_F(RpcServerTest, ALargeCallIsAnsweredHoweverItArrivesAndTheNextOneToo) {
    StartServer();
    const size_t size = 1024 * 1024;
    const struct {
        const char* what;
        std::vector<size_t> fragments;  // lengths; the last ends the record
        size_t piece;                   // bytes per send, a pause between them
    } cases[] = {
        {"at once", {size}, size + 4},
        {"trickling", {size}, 100 * 1024 + 1},
        {"fragmented", {600 * 1024, 3, size - 600 * 1024 - 3}, 64 * 1024 - 1},
    };
    RawSocket socket(Port());
    uint32_t xid = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        rpc_msg call{};
        call.rm_xid = ++xid;
        call.rm_call = {2, kEchoProgram, 1, kNull, _null_auth, _null_auth};
        std::vector<char> body(size, 'x');  // arguments NULL ignores
        XDR out;
        xdrmem_create(&out, body.data(), static_cast<u_int>(body.size()), XDR_ENCODE);
        ASSERT_TRUE(xdr_callmsg(&out, &call));
        std::vector<char> stream;
        size_t at = 0;
        for (size_t i = 0; i < c.fragments.size(); at += c.fragments[i++]) {
            const uint32_t last = i + 1 == c.fragments.size() ? 0x80000000u : 0;
            const uint32_t mark = htonl(last | static_cast<uint32_t>(c.fragments[i]));
            stream.insert(stream.end(), reinterpret_cast<const char*>(&mark),
                          reinterpret_cast<const char*>(&mark) + 4);
            stream.insert(stream.end(), body.begin() + at, body.begin() + at + c.fragments[i]);
        }
        for (size_t sent = 0; sent < stream.size(); sent += c.piece) {
            std::this_thread::sleep_for(std::chrono::milliseconds(sent ? 10 : 0));
            ASSERT_TRUE(socket.Send(stream.data() + sent, std::min(c.piece, stream.size() - sent)));
        }
        EXPECT_EQ(ReplyXid(socket), xid);
        ASSERT_TRUE(SendCall(socket, ++xid, kNull));
        EXPECT_EQ(ReplyXid(socket), xid);
    }
}

TEST_F(RpcServerTest, StopLetsACallInFlightFinishThenRefusesConnections) {
    StartServer();
    Client idle(Port(), kEchoProgram, 1);
    ASSERT_EQ(idle.Call(kNull), RPC_SUCCESS);
    clnt_stat held = RPC_FAILED;
    std::thread caller([this, &held] {
        Client client(Port(), kEchoProgram, 1);
        if (client.get())
            held = client.Call(kHeld);
    });
    ASSERT_TRUE(m_echo.AwaitHeldCall());
    std::thread stopper([this] { m_server->Stop(); });
    m_echo.ReleaseHeldCall();
    stopper.join();
    caller.join();
    EXPECT_EQ(held, RPC_SUCCESS);
    EXPECT_NE(idle.Call(kNull), RPC_SUCCESS);
    EXPECT_EQ(Client(Port(), kEchoProgram, 1).get(), nullptr);
}

// Quick calls may run on the connection's reader; a call that waits long
// must not: the calls sent after it on the same connection are answered
// while it still waits.
TEST_F(RpcServerTest, ACallThatWaitsHoldsUpNothingBehindItOnItsConnection) {
    StartServer();
    RawSocket socket(Port());
    ASSERT_TRUE(socket.Connected());
    ASSERT_TRUE(SendCall(socket, 1, kHeld));
    ASSERT_TRUE(m_echo.AwaitHeldCall());
    ASSERT_TRUE(SendCall(socket, 2, kNull));
    EXPECT_EQ(ReplyXid(socket), 2u);
    ASSERT_TRUE(SendCall(socket, 3, kNull));
    EXPECT_EQ(ReplyXid(socket), 3u);
    m_echo.ReleaseHeldCall();
    EXPECT_EQ(ReplyXid(socket), 1u);
}

// Calls that arrive together are shared between the reader and a worker:
// each is answered exactly once.
TEST_F(RpcServerTest, PipelinedCallsAreEachAnsweredOnce) {
    StartServer();
    RawSocket socket(Port());
    ASSERT_TRUE(socket.Connected());
    std::multiset<uint32_t> sent, answered;
    for (uint32_t round = 0; round < 5; ++round) {
        for (uint32_t i = 1; i <= 40; ++i) {
            uint32_t xid = round * 100 + i;
            ASSERT_TRUE(SendCall(socket, xid, i % 2 ? kNull : kEcho + 98));  // NULL or unknown
            sent.insert(xid);
        }
        for (int i = 0; i < 40; ++i)
            answered.insert(ReplyXid(socket));
    }
    EXPECT_EQ(answered, sent);
}

// Over TCP, replies handed over with more are held back in the socket until
// a reply without it, or the run's Push, sends them: none is left waiting.
TEST(RpcConnectionRuns, RepliesHeldForARunGoOutWhenItEnds) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), length), 0);
    RpcConnection connection(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC),
                             ::eventfd(0, EFD_CLOEXEC), RpcCaller(), "test");
    ::close(listener);
    RpcProgramTable none;
    RpcDispatcher maker(none, 1024);
    auto unsent = [&] {
        int bytes = -1;
        return ::ioctl(connection.Socket(), SIOCOUTQNSD, &bytes) == 0 ? bytes : -1;
    };
    const std::string replies[] = {"first", "second", "third"};
    auto answer = [&](const std::string& reply, bool more) {
        connection.Take(1);
        connection.Answer(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(), maker,
                          more);
    };
    answer(replies[0], true);
    EXPECT_EQ(unsent(), 5);  // held
    answer(replies[1], false);
    EXPECT_EQ(unsent(), 0);  // both sent
    answer(replies[2], true);
    EXPECT_EQ(unsent(), 5);
    connection.Push();
    EXPECT_EQ(unsent(), 0);
    std::string got;
    char buffer[64];
    for (int i = 0; i < 100 && got.size() < 16; ++i) {
        pollfd ready{client, POLLIN, 0};
        const ssize_t n = ::poll(&ready, 1, 50) == 1 ? ::recv(client, buffer, sizeof buffer, 0) : 0;
        got.append(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    }
    EXPECT_EQ(got, "firstsecondthird");
    ::close(client);
}

TEST(RpcServerStart, RefusesANonNumericAddressAndServesIPv6Loopback) {
    RpcServer::Options options;
    options.bindAddress = "localhost";
    std::string error;
    EXPECT_FALSE(RpcServer(options).Start(error));
    EXPECT_NE(error.find("localhost"), std::string::npos);

    options.bindAddress = "::1";
    RpcServer v6(options);
    EchoProgram echo;
    v6.AddProgram(&echo);
    if (!v6.Start(error))
        GTEST_SKIP() << "no IPv6 loopback here: " << error;
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(v6.Port());
    address.sin6_addr = in6addr_loopback;
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
}

}  // namespace
