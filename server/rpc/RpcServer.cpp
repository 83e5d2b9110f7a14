#include "server/rpc/RpcServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "platform/LogWriter.h"

namespace {
// How long one reply may wait for a client that does not read.
constexpr int kSendTimeoutSeconds = 10;
constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kQueuedCallsPerWorker = 16;

bool ParseBindAddress(const std::string& text, uint16_t port, sockaddr_storage& address,
                      socklen_t& length) {
    std::memset(&address, 0, sizeof(address));
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

// The name the address resolves to (reverse lookup); "" when it has none.
std::string PeerHostName(const CRaIPAddr& address) {
    sockaddr_storage storage{};
    socklen_t length;
    if (address.Family() == AF_INET) {
        auto& in = reinterpret_cast<sockaddr_in&>(storage);
        in.sin_family = AF_INET;
        std::memcpy(&in.sin_addr, address.Bytes(), 4);
        length = sizeof(in);
    } else {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
        in6.sin6_family = AF_INET6;
        std::memcpy(&in6.sin6_addr, address.Bytes(), 16);
        length = sizeof(in6);
    }
    char name[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&storage), length, name, sizeof name, nullptr, 0,
                      NI_NAMEREQD) != 0)
        return std::string();
    return name;
}

uint16_t PortOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}
}  // namespace

struct RpcServer::Connection {
    Connection(int socket, const sockaddr_storage& peer)
        : fd(socket),
          address(CRaIPAddr::FromSockaddr(reinterpret_cast<const sockaddr*>(&peer))),
          port(PortOf(peer)) {}
    ~Connection() { ::close(fd); }

    // Sends a whole reply; on failure the connection is shut down, since a
    // partly written record leaves the stream unusable.
    void Send(const uint8_t* data, size_t length) {
        std::lock_guard<std::mutex> lock(writeMutex);
        while (length > 0) {
            ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent <= 0) {
                OXLOG(2, 0, "Closing the connection of %s:%u: send failed (%s).",
                      address.ToString().c_str(), port, std::strerror(errno));
                ::shutdown(fd, SHUT_RDWR);
                return;
            }
            data += sent;
            length -= static_cast<size_t>(sent);
        }
    }

    const int fd;
    const CRaIPAddr address;
    const uint16_t port;
    std::string hostName;   // set by the reader before it queues any call
    std::mutex writeMutex;  // one reply at a time on the stream
};

RpcServer::RpcServer(const Options& options)
    : m_options(options),
      m_spread(std::max(1u, std::min(options.workers + 1, std::thread::hardware_concurrency()))),
      m_queue(kQueuedCallsPerWorker * (options.workers ? options.workers : 1)) {}

RpcServer::~RpcServer() {
    Stop();
}

void RpcServer::AddProgram(RpcProgram* program) {
    m_programs[program->Number()] = program;
}

bool RpcServer::Start(std::string& error) {
    if (m_started) {
        error = "the server is already started";
        return false;
    }
    if (!Listen(error))
        return false;
    m_started = true;
    unsigned workers = m_options.workers ? m_options.workers : 1;
    for (unsigned i = 0; i < workers; ++i)
        m_workers.emplace_back([this] { WorkLoop(); });
    m_acceptor = std::thread([this] { AcceptLoop(); });
    OXLOG(1, 0, "RPC server listening on %s port %u with %u workers.",
          m_options.bindAddress.c_str(), m_port, workers);
    return true;
}

bool RpcServer::Listen(std::string& error) {
    sockaddr_storage address;
    socklen_t length = 0;
    if (!ParseBindAddress(m_options.bindAddress, m_options.port, address, length)) {
        error = "not a numeric IPv4 or IPv6 address: " + m_options.bindAddress;
        return false;
    }
    m_listenFd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (m_listenFd < 0 ||
        ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(m_listenFd, SOMAXCONN) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = "cannot listen on " + m_options.bindAddress + " port " +
                std::to_string(m_options.port) + ": " + std::strerror(errno);
        if (m_listenFd >= 0)
            ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    m_port = PortOf(address);
    return true;
}

void RpcServer::AcceptLoop() {
    for (;;) {
        sockaddr_storage peer;
        socklen_t length = sizeof(peer);
        int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        JoinFinishedReaders();
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE)
                continue;
            return;  // the listening socket was shut down by Stop
        }
        timeval timeout{kSendTimeoutSeconds, 0};
        int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
        // Replies are whole records; waiting to coalesce them only adds latency.
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        auto connection = std::make_shared<Connection>(fd, peer);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        uint64_t id = m_nextId++;
        Reader& reader = m_readers[id];
        reader.connection = connection;
        reader.thread = std::thread([this, id, connection] { ReadLoop(id, connection); });
    }
}

void RpcServer::ReadLoop(uint64_t id, std::shared_ptr<Connection> connection) {
    // Resolved here, before any call is queued, so a slow name lookup holds
    // only this connection.
    connection->hostName = PeerHostName(connection->address);
    OXLOG(4, 0, "Connection from %s:%u (%s).", connection->address.ToString().c_str(),
          connection->port, connection->hostName.c_str());
    RecordReader records(m_options.maxRecord);
    RpcDispatcher dispatcher(m_programs, m_options.maxRecord);
    std::vector<uint8_t> chunk(kReadChunk);
    bool open = true;
    while (open) {
        ssize_t got = ::recv(connection->fd, chunk.data(), chunk.size(), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        open = records.Feed(chunk.data(), static_cast<size_t>(got));
        if (!Distribute(records, dispatcher, connection))
            open = false;
        if (records.Failed()) {
            OXLOG(1, 0, "Closing the connection of %s:%u: a record exceeds %zu bytes.",
                  connection->address.ToString().c_str(), connection->port, m_options.maxRecord);
            ::shutdown(connection->fd, SHUT_RDWR);
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finished.push_back(id);
}

bool RpcServer::Distribute(RecordReader& records, RpcDispatcher& dispatcher,
                           const std::shared_ptr<Connection>& connection) {
    std::vector<Record> quick;
    Record record;
    bool queued = true;
    while (records.Pop(record)) {
        if (dispatcher.Quick(record.data(), record.size())) {
            quick.push_back(std::move(record));
        } else {
            Job job{connection, {}};
            job.records.push_back(std::move(record));
            queued = m_queue.Push(std::move(job)) && queued;
        }
        record = Record();
    }
    // Runs of equal length (the first ones one longer), the last one here.
    const size_t runs = std::min(quick.size(), m_spread);
    size_t next = 0;
    for (size_t run = 0; run + 1 < runs; ++run) {
        const size_t length = quick.size() / runs + (run < quick.size() % runs ? 1 : 0);
        Job job{connection, {}};
        job.records.reserve(length);
        std::move(quick.begin() + next, quick.begin() + next + length,
                  std::back_inserter(job.records));
        next += length;
        queued = m_queue.Push(std::move(job)) && queued;
    }
    for (; next < quick.size(); ++next)
        Serve(dispatcher, *connection, quick[next]);
    return queued;
}

void RpcServer::WorkLoop() {
    RpcDispatcher dispatcher(m_programs, m_options.maxRecord);
    Job job;
    while (m_queue.Pop(job)) {
        for (const Record& record : job.records)
            Serve(dispatcher, *job.connection, record);
        job = Job();  // the last reference may close the connection now
    }
}

void RpcServer::Serve(RpcDispatcher& dispatcher, Connection& connection, const Record& record) {
    const uint8_t* reply = nullptr;
    size_t replyLength = 0;
    if (dispatcher.Handle(record.data(), record.size(), connection.address, connection.port,
                          connection.hostName, reply, replyLength))
        connection.Send(reply, replyLength);
}

void RpcServer::JoinFinishedReaders() {
    std::vector<std::thread> done;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (uint64_t id : m_finished) {
            auto found = m_readers.find(id);
            if (found == m_readers.end())
                continue;
            done.push_back(std::move(found->second.thread));
            m_readers.erase(found);
        }
        m_finished.clear();
    }
    for (std::thread& thread : done)
        thread.join();
}

void RpcServer::Stop() {
    if (!m_started)
        return;
    m_started = false;
    std::map<uint64_t, Reader> readers;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    // Wakes the acceptor out of accept().
    ::shutdown(m_listenFd, SHUT_RDWR);
    m_acceptor.join();
    ::close(m_listenFd);
    m_listenFd = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        readers.swap(m_readers);
        m_finished.clear();
    }
    // Readers see end of input; replies to calls already read still go out.
    for (auto& entry : readers)
        ::shutdown(entry.second.connection->fd, SHUT_RD);
    for (auto& entry : readers)
        entry.second.thread.join();
    m_queue.Close();
    for (std::thread& worker : m_workers)
        worker.join();
    m_workers.clear();
    for (auto& entry : readers)
        ::shutdown(entry.second.connection->fd, SHUT_RDWR);
    OXLOG(1, 0, "RPC server on port %u stopped.", m_port);
}
