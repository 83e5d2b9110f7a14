// The metrics endpoint: one thread answering GET /metrics over HTTP/1.0, one client at a time.
#include "server/stats/MetricsEndpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace {

constexpr size_t kMaxRequest = 8192;
constexpr auto kClientTime = std::chrono::seconds(2);
typedef std::chrono::steady_clock Clock;

// Waits for events on fd until deadline; false on timeout, error or a wake.
bool WaitFor(int fd, short events, int wake, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0)
        return false;
    pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    return ::poll(fds, 2, static_cast<int>(left.count())) > 0 && !(fds[1].revents & POLLIN) &&
           (fds[0].revents & events);
}

std::string Response(const char* status, const std::string& body) {
    return std::string("HTTP/1.0 ") + status +
           "\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

bool IsMetricsRequest(const std::string& request) {
    const size_t end = request.find_first_of("? ", 12);
    return request.compare(0, 12, "GET /metrics") == 0 && end == 12;
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
    m_listenFd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (m_listenFd < 0 || m_wakeFd < 0 ||
        ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        ::listen(m_listenFd, 16) != 0 ||
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
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN)
            return;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            Serve(fd);
            ::close(fd);
        } else if (errno == EMFILE || errno == ENFILE) {
            ::poll(nullptr, 0, 100);  // out of descriptors: do not spin
        }
    }
}

void MetricsEndpoint::Serve(int fd) {
    const auto deadline = Clock::now() + kClientTime;
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequest &&
           WaitFor(fd, POLLIN, m_wakeFd, deadline)) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        request.append(buffer, static_cast<size_t>(got));
    }
    const std::string response =
        IsMetricsRequest(request) ? Response("200 OK", m_source()) : Response("404 Not Found", "");
    size_t sent = 0;
    while (sent < response.size() && WaitFor(fd, POLLOUT, m_wakeFd, deadline)) {
        const ssize_t put =
            ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (put <= 0)
            break;
        sent += static_cast<size_t>(put);
    }
}
