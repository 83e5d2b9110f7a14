// lumed's metrics over HTTP: GET /metrics answers the Prometheus text of
// what the source gives; any other request 404. One thread serves one
// client at a time, each within two seconds (a request of at most 8 KiB,
// then the answer), so a client that stalls or never reads is dropped and
// holds nothing else up; lumed's calls never wait on it.
// Lifetime: Start once; Stop (also run by the destructor) joins the thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

class MetricsEndpoint {
  public:
    typedef std::function<std::string()> Source;

    explicit MetricsEndpoint(Source source) : m_source(std::move(source)) {}
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
    void Serve(int fd);

    Source m_source;
    int m_listenFd = -1;
    int m_wakeFd = -1;  // eventfd: Stop wakes the thread
    uint16_t m_port = 0;
    std::thread m_thread;
};
