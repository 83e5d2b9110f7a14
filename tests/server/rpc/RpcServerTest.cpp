#include "server/rpc/RpcServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kEchoProgram = 0x20004c55;
constexpr u_int kMaxText = 8192;
const timeval kCallTimeout{30, 0};  // a bound on a hang, not a measurement

enum EchoProc : uint32_t { kNull = 0, kEcho = 1, kHeld = 3 };

// Echoes strings and keeps the caller the transport saw.
class EchoProgram : public RpcProgram {
  public:
    uint32_t Number() const override { return kEchoProgram; }
    uint32_t LowVersion() const override { return 1; }
    uint32_t HighVersion() const override { return 2; }
    accept_stat Call(const RpcCall& call, XDR* args, XDR* results) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_caller = call.caller;
        if (call.procedure == kNull)
            return SUCCESS;
        if (call.procedure == kHeld) {  // stays in flight until the test releases it
            m_held = true;
            m_changed.notify_all();
            m_changed.wait_for(lock, std::chrono::seconds(30), [this] { return m_released; });
            return SUCCESS;
        }
        if (call.procedure != kEcho)
            return PROC_UNAVAIL;
        std::vector<char> text(kMaxText + 1);
        char* p = text.data();
        if (!xdr_string(args, &p, kMaxText))
            return GARBAGE_ARGS;
        return xdr_string(results, &p, kMaxText) ? SUCCESS : SYSTEM_ERR;
    }
    // Held calls may wait long; the others never do.
    bool Quick(uint32_t, uint32_t procedure) const override { return procedure != kHeld; }
    RpcCaller LastCaller() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_caller;
    }
    bool AwaitHeldCall() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30), [this] { return m_held; });
    }
    void ReleaseHeldCall() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    RpcCaller m_caller;
    bool m_held = false, m_released = false;
};

bool_t EncodeGarbage(XDR* xdrs, void*) {
    u_int hugeLength = 0xfffffff0u;  // a string length no buffer can hold
    return xdr_u_int(xdrs, &hugeLength);
}

// libtirpc takes every XDR routine as one variadic pointer type.
template <typename F>
xdrproc_t Proc(F f) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(f));
}

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// libtirpc's own TCP client, pointed at the port directly (no portmapper).
class Client {
  public:
    Client(uint16_t port, uint32_t program, uint32_t version, u_int sendSize = 0) {
        sockaddr_in address = Loopback(port);
        m_client = clnttcp_create(&address, program, version, &m_socket, sendSize, 0);
    }
    ~Client() {
        if (!m_client)
            return;
        auth_destroy(m_client->cl_auth);  // the client does not own it
        clnt_destroy(m_client);
    }
    CLIENT* get() const { return m_client; }
    int Socket() const { return m_socket; }

    // The echoed text, or "failed: <status>".
    std::string Echo(const std::string& text) {
        std::vector<char> back(kMaxText + 1);
        char* in = const_cast<char*>(text.c_str());
        char* out = back.data();
        clnt_stat status = clnt_call(m_client, kEcho, Proc(xdr_wrapstring), &in,
                                     Proc(xdr_wrapstring), &out, kCallTimeout);
        return status == RPC_SUCCESS ? back.data() : "failed: " + std::to_string(status);
    }
    clnt_stat Call(uint32_t procedure) {
        return clnt_call(m_client, procedure, Proc(xdr_void), nullptr, Proc(xdr_void), nullptr,
                         kCallTimeout);
    }

  private:
    CLIENT* m_client = nullptr;
    int m_socket = RPC_ANYSOCK;
};

// A plain socket for what libtirpc's client will not send.
class RawSocket {
  public:
    explicit RawSocket(uint16_t port) : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        timeval bound{30, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
        sockaddr_in address = Loopback(port);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~RawSocket() { ::close(m_fd); }
    bool Connected() const { return m_connected; }
    bool Send(const void* data, size_t length) {
        return ::send(m_fd, data, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
    }
    bool SendMark(uint32_t word) {
        uint32_t mark = htonl(word);
        return Send(&mark, sizeof(mark));
    }
    // Fills data exactly; false on end of stream or error.
    bool ReceiveAll(void* data, size_t length) {
        for (auto* at = static_cast<char*>(data); length > 0;) {
            ssize_t got = ::recv(m_fd, at, length, 0);
            if (got <= 0)
                return false;
            at += got;
            length -= static_cast<size_t>(got);
        }
        return true;
    }
    int fd() const { return m_fd; }

  private:
    int m_fd;
    bool m_connected = false;
};

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
    uint32_t mark = 0;
    if (!socket.SendMark(0x80000000u | xdr_getpos(&out)) ||
        !socket.Send(buffer, xdr_getpos(&out)) || !socket.ReceiveAll(&mark, sizeof(mark)))
        return false;
    std::vector<char> record(ntohl(mark) & 0x7fffffffu);
    if (!socket.ReceiveAll(record.data(), record.size()))
        return false;
    XDR in;
    xdrmem_create(&in, record.data(), static_cast<u_int>(record.size()), XDR_DECODE);
    reply = rpc_msg{};
    reply.acpted_rply.ar_results.proc = AnyResults;
    return xdr_replymsg(&in, &reply);
}

// Writes one whole call record (AUTH_NONE, no arguments) to the socket.
bool SendCall(RawSocket& socket, uint32_t xid, uint32_t procedure) {
    rpc_msg call{};
    call.rm_xid = xid;
    call.rm_call = {2, kEchoProgram, 1, procedure, _null_auth, _null_auth};
    char buffer[256];
    XDR out;
    xdrmem_create(&out, buffer, sizeof(buffer), XDR_ENCODE);
    return xdr_callmsg(&out, &call) && socket.SendMark(0x80000000u | xdr_getpos(&out)) &&
           socket.Send(buffer, xdr_getpos(&out));
}

// The xid of the next reply record on the socket; 0 when none arrives.
uint32_t ReplyXid(RawSocket& socket) {
    uint32_t mark = 0;
    if (!socket.ReceiveAll(&mark, sizeof(mark)))
        return 0;
    std::vector<char> record(ntohl(mark) & 0x7fffffffu);
    uint32_t xid = 0;
    if (record.size() < sizeof(xid) || !socket.ReceiveAll(record.data(), record.size()))
        return 0;
    std::memcpy(&xid, record.data(), sizeof(xid));
    return ntohl(xid);
}

class RpcServerTest : public ::testing::Test {
  protected:
    void StartServer(RpcServer::Options options = RpcServer::Options()) {
        m_server.reset(new RpcServer(options));
        m_server->AddProgram(&m_echo);
        std::string error;
        ASSERT_TRUE(m_server->Start(error)) << error;
        ASSERT_NE(m_server->Port(), 0);
    }
    uint16_t Port() const { return m_server->Port(); }

    EchoProgram m_echo;
    std::unique_ptr<RpcServer> m_server;
};

TEST_F(RpcServerTest, CallsAreAnsweredAndRefusalsKeepTheConnectionUsable) {
    StartServer();
    Client client(Port(), kEchoProgram, 2);
    ASSERT_NE(client.get(), nullptr) << clnt_spcreateerror("clnttcp_create");
    EXPECT_EQ(client.Call(kNull), RPC_SUCCESS);
    EXPECT_EQ(client.Echo("hello over TCP"), "hello over TCP");
    EXPECT_EQ(client.Echo(""), "");
    EXPECT_EQ(client.Call(99), RPC_PROCUNAVAIL);
    char* out = nullptr;
    EXPECT_EQ(clnt_call(client.get(), kEcho, Proc(EncodeGarbage), nullptr, Proc(xdr_wrapstring),
                        &out, kCallTimeout),
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
