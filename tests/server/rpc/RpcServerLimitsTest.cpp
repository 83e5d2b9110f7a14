// The transport under a hostile or careless client: every bound holds, every
// refusal is logged, and nothing stalls or stops the server.
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <future>
#include <new>
#include <set>
#include <system_error>

#include "server/rpc/HostNameLookup.h"
#include "server/tls/TlsClientChannel.h"
#include "tests/server/rpc/RpcTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/support/OpenDescriptors.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

// Seams for this test program: accept4 counts its calls while asked to, and
// allocations larger than a bound fail while asked to.
namespace {
std::atomic<bool> gCountAccepts{false};
std::atomic<long> gAccepts{0};
std::atomic<size_t> gFailAllocationsOver{SIZE_MAX};
std::atomic<bool> gThreadsFail{false};
}  // namespace

extern "C" int accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
    typedef int (*Accept4)(int, sockaddr*, socklen_t*, int);
    static const Accept4 real = reinterpret_cast<Accept4>(::dlsym(RTLD_NEXT, "accept4"));
    if (gCountAccepts)
        ++gAccepts;
    return real(fd, address, length, flags);
}

// The replacement pair allocates with malloc, so free is the matching release.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (size > gFailAllocationsOver.load(std::memory_order_relaxed))
        throw std::bad_alloc();
    if (void* block = std::malloc(size ? size : 1))
        return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace {

using namespace rpctest;
using std::chrono::milliseconds;

TEST_F(RpcServerTest, ConnectionsOverTheCapNoneIdleAreRefusedAndAClosedOneIsReleasedAtOnce) {
    StartServer([](RpcServer::Options& options) { options.maxConnections = 2; });
    LogCapture log(1);
    const size_t idle = OpenDescriptorCount();
    {
        RawSocket first(Port()), second(Port());
        ASSERT_TRUE(SendCall(first, 1, kHeld) && SendCall(second, 2, kHeld) &&
                    m_echo.AwaitHeldCall(2));
        EXPECT_TRUE(RawSocket(Port()).Refused());
        EXPECT_EQ(log.CountContaining("refused: 2 connections open, none idle"), 1u);
        m_echo.ReleaseHeldCall();
        EXPECT_EQ(ReplyXid(first), 1u);
        EXPECT_EQ(ReplyXid(second), 2u);
    }
    // The server lets go of each socket as its peer closes, not at the next accept.
    EXPECT_TRUE(Eventually([&] { return OpenDescriptorCount() == idle; }))
        << OpenDescriptorCount() << " descriptors open, " << idle << " before";
    EXPECT_EQ(Client(Port()).Call(kNull), RPC_SUCCESS);
}

TEST_F(RpcServerTest, SilentHalfSentAndUnreadConnectionsAreClosedOnesWaitingOnUsAreNot) {
    const milliseconds brief(300);  // the other two stay at their defaults, many seconds
    typedef RpcServer::Options Options;
    const struct {
        const char* reason;
        milliseconds Options::*timeout;
        std::function<bool(RawSocket&)> then;
    } cases[] = {
        {"idle for", &Options::idleTimeout,
         [this, brief](RawSocket& s) {  // not while it waits on a call of its own
             if (!SendCall(s, 7, kHeld) || !m_echo.AwaitHeldCall())
                 return false;
             std::this_thread::sleep_for(3 * brief);
             m_echo.ReleaseHeldCall();
             return ReplyXid(s) == 7;
         }},
        {"a record stayed unfinished", &Options::recordTimeout,
         [this](RawSocket& s) {  // keeping nobody else waiting meanwhile
             return s.Send(Stream({{"only ten b", true, 100}})) &&
                    Client(Port()).Echo("not blocked") == "not blocked";
         }},
        {"took no reply", &Options::sendTimeout,
         [](RawSocket& s) { return SendCall(s, 1, kBulk, 256 * 1024, 64); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        LogCapture log(2);
        StartServer([&](Options& options) { options.*c.timeout = brief; });
        const size_t before = OpenDescriptorCount();
        RawSocket socket(Port(), 4096);
        ASSERT_EQ(NullCall(socket, 99), 99u);  // served: the server holds its end
        ASSERT_TRUE(c.then(socket));
        EXPECT_TRUE(Eventually([&] { return OpenDescriptorCount() == before + 1; }))
            << "the server still holds the connection";
        EXPECT_EQ(log.CountContaining(c.reason), 1u);
    }
}

// The soft limit on descriptors raised to wanted, within the hard one.
void RaiseDescriptorLimit(rlim_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Connections are shared out by address: one address holds its share at
// most, whatever it opens, so another gets in; at the cap the oldest idle
// connection makes room for the next, never one with a call in progress;
// and a connection that sends no call is not kept.
TEST_F(RpcServerTest, ConnectionsAreSharedOutByAddress) {
    typedef RpcServer::Options Options;
    typedef std::vector<std::unique_ptr<RawSocket>> Sockets;
    auto open = [this](Sockets& into, size_t count) {
        while (into.size() < count)
            into.emplace_back(new RawSocket(Port()));
    };
    const struct {
        const char* what;
        std::function<void(Options&)> set;
        std::function<bool()> then;
        const char* logged;
    } cases[] = {
        {"a crowd of idle connections from one address", [](Options&) {},
         [&] {
             const size_t before = OpenDescriptorCount();
             Sockets crowd;
             open(crowd, 1030);
             // The server keeps a socket and an eventfd of its share alone.
             const bool shared = Eventually(
                 [&] { return OpenDescriptorCount() <= before + crowd.size() + 2 * 64; });
             RawSocket other(Port(), 0, "127.0.0.2");
             return shared && NullCall(other, 7) == 7;
         },
         "connections from 127.0.0.1 open"},
        {"one address over its share", [](Options& o) { o.maxConnectionsPerAddress = 2; },
         [&] {
             Sockets two;
             open(two, 2);
             RawSocket other(Port(), 0, "127.0.0.2");
             return NullCall(*two[1], 1) == 1 && RawSocket(Port()).Refused() &&
                    NullCall(other, 2) == 2;
         },
         "2 connections from 127.0.0.1 open"},
        {"the cap reached", [](Options& o) { o.maxConnections = 3; },
         [&] {
             Sockets three;
             open(three, 3);
             if (!SendCall(*three[0], 1, kHeld) || !m_echo.AwaitHeldCall() ||
                 NullCall(*three[1], 2) != 2 || NullCall(*three[2], 3) != 3)
                 return false;
             RawSocket newcomer(Port());
             const bool served = NullCall(newcomer, 4) == 4;
             m_echo.ReleaseHeldCall();
             return served && three[1]->ClosedByServer() && ReplyXid(*three[0]) == 1 &&
                    NullCall(*three[2], 5) == 5 && NullCall(*three[0], 6) == 6;
         },
         "the oldest idle one"},
        {"a connection that sends no call",
         [](Options& o) { o.firstCallTimeout = milliseconds(300); },
         [&] {
             RawSocket silent(Port()), talking(Port());
             if (NullCall(talking, 1) != 1 || !silent.ClosedByServer())
                 return false;
             std::this_thread::sleep_for(milliseconds(600));
             return NullCall(talking, 2) == 2;
         },
         "no call came for"},
    };
    // A socket of the test and two of the server's per connection: the
    // crowd's 1030, and 1024 more of the server's were it to take them all.
    RaiseDescriptorLimit(4096);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log(3);
        StartServer(c.set);
        EXPECT_TRUE(c.then());
        EXPECT_GE(log.CountContaining(c.logged), 1u);
    }
}

// Clients that ask for large, slow replies and never read them hold up
// nobody else, not even through the workers: each of another client's calls
// waits for a round of the connections with work at most, never for all
// their calls; and back-pressure loses nothing, whether the replies are
// copied or spliced (their padding included).
TEST_F(RpcServerTest, ClientsThatDoNotReadStallOnlyThemselves) {
    StartServer([](RpcServer::Options& options) { options.workers = 4; });
    constexpr uint32_t kStalled = 8, kCalls = 64, kGoodCalls = 200, kReply = 256 * 1024;
    // Served first come first served, the stalled calls would keep a good
    // one waiting seconds; a round of them takes kStalled / 4 * kListing.
    const milliseconds kListing(100), kPatience(1000);
    for (const uint32_t procedure : {kBulk, kPipedBulk}) {
        m_echo.SlowBulkOver(kReply - 1, kListing);
        std::vector<std::unique_ptr<RawSocket>> stalled;
        for (uint32_t i = 0; i < kStalled; ++i) {
            stalled.emplace_back(new RawSocket(Port(), 4096));
            ASSERT_TRUE(SendCall(*stalled.back(), 1, procedure, kReply, kCalls));
        }
        std::atomic<uint32_t> answered{0};
        std::atomic<int64_t> slowest{0};  // ms
        auto good = std::async(std::launch::async, [this, procedure, &answered, &slowest] {
            RawSocket socket(Port());
            std::vector<char> record;
            for (uint32_t xid = 1; xid <= kGoodCalls; ++xid) {
                const u_int size = 16 * 1024 + xid % 4;
                const auto sent = std::chrono::steady_clock::now();
                if (!SendCall(socket, xid, procedure, size) || ReplyXid(socket, &record) != xid ||
                    record.size() != kBulkOffset + RNDUP(size) ||
                    record[kBulkOffset + size - 1] != BulkByte(xid))
                    return;
                const auto took = std::chrono::duration_cast<milliseconds>(
                    std::chrono::steady_clock::now() - sent);
                slowest = std::max<int64_t>(slowest, took.count());
                ++answered;
            }
        });
        good.wait_for(std::chrono::seconds(20));
        const uint32_t answeredInTime = answered.load();
        if (answeredInTime != kGoodCalls)
            stalled.clear();  // frees whatever a blocked server still waits on
        good.get();
        ASSERT_EQ(answeredInTime, kGoodCalls) << "the good client was held up, " << procedure;
        EXPECT_LT(slowest.load(), kPatience.count())
            << "ms a good call waited behind the stalled ones, " << procedure;
        m_echo.SlowBulkOver(UINT_MAX, milliseconds(0));  // the stalled client reads at last
        std::set<uint32_t> intact;                       // whole, each with its own bytes
        std::vector<char> record;
        for (uint32_t i = 0, xid; i < kCalls && (xid = ReplyXid(*stalled.front(), &record)); ++i) {
            if (record.size() == kBulkOffset + kReply &&
                std::all_of(record.begin() + kBulkOffset, record.end(),
                            [xid](char c) { return c == BulkByte(xid); }))
                intact.insert(xid);
        }
        EXPECT_EQ(intact.size(), kCalls) << "a stalled client reading at last, " << procedure;
    }
}

TEST_F(RpcServerTest, NoThreadOrNoMemoryRefusesAConnectionNotTheServer) {
    StartServer([](RpcServer::Options& options) {
        options.startThread = [](std::function<void()> body) {
            if (gThreadsFail)
                throw std::system_error(EAGAIN, std::generic_category(), "no thread");
            return std::thread(std::move(body));
        };
    });
    LogCapture log(1);
    gThreadsFail = true;
    EXPECT_TRUE(RawSocket(Port()).Refused());
    gThreadsFail = false;
    EXPECT_EQ(log.CountContaining("no thread for it"), 1u);

    RawSocket greedy(Port());
    ASSERT_EQ(NullCall(greedy, 1), 1u);
    const std::vector<uint8_t> record = Stream({{std::string(1536 * 1024, 'x'), true}});
    gFailAllocationsOver = 1 << 20;  // the record's buffer cannot grow past 1 MiB
    greedy.Send(record);             // fails once the server has closed
    EXPECT_TRUE(greedy.ClosedByServer());
    gFailAllocationsOver = SIZE_MAX;
    EXPECT_EQ(log.CountContaining("out of memory"), 1u);
    EXPECT_EQ(Client(Port()).Echo("still serving"), "still serving");
}

TEST_F(RpcServerTest, OutOfDescriptorsTheAcceptorWaitsInsteadOfSpinning) {
    // Captured from the start: the sanitizers check a first virtual call with
    // a pipe, which they could not open once descriptors are out.
    LogCapture log(1);
    StartServer();
    // Every free descriptor under a lowered limit but one, until both are restored.
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const rlimit low{OpenDescriptorCount() + 16, saved.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> filler;
    for (int fd; filler.size() < 4096 && (fd = ::open("/dev/null", O_RDONLY)) >= 0;)
        filler.push_back(fd);
    ::close(filler.back());
    filler.pop_back();
    RawSocket client(Port());  // takes the one descriptor left
    gAccepts = 0;
    gCountAccepts = true;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    gCountAccepts = false;
    for (int fd : filler)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(client.Connected());
    EXPECT_GE(gAccepts.load(), 2) << "it keeps trying";
    EXPECT_LE(gAccepts.load(), 30) << "about once per 100 ms, not in a loop";
    EXPECT_EQ(log.CountContaining("Cannot accept connections"), 1u);
    EXPECT_EQ(NullCall(client, 5), 5u) << "served once descriptors are back";
}

// In a child process with these ids: 0 when a NULL call through the local
// socket is answered, 2 when the connection is refused, 1 otherwise. No
// allocation after fork.
int CallAs(const std::string& path, uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(gid) != 0 ||
            ::setuid(uid) != 0)
            ::_exit(1);
        RawSocket socket(path);
        if (!socket.Connected())
            ::_exit(errno == EACCES ? 2 : 1);
        uint32_t reply[7];  // mark, xid, REPLY, MSG_ACCEPTED, verifier (2), SUCCESS
        const bool answered = SendCall(socket, 31, kNull) &&
                              socket.ReceiveAll(reply, sizeof(reply)) && ntohl(reply[1]) == 31;
        ::_exit(answered ? 0 : 1);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(RpcServerTest, ALocalCallerIsKnownByItsProcessIdsAndTheSocketByItsGroup) {
    TempDir dir;
    ::chmod(dir.Path().c_str(), 0755);
    const std::string path = dir / "rpc.sock";
    // Left behind, as by a server that died: nothing answers on it.
    ASSERT_EQ(::mknod(path.c_str(), S_IFSOCK | 0755, 0), 0);

    RpcServer::Options options;
    std::string error;
    options.unixPath = dir.WriteFile("plain", "x");
    EXPECT_FALSE(RpcServer(options).Start(error));
    EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
    options.unixPath = path;
    options.unixGroup = 4242;
    StartServer([&](RpcServer::Options& set) { set = options; });
    EXPECT_EQ(Port(), 0);
    struct stat made {};
    ASSERT_EQ(::lstat(path.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & (S_IFMT | 0777), S_IFSOCK | 0660u);
    EXPECT_EQ(made.st_gid, 4242u);
    EXPECT_FALSE(RpcServer(options).Start(error)) << "a live server's socket is not taken over";

    const struct {
        gid_t gid;
        std::vector<gid_t> groups;
        const char* peer;  // none: refused
    } cases[] = {{4242, {7, 8}, "4321:4242,7,8"},
                 {1000, {9, 4242}, "4321:1000,9,4242"},
                 {1000, {7}, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gid);
        ASSERT_EQ(CallAs(path, 4321, c.gid, c.groups), c.peer ? 0 : 2);
        if (!c.peer)
            continue;
        const RpcCaller caller = m_echo.LastCaller();  // no host name looked up
        EXPECT_EQ(Describe(caller) + " host=" + caller.hostName,
                  "flavor=0 ids=65534:65534 machine= from=127.0.0.1:0 local=1 peer=" +
                      std::string(c.peer) + " cert= host=");
    }
    m_server->Stop();
    EXPECT_NE(::lstat(path.c_str(), &made), 0) << "Stop removes the socket";
}

// Whoever controls the reverse records of an address could name it anything:
// a name counts only when it resolves back to the peer.
TEST(RpcHostNames, ANameCountsOnlyWhenItResolvesBackToThePeer) {
    CRaIPAddr peer;
    ASSERT_TRUE(CRaIPAddr::Parse("127.0.0.1", peer));
    const struct {
        std::string reverse;
        std::vector<std::string> forward;
        std::string confirmed;
    } cases[] = {
        {"trusted.example", {"192.0.2.9", "::ffff:127.0.0.1"}, "trusted.example"},
        {"trusted.example", {"192.0.2.9"}, ""},  // a spoofed reverse record
        {"trusted.example", {}, ""},
        {"", {"127.0.0.1"}, ""},
        {"127.0.0.1", {"127.0.0.1"}, ""},  // a number is no name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reverse + " -> " + std::to_string(c.forward.size()) + " addresses");
        HostNameLookup lookup{[&c](const CRaIPAddr&) { return c.reverse; },
                              [&c](const std::string& name) {
                                  std::vector<CRaIPAddr> out(c.forward.size());
                                  for (size_t i = 0; name == c.reverse && i < out.size(); ++i)
                                      CRaIPAddr::Parse(c.forward[i], out[i]);
                                  return out;
                              }};
        EXPECT_EQ(ConfirmedHostName(peer, lookup), c.confirmed);
    }
}

// RPC-with-TLS on the transport: several callers at once go through their
// relays both ways and are known by their certificates' names; a caller
// without TLS is told it is too weak; one that never takes up TLS is closed
// in time.

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

    // A certificate names its caller by its one DNS alternative name, else
    // by its subject's one common name (client-one above); one that names
    // two proves neither, and its connection is closed as one naming nobody
    // is. A refused caller's calls meet a closed stream: EPIPE, not SIGPIPE.
    const sighandler_t saved = ::signal(SIGPIPE, SIG_IGN);
    const struct {
        const char* what;
        std::vector<std::string> commonNames;
        std::string altNames;
        std::string named;  // "": refused
    } cases[] = {
        {"two common names", {"self", "peer-a"}, "", ""},
        {"two common names, the other first", {"peer-a", "self"}, "", ""},
        {"a DNS name beside the common name", {"peer-a"}, "DNS:self", "self"},
        {"a DNS name beside two common names", {"peer-a", "peer-b"}, "DNS:self", "self"},
        {"two DNS names", {"self"}, "DNS:self,DNS:peer-a", ""},
        {"no DNS alternative name", {"peer-a"}, "IP:10.0.0.1,email:ops@example.org", "peer-a"},
    };
    int issued = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        const TestCertificate named =
            ca.IssueNamed("named-" + std::to_string(++issued), c.commonNames, c.altNames);
        const auto context = TlsContext::Make(TlsContext::Client, named.certificate, named.key,
                                              ca.Files().certificate, error);
        ASSERT_TRUE(context) << error;
        const int echoed = EchoOverTls(Port(), *context, 1);
        if (c.named.empty()) {
            EXPECT_EQ(echoed, 0);
            EXPECT_EQ(log.CountContaining("its certificate names no one client"), 1u);
        } else {
            EXPECT_EQ(echoed, 2);
            EXPECT_EQ(m_echo.LastCaller().certifiedName, c.named);
        }
    }
    ::signal(SIGPIPE, saved);
}

}  // namespace
