// The metrics endpoint: one thread answering GET /metrics over HTTP/1.0 to
// every client side by side, from one poll loop.
#include "server/stats/MetricsEndpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <utility>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

// Waiting connections the kernel holds for us: enough that a burst of them
// does not drop a scraper's connect (which would cost it a second's retry).
constexpr int kBacklog = 1024;
// Out of descriptors, accepting waits this long rather than spin.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

std::string Response(const char* status, const std::string& body) {
    return std::string("HTTP/1.0 ") + status +
           "\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

bool IsMetricsRequest(const std::string& request) {
    const size_t end = request.find_first_of("? ", 12);
    return request.compare(0, 12, "GET /metrics") == 0 && end == 12;
}

// One connection: it sends its request head, then is sent its answer and
// closed.
struct Client {
    enum Phase { kHead, kSend };

    Client(int socket, Clock::time_point until) : fd(socket), deadline(until) {}
    ~Client() { ::close(fd); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    const int fd;
    Phase phase = kHead;
    Clock::time_point deadline;
    std::string data;  // the head so far, then the answer
    size_t sent = 0;
};

// The open connections, oldest first, each moved on by what poll reports.
class Clients {
  public:
    Clients(const MetricsEndpoint::Source& source, const MetricsLimits& limits)
        : m_source(source), m_limits(limits) {}

    // One poll entry per client, in order, after those already in fds.
    void Watch(std::vector<pollfd>& fds) const;
    // The first deadline, or never when there is no client.
    Clock::time_point FirstDeadline() const;
    // Moves each client on by its entry of events (as Watch laid them out),
    // then closes those that failed or are past their deadline.
    void Serve(const pollfd* events);
    // Takes up to half the cap of waiting connections, so one just taken is
    // read before newcomers can push it out; false when out of descriptors.
    bool Accept(int listenFd);

  private:
    bool Move(Client& client);
    bool Read(Client& client);
    bool Answer(Client& client, std::string response);
    bool Send(Client& client);
    void Add(int fd);

    const MetricsEndpoint::Source& m_source;
    const MetricsLimits& m_limits;
    std::list<Client> m_clients;
};

void Clients::Watch(std::vector<pollfd>& fds) const {
    for (const Client& client : m_clients)
        fds.push_back(
            {client.fd, static_cast<short>(client.phase == Client::kSend ? POLLOUT : POLLIN), 0});
}

Clock::time_point Clients::FirstDeadline() const {
    Clock::time_point first = Clock::time_point::max();
    for (const Client& client : m_clients)
        first = std::min(first, client.deadline);
    return first;
}

void Clients::Serve(const pollfd* events) {
    const auto now = Clock::now();
    for (auto it = m_clients.begin(); it != m_clients.end(); ++events) {
        const bool open = (events->revents == 0 || Move(*it)) && it->deadline > now;
        it = open ? std::next(it) : m_clients.erase(it);
    }
}

// False when the client is to be closed.
bool Clients::Move(Client& client) {
    return client.phase == Client::kHead ? Read(client) : Send(client);
}

bool Clients::Read(Client& client) {
    char buffer[4096];
    const ssize_t got = ::recv(client.fd, buffer, sizeof buffer, 0);
    if (got < 0)
        return errno == EAGAIN || errno == EINTR;
    const size_t searchFrom = client.data.size() < 3 ? 0 : client.data.size() - 3;
    client.data.append(buffer, static_cast<size_t>(got));
    const size_t blank = client.data.find("\r\n\r\n", searchFrom);
    const size_t headEnd = blank == std::string::npos ? client.data.size() : blank + 4;
    if (headEnd > m_limits.maxHead)
        return Answer(client, Response("431 Request Header Fields Too Large", ""));
    // A client that stops sending before the blank line is answered what
    // it sent.
    if (blank == std::string::npos && got > 0)
        return true;
    return Answer(client, IsMetricsRequest(client.data) ? Response("200 OK", m_source())
                                                        : Response("404 Not Found", ""));
}

bool Clients::Answer(Client& client, std::string response) {
    client.data = std::move(response);
    client.phase = Client::kSend;
    client.deadline = Clock::now() + m_limits.sendTime;
    return Send(client);
}

bool Clients::Send(Client& client) {
    const ssize_t put = ::send(client.fd, client.data.data() + client.sent,
                               client.data.size() - client.sent, MSG_NOSIGNAL);
    if (put < 0)
        return errno == EAGAIN || errno == EINTR;
    client.sent += static_cast<size_t>(put);
    return client.sent < client.data.size();
}

bool Clients::Accept(int listenFd) {
    for (size_t i = 0; i < std::max<size_t>(1, m_limits.maxClients / 2); ++i) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return errno != EMFILE && errno != ENFILE;
        Add(fd);
    }
    return true;
}

void Clients::Add(int fd) {
    if (!m_clients.empty() && m_clients.size() >= m_limits.maxClients) {
        auto owing = std::find_if(m_clients.begin(), m_clients.end(),
                                  [](const Client& c) { return c.phase == Client::kHead; });
        m_clients.erase(owing == m_clients.end() ? m_clients.begin() : owing);
    }
    m_clients.emplace_back(fd, Clock::now() + m_limits.headTime);
}

// Milliseconds from now to when, rounded up; -1 for never.
int PollTimeout(Clock::time_point when) {
    if (when == Clock::time_point::max())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

}  // namespace

bool MetricsEndpoint::Start(const std::string& address, uint16_t port, std::string& error) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
    } else if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
    } else {
        error = "metrics: not an IP address: " + address;
        return false;
    }
    const int on = 1;
    m_listenFd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (m_listenFd < 0 || m_wakeFd < 0 ||
        ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(m_listenFd, kBacklog) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        error = "metrics: cannot listen on " + address + " port " + std::to_string(port) + ": " +
                std::strerror(errno);
        Stop();
        return false;
    }
    m_port = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    m_thread = std::thread([this] { Loop(); });
    return true;
}

void MetricsEndpoint::Stop() {
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        if (::write(m_wakeFd, &one, sizeof one) < 0) {
            // An eventfd takes a write until its counter is near 2^64.
        }
        m_thread.join();
    }
    for (int* fd : {&m_listenFd, &m_wakeFd})
        if (*fd >= 0)
            ::close(std::exchange(*fd, -1));
}

void MetricsEndpoint::Loop() {
    Clients clients(m_source, m_limits);
    Clock::time_point acceptFrom;  // after running out of descriptors
    for (;;) {
        const bool accepting = Clock::now() >= acceptFrom;
        std::vector<pollfd> fds = {{m_wakeFd, POLLIN, 0},
                                   {m_listenFd, static_cast<short>(accepting ? POLLIN : 0), 0}};
        clients.Watch(fds);
        const auto wake =
            std::min(clients.FirstDeadline(), accepting ? Clock::time_point::max() : acceptFrom);
        if (::poll(fds.data(), fds.size(), PollTimeout(wake)) < 0 && errno != EINTR)
            return;
        if (fds[0].revents & POLLIN)
            return;
        clients.Serve(&fds[2]);
        if ((fds[1].revents & POLLIN) && !clients.Accept(m_listenFd))
            acceptFrom = Clock::now() + kAcceptPause;
    }
}
