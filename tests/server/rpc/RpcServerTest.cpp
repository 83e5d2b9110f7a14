#include "server/rpc/RpcServer.h"

#include "server/rpc/ReplayCache.h"
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

// The program learns its caller; refusals keep the connection usable.
TEST_F(RpcServerTest, CallsAreAnsweredWithTheirCallerAndRefusalsKeepTheConnectionUsable) {
    StartServer();
    Client client(Port(), kEchoProgram, 2);
    ASSERT_NE(client.get(), nullptr) << clnt_spcreateerror("clnttcp_create");
    EXPECT_EQ(client.Call(99), RPC_PROCUNAVAIL);
    EXPECT_EQ(client.Call(kEcho), RPC_CANTDECODEARGS);  // no text: arguments end too soon
    EXPECT_EQ(client.Echo("still fine"), "still fine");
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    ASSERT_EQ(getsockname(client.Socket(), reinterpret_cast<sockaddr*>(&local), &length), 0);
    uid_t groups[] = {7, 8, 9};
    char machine[] = "tester.example";
    auth_destroy(client.get()->cl_auth);
    client.get()->cl_auth = authunix_create(machine, 1234, 5678, 3, groups);
    ASSERT_EQ(client.Call(kNull), RPC_SUCCESS);
    // Only the kernel's word on a local socket sets local and the peer's ids.
    EXPECT_EQ(Describe(m_echo.LastCaller()),
              "flavor=1 ids=1234:5678,7,8,9 machine=tester.example from=127.0.0.1:" +
                  std::to_string(ntohs(local.sin_port)) + " local=0 peer=65534:65534 cert=");

    EXPECT_EQ(Client(Port(), kEchoProgram + 1, 1).Call(kNull), RPC_PROGUNAVAIL);
    Client wrongVersion(Port(), kEchoProgram, 7);
    EXPECT_EQ(wrongVersion.Call(kNull), RPC_PROGVERSMISMATCH);
    rpc_err error{};
    clnt_geterr(wrongVersion.get(), &error);
    EXPECT_EQ(std::make_pair(error.re_vers.low, error.re_vers.high), std::make_pair(1u, 2u));
}

// A credential or verifier in a raw call: flavor, the length the record
// claims, and the bytes it holds.
struct Auth {
    uint32_t flavor, claimed, held;
};

// Another RPC version, and credentials and verifiers the transport refuses,
// are denied with an answer rather than silence; the connection stays usable.
TEST_F(RpcServerTest, AnotherVersionAndBadCredentialsOrVerifiersAreDenied) {
    StartServer();
    const Auth none{AUTH_NONE, 0, 0};
    const struct {
        const char* what;
        uint32_t rpcvers;
        Auth credential, verifier;
        std::vector<uint32_t> denied;  // what follows xid, REPLY, MSG_DENIED
    } cases[] = {
        {"RPC version 3", 3, none, none, {RPC_MISMATCH, 2, 2}},
        {"RPCSEC_GSS", 2, {RPCSEC_GSS, 8, 8}, none, {AUTH_ERROR, AUTH_TOOWEAK}},
        {"AUTH_SYS body cut short", 2, {AUTH_SYS, 4, 4}, none, {AUTH_ERROR, AUTH_BADCRED}},
        {"credential of 404 bytes", 2, {AUTH_SYS, 404, 404}, none, {AUTH_ERROR, AUTH_BADCRED}},
        {"credential past the record", 2, {AUTH_SYS, 200, 8}, none, {AUTH_ERROR, AUTH_BADCRED}},
        {"verifier of 404 bytes", 2, none, {AUTH_NONE, 404, 404}, {AUTH_ERROR, AUTH_BADVERF}},
        {"verifier past the record", 2, none, {AUTH_NONE, 64, 0}, {AUTH_ERROR, AUTH_BADVERF}},
    };
    RawSocket socket(Port());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const uint32_t xid = 100 + 2 * static_cast<uint32_t>(&c - cases);
        std::string call = Words({xid, CALL, c.rpcvers, kEchoProgram, 1, kNull});
        for (const Auth& auth : {c.credential, c.verifier})
            call += Words({auth.flavor, auth.claimed}) + std::string(auth.held, '\0');
        ASSERT_TRUE(socket.Send(Stream({{call, true}})));
        std::vector<uint32_t> reply = {xid, REPLY, MSG_DENIED};
        reply.insert(reply.end(), c.denied.begin(), c.denied.end());
        EXPECT_EQ(ReplyWords(socket), reply);
        EXPECT_EQ(NullCall(socket, xid + 1), xid + 1);
    }
}

TEST_F(RpcServerTest, ManyConcurrentClientsAllGetTheirOwnAnswers) {
    StartServer();
    constexpr int kClients = 12, kCalls = 40;
    std::atomic<int> correct{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c)
        threads.emplace_back([this, c, &correct] {
            Client client(Port());
            for (int i = 0; client.get() && i < kCalls; ++i) {
                std::string text = "client " + std::to_string(c) + " call " + std::to_string(i);
                correct += client.Echo(text) == text;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(correct.load(), kClients * kCalls);
}

// A stalled record keeps nobody else waiting either: see the record
// timeout's row in RpcServerLimitsTest.cpp.
TEST_F(RpcServerTest, AnOversizedRecordClosesOnlyItsOwnConnection) {
    StartServer([](RpcServer::Options& options) { options.maxRecord = 4096; });
    Client bystander(Port());
    RawSocket offender(Port());
    ASSERT_TRUE(offender.Send(Stream({{std::string(1024, 'x'), true, 8192}})));
    EXPECT_TRUE(offender.ClosedByServer());
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const uint32_t xid = 1 + 2 * static_cast<uint32_t>(&c - cases);
        std::string body =
            Words({xid, CALL, 2, kEchoProgram, 1, kNull, AUTH_NONE, 0, AUTH_NONE, 0});
        body.resize(size, 'x');  // arguments NULL ignores
        std::vector<Fragment> fragments;
        for (size_t i = 0, at = 0; i < c.fragments.size(); at += c.fragments[i++])
            fragments.push_back({body.substr(at, c.fragments[i]), i + 1 == c.fragments.size()});
        const std::vector<uint8_t> stream = Stream(fragments);
        for (size_t sent = 0; sent < stream.size(); sent += c.piece) {
            std::this_thread::sleep_for(std::chrono::milliseconds(sent ? 10 : 0));
            ASSERT_TRUE(socket.Send(stream.data() + sent, std::min(c.piece, stream.size() - sent)));
        }
        EXPECT_EQ(ReplyXid(socket), xid);
        EXPECT_EQ(NullCall(socket, xid + 1), xid + 1);
    }
}

// Quick calls may run on the connection's reader; a call that waits long
// must not: the calls sent after it on the same connection are answered
// while it still waits, those that arrive together shared between the
// reader and the workers and each answered exactly once. Stop lets the
// waiting call finish, then refuses connections.
TEST_F(RpcServerTest, CallsBehindOneThatWaitsAreEachAnsweredOnceAndStopLetsItFinish) {
    StartServer();
    Client idle(Port());
    ASSERT_EQ(idle.Call(kNull), RPC_SUCCESS);
    RawSocket socket(Port());
    ASSERT_TRUE(SendCall(socket, 1, kHeld));
    ASSERT_TRUE(m_echo.AwaitHeldCall());
    std::multiset<uint32_t> sent, answered;
    for (uint32_t round = 1; round <= 5; ++round) {
        for (uint32_t xid = round * 100 + 1; xid <= round * 100 + 40; ++xid) {
            ASSERT_TRUE(SendCall(socket, xid, xid % 2 ? kNull : kEcho + 98));  // NULL or unknown
            sent.insert(xid);
        }
        for (int i = 0; i < 40; ++i)
            answered.insert(ReplyXid(socket));
    }
    EXPECT_EQ(answered, sent);
    std::thread stopper([this] { m_server->Stop(); });
    m_echo.ReleaseHeldCall();
    EXPECT_EQ(ReplyXid(socket), 1u);
    stopper.join();
    EXPECT_NE(idle.Call(kNull), RPC_SUCCESS);
    EXPECT_EQ(Client(Port()).get(), nullptr);
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
    RawSocket client(ntohs(address.sin_port));
    RpcConnection connection(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC),
                             ::eventfd(0, EFD_CLOEXEC), RpcCaller(), "test");
    ::close(listener);
    RpcProgramTable none;
    RpcDispatcher maker(none, 1024);
    auto unsent = [&] {
        int bytes = -1;
        return ::ioctl(connection.Socket(), SIOCOUTQNSD, &bytes) == 0 ? bytes : -1;
    };
    const struct {
        std::string reply;
        bool more;
        int unsent;
    } run[] = {{"first", true, 5}, {"second", false, 0}, {"third", true, 5}};
    for (const auto& r : run) {
        connection.Take(1);
        connection.Answer(reinterpret_cast<const uint8_t*>(r.reply.data()), r.reply.size(), maker,
                          r.more);
        EXPECT_EQ(unsent(), r.unsent) << r.reply;
    }
    connection.Push();
    EXPECT_EQ(unsent(), 0);
    std::string got(16, '\0');
    ASSERT_TRUE(client.ReceiveAll(&got[0], got.size()));
    EXPECT_EQ(got, "firstsecondthird");
}

TEST(RpcServerStart, RefusesANonNumericAddressAndServesIPv6Loopback) {
    RpcServer::Options options;
    options.bindAddress = "localhost";
    std::string error;
    EXPECT_FALSE(RpcServer(options).Start(error));
    EXPECT_NE(error.find("localhost"), std::string::npos);

    options.bindAddress = "::1";
    RpcServer v6(options);
    if (!v6.Start(error))
        GTEST_SKIP() << "no IPv6 loopback here: " << error;
    int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{AF_INET6, htons(v6.Port()), 0, in6addr_loopback, 0};
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
}

// Non-idempotent calls the transport answers again rather than running
// twice (ReplayCache.h), through the server and the cache alone.

// Counts its runs and answers the count, kHeld once the test lets it go,
// the others at once. All are non-idempotent.
class CountingProgram : public EchoProgram {
  public:
    accept_stat Call(const RpcCall& call, XDR* args, XDR* results) override {
        if (call.procedure == kHeld && EchoProgram::Call(call, args, results) != SUCCESS)
            return SYSTEM_ERR;
        u_int run = ++m_runs;
        return xdr_u_int(results, &run) ? SUCCESS : SYSTEM_ERR;
    }
    bool Quick(uint32_t, uint32_t) const override { return false; }
    bool NonIdempotent(uint32_t, uint32_t) const override { return true; }
    u_int Runs() const { return m_runs; }

  private:
    std::atomic<u_int> m_runs{0};
};

class ReplayedCalls : public RpcServerTest {
  protected:
    ~ReplayedCalls() override { m_server.reset(); }  // before the program it serves
    CountingProgram m_counting;
};

// A retransmission, on another connection, that arrives while the first
// still runs is dropped, and the one after it gets the first reply; the
// same xid with other arguments is another call.
TEST_F(ReplayedCalls, ARetransmissionIsNeverRunTwice) {
    StartServer([](RpcServer::Options& options) { options.workers = 2; }, &m_counting);
    RawSocket first(Port()), second(Port());
    ASSERT_TRUE(SendCall(first, 9, kHeld));
    ASSERT_TRUE(m_counting.AwaitHeldCall());
    ASSERT_TRUE(SendCall(second, 9, kHeld));
    m_counting.ReleaseHeldCall();
    // xid, REPLY, MSG_ACCEPTED, a null verifier, SUCCESS, the run's count
    const std::vector<uint32_t> answer = {9, REPLY, MSG_ACCEPTED, AUTH_NONE, 0, SUCCESS, 1};
    ASSERT_EQ(ReplyWords(first), answer);
    ASSERT_TRUE(SendCall(second, 9, kHeld));
    std::vector<uint32_t> again = ReplyWords(second);
    EXPECT_EQ(again, answer);
    EXPECT_EQ(m_counting.Runs(), 1u);
    ASSERT_TRUE(SendCall(second, 9, kBulk, 3));
    // Past the first reply again, had the held retransmission come too late
    // to be dropped.
    for (int read = 0; read < 2 && again == answer; ++read)
        again = ReplyWords(second);
    EXPECT_EQ(again, (std::vector<uint32_t>{9, REPLY, MSG_ACCEPTED, AUTH_NONE, 0, SUCCESS, 2}));
}

TEST(ReplayCache, KeepsRepliesWithinItsBounds) {
    ReplayCache cache(4, 1600);
    RpcCall call;
    const uint8_t record[] = {1, 2, 3, 4};
    auto key = [&](uint32_t xid) {
        call.xid = xid;
        return ReplayCache::KeyOf(call, record, sizeof record, 0);
    };
    std::vector<uint8_t> reply, small(90, 's'), large(101, 'l');
    EXPECT_EQ(cache.Begin(key(1), reply), ReplayCache::Seen::kNew);
    EXPECT_EQ(cache.Begin(key(1), reply), ReplayCache::Seen::kRunning);
    cache.Abandon(key(1));
    EXPECT_EQ(cache.Begin(key(1), reply), ReplayCache::Seen::kNew);
    cache.Complete(key(1), small.data(), small.size());
    EXPECT_EQ(cache.Begin(key(1), reply), ReplayCache::Seen::kDone);
    EXPECT_EQ(reply, small);
    // Over a sixteenth of the bytes: not kept.
    ASSERT_EQ(cache.Begin(key(2), reply), ReplayCache::Seen::kNew);
    cache.Complete(key(2), large.data(), large.size());
    EXPECT_EQ(cache.Begin(key(2), reply), ReplayCache::Seen::kNew);
    cache.Abandon(key(2));
    // Entries: the least recently used goes first (1 was used last but one).
    for (uint32_t xid = 10; xid < 14; ++xid) {
        ASSERT_EQ(cache.Begin(key(xid), reply), ReplayCache::Seen::kNew);
        cache.Complete(key(xid), small.data(), small.size());
        if (xid == 11)
            cache.Begin(key(1), reply);
    }
    EXPECT_EQ(cache.Entries(), 4u);
    EXPECT_EQ(cache.Begin(key(1), reply), ReplayCache::Seen::kDone);
    EXPECT_EQ(cache.Begin(key(10), reply), ReplayCache::Seen::kNew);
    // Bytes.
    ReplayCache narrow(100, 320);
    for (uint32_t xid = 20; xid < 40; ++xid) {
        ASSERT_EQ(narrow.Begin(key(xid), reply), ReplayCache::Seen::kNew);
        narrow.Complete(key(xid), small.data(), 20);
    }
    EXPECT_EQ(narrow.Bytes(), 320u);
    EXPECT_EQ(narrow.Entries(), 16u);
}

}  // namespace
