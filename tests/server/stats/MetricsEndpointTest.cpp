// The metrics endpoint against hostile clients on loopback sockets: a
// scraper is answered at once beside many silent connections, slow senders
// and clients that never read; each such client is ended by its deadline,
// and an over-long request head is refused.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "server/stats/MetricsEndpoint.h"

namespace {

typedef std::chrono::steady_clock Clock;
using std::chrono::milliseconds;

const std::string kGet = "GET /metrics HTTP/1.0\r\n\r\n";
const std::string kEndless = "GET /metrics HTTP/1.0\r\nX-Pad: " + std::string(100, 'a');
constexpr size_t kSmall = 4096;

// Longer than the kernel holds for a client that does not read (the
// endpoint's send buffer grows at most to tcp_wmem's top; the client's
// receive buffer is small), so such a client's answer stays unsent.
size_t BigBody() {
    size_t least = 0, start = 0, top = 4u << 20;
    std::ifstream("/proc/sys/net/ipv4/tcp_wmem") >> least >> start >> top;
    return 2 * top;
}
const size_t kBig = BigBody();

// Sockets closed with the test.
struct Sockets {
    std::vector<int> fds;
    ~Sockets() {
        for (int fd : fds)
            ::close(fd);
    }
};

// A connection to 127.0.0.1:port, kept in sockets. Its sends and receives
// give up after 10 s, so no test hangs; its small receive buffer keeps an
// answer it does not read at the endpoint.
int Connect(uint16_t port, Sockets& sockets) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockets.fds.push_back(fd);
    const timeval timeout{10, 0};
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

// Sends text in pieces, pause between them, until one cannot be sent.
void Send(int fd, const std::string& text, size_t piece = 4096, milliseconds pause = {}) {
    for (size_t at = 0; at < text.size(); at += piece) {
        if (at > 0)
            std::this_thread::sleep_for(pause);
        if (::send(fd, text.data() + at, std::min(piece, text.size() - at), MSG_NOSIGNAL) < 0)
            return;
    }
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

uint16_t Start(MetricsEndpoint& endpoint) {
    std::string error;
    EXPECT_TRUE(endpoint.Start("127.0.0.1", 0, error)) << error;
    return endpoint.Port();
}

// Beside clients that hold a connection without finishing it (silent ones,
// ones sending a head that never ends a byte per 100 ms, ones not reading a
// long answer), a scraper's GET is answered whole well within what a busy
// machine needs.
TEST(MetricsEndpoint, AScraperIsAnsweredBesideHostileClients) {
    const struct {
        size_t count;
        std::string sends;  // at once
        bool dribbles;
        size_t bigAnswers;  // the first ones, to the hostile clients
    } crowds[] = {{20, "", false, 0},
                  {200, "", false, 0},
                  {1000, "", false, 0},
                  {3, "", true, 0},
                  {2, kGet, false, 2}};
    for (const auto& crowd : crowds) {
        SCOPED_TRACE(testing::Message() << crowd.count << " sending [" << crowd.sends << "]"
                                        << (crowd.dribbles ? " then dribbling" : ""));
        MetricsEndpoint endpoint([&crowd, answers = size_t(0)]() mutable {
            return std::string(++answers <= crowd.bigAnswers ? kBig : kSmall, 'm');
        });
        const uint16_t port = Start(endpoint);
        Sockets hostile;
        for (size_t i = 0; i < crowd.count; ++i)
            Send(Connect(port, hostile), crowd.sends);
        std::atomic<bool> done{false};
        std::thread dribbler([&] {
            for (size_t at = 0; crowd.dribbles && at < kEndless.size() && !done; ++at) {
                for (int fd : hostile.fds)
                    ::send(fd, &kEndless[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                std::this_thread::sleep_for(milliseconds(100));
            }
        });

        const auto start = Clock::now();
        Sockets scraper;
        Send(Connect(port, scraper), kGet);
        const Reply reply = ReadAll(scraper.fds[0]);
        const auto took = Clock::now() - start;
        done = true;
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
    limits.headTime = limits.sendTime = milliseconds(300);
    const std::string overLong = kEndless + std::string(limits.maxHead, 'a');
    const std::string shortHead = "GET /metrics HTTP/1.0\r\n";
    const struct {
        const char* name;
        std::string sends;
        size_t piece;
        milliseconds pause;
        bool shutsItsSide;
        milliseconds readsAfter;
        const char* status;  // null: closed unanswered
        bool whole;
        size_t body;
    } rows[] = {
        {"silent", "", 1, {}, false, {}, nullptr, false, kSmall},
        {"head in pieces", kGet, 11, milliseconds(30), false, {}, "200 OK", true, kSmall},
        {"stops sending before the blank line",
         shortHead,
         100,
         {},
         true,
         {},
         "200 OK",
         true,
         kSmall},
        {"another path",
         "GET / HTTP/1.0\r\n\r\n",
         100,
         {},
         false,
         {},
         "404 Not Found",
         true,
         kSmall},
        {"head past the head time", kGet, 1, milliseconds(40), false, {}, nullptr, false, kSmall},
        {"head over the limit",
         overLong + "\r\n\r\n",
         4096,
         {},
         false,
         {},
         "431 Request Header Fields Too Large",
         true,
         kSmall},
        {"head that never ends",
         overLong + overLong + overLong,
         4096,
         {},
         false,
         {},
         "431 Request Header Fields Too Large",
         true,
         kSmall},
        {"never reads its answer", kGet, 100, {}, false, milliseconds(1000), "200 OK", false, kBig},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        MetricsEndpoint endpoint([&row] { return std::string(row.body, 'm'); }, limits);
        const uint16_t port = Start(endpoint);
        Sockets client;
        const int fd = Connect(port, client);
        Send(fd, row.sends, row.piece, row.pause);
        if (row.shutsItsSide)
            ::shutdown(fd, SHUT_WR);
        std::this_thread::sleep_for(row.readsAfter);
        const Reply reply = ReadAll(fd);
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
