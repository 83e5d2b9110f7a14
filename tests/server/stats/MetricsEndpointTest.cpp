// The metrics endpoint against hostile clients on loopback sockets: a
// scraper is answered at once beside many silent connections, slow senders
// and clients that never read; each such client is ended by its deadline,
// and an over-long request head is refused.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "server/stats/MetricsEndpoint.h"

namespace {

typedef std::chrono::steady_clock Clock;
using std::chrono::milliseconds;

const std::string kGet = "GET /metrics HTTP/1.0\r\n\r\n";
const std::string kHeadStart = "GET /metrics HTTP/1.0\r\nX-Pad: ";
constexpr size_t kSmall = 4096;

// A body longer than the kernel holds for a client that does not read (the
// endpoint's send buffer grows at most to tcp_wmem's top; the client's
// receive buffer is small), so such a client's answer stays unsent.
size_t BigBody() {
    size_t least = 0, start = 0, top = 4u << 20;
    std::ifstream("/proc/sys/net/ipv4/tcp_wmem") >> least >> start >> top;
    return 2 * top;
}
const size_t kBig = BigBody();

std::string Body(size_t size) {
    return std::string(size, 'm');
}

// Sockets closed with the test.
struct Sockets {
    std::vector<int> fds;
    ~Sockets() {
        for (int fd : fds)
            ::close(fd);
    }
};

// A socket to 127.0.0.1:port, connected unless nonBlocking (then under
// way); its sends and receives give up after 10 s, so no test hangs. A small
// receive buffer keeps an unread answer at the endpoint.
int Connect(uint16_t port, bool nonBlocking = false, bool smallReceive = false) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    const timeval timeout{10, 0};
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (smallReceive)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    const int made = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    EXPECT_TRUE(made == 0 || (nonBlocking && errno == EINPROGRESS)) << std::strerror(errno);
    return fd;
}

// count connections, every one through its handshake (within 5 s).
void ConnectMany(uint16_t port, size_t count, Sockets& sockets) {
    std::vector<pollfd> waiting;
    for (size_t i = 0; i < count; ++i) {
        sockets.fds.push_back(Connect(port, true));
        waiting.push_back({sockets.fds.back(), POLLOUT, 0});
    }
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (pollfd& entry : waiting)
        while (!(entry.revents & POLLOUT) && Clock::now() < deadline)
            ::poll(&entry, 1, 100);
    for (const pollfd& entry : waiting)
        ASSERT_TRUE(entry.revents & POLLOUT) << "a connection was never made";
}

struct Reply {
    std::string text;
    bool closed = false;  // the endpoint ended it (not our receive timeout)
};

Reply ReadAll(int fd) {
    Reply reply;
    std::vector<char> buffer(1 << 16);
    while (reply.text.size() <= 2 * kBig) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0) {
            reply.closed = got == 0 || errno == ECONNRESET;
            break;
        }
        reply.text.append(buffer.data(), static_cast<size_t>(got));
    }
    return reply;
}

// Whether the body is as long as the head's Content-Length says.
bool Whole(const std::string& response) {
    const size_t blank = response.find("\r\n\r\n");
    const size_t length = response.find("\r\nContent-Length: ");
    return blank != std::string::npos && length < blank &&
           std::stoul(response.substr(length + 18)) == response.size() - blank - 4;
}

// Sends request in pieces, pause between them, until one cannot be sent.
void SendInPieces(int fd, const std::string& request, size_t piece, milliseconds pause) {
    for (size_t at = 0; at < request.size(); at += piece) {
        if (at > 0)
            std::this_thread::sleep_for(pause);
        if (::send(fd, request.data() + at, std::min(piece, request.size() - at), MSG_NOSIGNAL) < 0)
            return;
    }
}

uint16_t Start(MetricsEndpoint& endpoint) {
    std::string error;
    EXPECT_TRUE(endpoint.Start("127.0.0.1", 0, error)) << error;
    return endpoint.Port();
}

enum class Kind { kSilent, kDribbling, kNotReading };

// Opens count hostile clients of a kind; a dribbling one sends a head that
// never ends, a byte per 100 ms from its own thread until done.
std::thread OpenHostile(uint16_t port, Kind kind, size_t count, Sockets& sockets,
                        const std::atomic<bool>& done) {
    if (kind == Kind::kSilent) {
        ConnectMany(port, count, sockets);
        return std::thread();
    }
    for (size_t i = 0; i < count; ++i)
        sockets.fds.push_back(Connect(port, false, kind == Kind::kNotReading));
    if (kind == Kind::kNotReading) {
        for (int fd : sockets.fds)
            EXPECT_EQ(::send(fd, kGet.data(), kGet.size(), MSG_NOSIGNAL), ssize_t(kGet.size()));
        return std::thread();
    }
    return std::thread([&sockets, &done] {
        const std::string head = kHeadStart + std::string(100, 'a');
        for (size_t at = 0; at < head.size() && !done; ++at) {
            for (int fd : sockets.fds)
                ::send(fd, &head[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(milliseconds(100));
        }
    });
}

// Beside clients that hold a connection without finishing it, a scraper's
// GET is answered whole well within the time a busy machine needs.
TEST(MetricsEndpoint, AScraperIsAnsweredBesideHostileClients) {
    const struct {
        Kind kind;
        size_t count;
        size_t bigAnswers;  // the first ones, to the hostile clients
    } crowds[] = {{Kind::kSilent, 20, 0},
                  {Kind::kSilent, 200, 0},
                  {Kind::kSilent, 1000, 0},
                  {Kind::kDribbling, 3, 0},
                  {Kind::kNotReading, 2, 2}};
    for (const auto& crowd : crowds) {
        SCOPED_TRACE(testing::Message() << "kind " << int(crowd.kind) << " x" << crowd.count);
        MetricsEndpoint endpoint([&crowd, answers = size_t(0)]() mutable {
            return Body(++answers <= crowd.bigAnswers ? kBig : kSmall);
        });
        const uint16_t port = Start(endpoint);
        Sockets hostile;
        std::atomic<bool> done{false};
        std::thread dribbler = OpenHostile(port, crowd.kind, crowd.count, hostile, done);

        const auto start = Clock::now();
        Sockets scraper;
        scraper.fds.push_back(Connect(port));
        ASSERT_EQ(::send(scraper.fds[0], kGet.data(), kGet.size(), MSG_NOSIGNAL),
                  ssize_t(kGet.size()));
        const Reply reply = ReadAll(scraper.fds[0]);
        const auto took = Clock::now() - start;
        done = true;
        if (dribbler.joinable())
            dribbler.join();
        EXPECT_EQ(reply.text.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << reply.text.substr(0, 100);
        EXPECT_TRUE(Whole(reply.text));
        EXPECT_LT(took, std::chrono::seconds(2));
    }
}

// Each client alone, with short deadlines: what it is answered, if
// anything, before the endpoint closes it.
TEST(MetricsEndpoint, EachClientIsAnsweredOrClosedByItsBounds) {
    MetricsLimits limits;
    limits.headTime = milliseconds(300);
    limits.sendTime = milliseconds(300);
    const std::string overLong = kHeadStart + std::string(limits.maxHead, 'a');
    const struct {
        const char* name;
        std::function<void(int)> act;
        const char* status;  // null: closed unanswered
        bool whole;
        size_t body = kSmall;
    } rows[] = {
        {"silent", [](int) {}, nullptr, false},
        {"head in pieces", [](int fd) { SendInPieces(fd, kGet, 11, milliseconds(30)); }, "200 OK",
         true},
        {"sends, then shuts its side before the blank line",
         [](int fd) {
             SendInPieces(fd, "GET /metrics HTTP/1.0\r\n", 100, milliseconds(0));
             ::shutdown(fd, SHUT_WR);
         },
         "200 OK", true},
        {"another path", [](int fd) { SendInPieces(fd, "GET / HTTP/1.0\r\n\r\n", 100, {}); },
         "404 Not Found", true},
        {"head past the head time", [](int fd) { SendInPieces(fd, kGet, 1, milliseconds(40)); },
         nullptr, false},
        {"head over the limit", [&](int fd) { SendInPieces(fd, overLong + "\r\n\r\n", 4096, {}); },
         "431 Request Header Fields Too Large", true},
        {"head that never ends",
         [&](int fd) { SendInPieces(fd, overLong + overLong + overLong, 4096, {}); },
         "431 Request Header Fields Too Large", true},
        {"never reads its answer",
         [](int fd) {
             SendInPieces(fd, kGet, 100, {});
             std::this_thread::sleep_for(milliseconds(1000));
         },
         "200 OK", false, kBig},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MetricsEndpoint endpoint([&row] { return Body(row.body); }, limits);
        const uint16_t port = Start(endpoint);
        Sockets client;
        client.fds.push_back(Connect(port, false, true));
        row.act(client.fds[0]);
        const Reply reply = ReadAll(client.fds[0]);
        EXPECT_TRUE(reply.closed);
        if (!row.status) {
            EXPECT_TRUE(reply.text.empty()) << reply.text.substr(0, 100);
            continue;
        }
        EXPECT_EQ(reply.text.rfind(std::string("HTTP/1.0 ") + row.status + "\r\n", 0), 0u)
            << reply.text.substr(0, 100);
        EXPECT_EQ(Whole(reply.text), row.whole);
    }
}

}  // namespace
