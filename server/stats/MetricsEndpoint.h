// lumed's metrics over HTTP: GET /metrics answers the Prometheus text of
// what the source gives (built once per request); any other request 404, a
// request head over MetricsLimits::maxHead 431. One thread serves every
// client side by side from one poll over non-blocking sockets, so no client
// waits on another's socket and lumed's calls never wait on any.
// Each client has a deadline: its whole head within headTime of connecting,
// then its answer read within sendTime; past it, it is closed. With
// maxClients open, a newcomer closes the oldest client still owing its head
// (when none, the oldest): silent connections cannot keep a scraper out, as
// they could if newcomers were refused.
// Lifetime: Start once; Stop (also run by the destructor) joins the thread,
// which alone touches the clients.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

struct MetricsLimits {
    size_t maxClients = 64;
    size_t maxHead = 8192;  // bytes of a request head, its blank line included
    std::chrono::milliseconds headTime{5000};
    std::chrono::milliseconds sendTime{10000};
};

class MetricsEndpoint {
  public:
    typedef std::function<std::string()> Source;

    explicit MetricsEndpoint(Source source, MetricsLimits limits = MetricsLimits())
        : m_source(std::move(source)), m_limits(limits) {}
    ~MetricsEndpoint() { Stop(); }
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // Listens on an IPv4 or IPv6 literal; port 0 picks a free one. False
    // and error set when it cannot.
    bool Start(const std::string& address, uint16_t port, std::string& error);
    uint16_t Port() const { return m_port; }
    void Stop();

  private:
    void Loop();

    Source m_source;
    const MetricsLimits m_limits;
    int m_listenFd = -1;
    int m_wakeFd = -1;  // eventfd: Stop wakes the thread
    uint16_t m_port = 0;
    std::thread m_thread;
};
