// The RPC server: listening and accepting, each connection's thread (reading, handing out calls,
// deadlines), the workers, and stopping.
#include "server/rpc/RpcServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <system_error>

#include "platform/LogWriter.h"
#include "server/tls/RpcTls.h"
#include "server/tls/TlsRelay.h"

namespace {
typedef RpcConnection::Clock Clock;

constexpr size_t kReadChunk = 64 * 1024;
// The longest run of quick calls the connection's thread keeps to itself:
// a worker is woken only for a deeper batch (see RpcServer.h).
constexpr size_t kRunCalls = 16;
// How long the acceptor waits before trying again when out of descriptors.
constexpr int kRetryMilliseconds = 100;
// Granularity (ms) of a connection's receive timeout between calls.
constexpr int kReceiveStep = 100;
// Reply buffers kept for reuse: about the replies a connection streaming
// large reads has queued at once.
constexpr size_t kKeptReplyBuffers = 16;

std::atomic<uint64_t> gHandedOver{0};

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

uint16_t PortOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

std::vector<uint32_t> PeerGroups(int fd) {
    std::vector<gid_t> groups(32);
    for (int attempt = 0; attempt < 2; ++attempt) {
        socklen_t length = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            return std::vector<uint32_t>(groups.begin(), groups.end());
        }
        if (errno != ERANGE)
            break;
        groups.resize(length / sizeof(gid_t));  // the size the kernel asks for
    }
    return std::vector<uint32_t>();
}

// The transport's part of every caller on this socket; label names the peer
// in log lines.
RpcCaller Identify(int fd, const sockaddr_storage& peer, std::string& label) {
    RpcCaller caller;
    if (peer.ss_family != AF_UNIX) {
        caller.address = CRaIPAddr::FromSockaddr(reinterpret_cast<const sockaddr*>(&peer));
        caller.port = PortOf(peer);
        label = caller.address.ToString() + ":" + std::to_string(caller.port);
        return caller;
    }
    caller.local = true;
    CRaIPAddr::Parse("127.0.0.1", caller.address);
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
        caller.peerUid = credentials.uid;
        caller.peerGid = credentials.gid;
    }
    caller.peerGroups = PeerGroups(fd);
    label = "local process " + std::to_string(credentials.pid) + " (uid " +
            std::to_string(caller.peerUid) + ")";
    return caller;
}

int Milliseconds(Clock::duration duration) {
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration).count();
    return static_cast<int>(std::max<decltype(ms)>(0, std::min<decltype(ms)>(ms, 1 << 30)));
}

void DrainEventFd(int fd) {
    uint64_t count;
    (void)!::read(fd, &count, sizeof(count));
}

// A socket file at the address that no server answers on is removed; one a
// live server answers on, or any other kind of file, is an error.
bool RemoveStaleSocket(const sockaddr_un& address, std::string& error) {
    const std::string path = address.sun_path;
    struct stat found {};
    if (::lstat(path.c_str(), &found) != 0) {
        if (errno == ENOENT)
            return true;
        error = "cannot examine " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISSOCK(found.st_mode)) {
        error = path + " exists and is not a socket";
        return false;
    }
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const bool live = probe >= 0 && (::connect(probe, reinterpret_cast<const sockaddr*>(&address),
                                               sizeof(address)) == 0 ||
                                     errno == EAGAIN);
    if (probe >= 0)
        ::close(probe);
    if (live) {
        error = "a server already listens on " + path;
        return false;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}
}  // namespace

// The work of one connection's thread: reads calls and hands them out,
// writes the replies left queued, and decides when the connection ends.
class RpcServer::Session {
  public:
    Session(RpcServer& server, const ConnectionPtr& connection)
        : m_server(server),
          m_options(server.m_options),
          m_connection(connection),
          m_records(server.m_options.maxRecord),
          m_dispatcher(server.m_programs, server.m_options.maxRecord, &server.m_replyBuffers,
                       &server.m_replies),
          m_chunk(kReadChunk) {}

    void Run() {
        RpcConnection& connection = *m_connection;
        // Resolved here, before any call is taken, so a slow lookup holds
        // only this connection.
        if (!connection.Peer().local)
            connection.SetHostName(
                ConfirmedHostName(connection.Peer().address, m_options.hostNames));
        OXLOG(4, 0, "Connection from %s (%s).", connection.Label().c_str(),
              connection.Peer().hostName.c_str());
        while (Step()) {
        }
    }

  private:
    // When the connection is closed (why set) or looked at again (why null).
    struct Due {
        Clock::time_point at = Clock::time_point::max();
        const char* why = nullptr;
        std::chrono::milliseconds after{0};
    };

    // Hands out what was read, waits once; false when the connection ends.
    bool Step() {
        const size_t most = m_options.maxCallsPerConnection;
        const size_t backlog = m_options.maxRecord;
        if (m_records.Ready()) {
            const size_t take = m_connection->Room(most, backlog);
            if (take > 0 && !m_server.Distribute(m_records, take, m_dispatcher, m_connection))
                return false;
        }
        const bool wantInput = m_input && !m_records.Ready();
        const RpcConnection::State state = m_connection->Look(wantInput, most);
        if (state.broken || (!m_input && state.inHand == 0 && !m_records.Ready()))
            return false;
        const bool room = state.inHand < most && state.pendingBytes < backlog;
        if (m_records.Ready() && room)
            return true;  // the calls taken are answered already: take more
        const bool reading = wantInput && room;
        const Clock::time_point now = Clock::now();
        if (reading && !m_reading)
            m_recordStart = now;  // time spent held back is not the peer's
        m_reading = reading;
        const Due due = NextDue(state, now);
        if (due.why && now >= due.at) {
            OXLOG(2, 0, "Closing the connection of %s: %s %.1f s.", m_connection->Label().c_str(),
                  due.why, std::chrono::duration<double>(due.after).count());
            return false;
        }
        const int timeout = due.at == Clock::time_point::max() ? -1 : Milliseconds(due.at - now);
        // Between calls nothing but the peer can wake the thread: one
        // blocking read then does what a poll and a read would.
        if (m_reading && state.inHand == 0 && !m_records.Partial() && timeout > 0)
            return ReadWithin(timeout);
        return Wait(state, timeout);
    }

    Due NextDue(const RpcConnection::State& state, Clock::time_point now) const {
        Due due;
        auto consider = [&due](Clock::time_point since, std::chrono::milliseconds after,
                               const char* why) {
            if (since + after < due.at)
                due = Due{since + after, why, after};
        };
        if (state.pending)
            consider(state.lastSent, m_options.sendTimeout, "its peer took no reply for");
        if (m_reading && m_records.Partial())
            consider(m_recordStart, m_options.recordTimeout, "a record stayed unfinished for");
        if (m_input && state.inHand == 0 && !m_records.Partial())
            consider(std::max(m_lastRecord, state.lastDone), m_options.idleTimeout, "idle for");
        if (m_input && m_records.Completed() == 0)  // m_lastRecord: when it came
            consider(m_lastRecord, m_options.firstCallTimeout, "no call came for");
        if (!due.why && m_reading)
            due.at = now + m_options.idleTimeout;  // calls in hand: it may turn idle
        return due;
    }

    // One poll of the socket and the eventfd; false when the connection broke.
    bool Wait(const RpcConnection::State& state, int timeout) {
        RpcConnection& connection = *m_connection;
        const short events = (m_reading ? POLLIN : 0) | (state.pending ? POLLOUT : 0);
        pollfd fds[2] = {{events ? connection.Socket() : -1, events, 0},
                         {connection.WakeFd(), POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0)
            return errno == EINTR;
        if (fds[1].revents)
            connection.DrainWake();
        const short got = fds[0].revents;
        if (state.pending && (got & (POLLOUT | POLLERR | POLLHUP))) {
            if (!connection.Flush())
                return false;
            m_server.m_queue.Resume(m_connection);  // its calls may run again
        }
        if (m_reading && (got & (POLLIN | POLLERR | POLLHUP)))
            return Read();
        return true;
    }

    // Waits at most about timeout ms for bytes and takes them; false when
    // the connection is to close. The socket's receive timeout is set only
    // when it changes by a step, so a steady exchange costs no extra call.
    bool ReadWithin(int timeout) {
        const int rounded = (timeout + kReceiveStep - 1) / kReceiveStep * kReceiveStep;
        if (rounded != m_receiveTimeout) {
            timeval limit{rounded / 1000, (rounded % 1000) * 1000};
            ::setsockopt(m_connection->Socket(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
            m_receiveTimeout = rounded;
        }
        m_connection->BlockForReading();  // a spliced reply may have left it non-blocking
        return Read(0);
    }

    // Takes what the socket has (waiting as the flags say); false when the
    // connection is to close. The rest of a large fragment goes straight
    // into its record: one copy, and as much in one call as has come.
    bool Read(int flags = MSG_DONTWAIT) {
        size_t room = 0;
        uint8_t* window = m_records.Awaited() >= kReadChunk ? m_records.Window(room) : nullptr;
        uint8_t* into = window ? window : m_chunk.data();
        const ssize_t got =
            ::recv(m_connection->Socket(), into, window ? room : m_chunk.size(), flags);
        if (got >= 0)
            return Absorb(static_cast<size_t>(got), window != nullptr);
        if (window)
            m_records.Took(0);
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }

    // Takes got bytes read (into the chunk, or the record's open window);
    // false when the connection is to close.
    bool Absorb(size_t got, bool window) {
        const uint64_t completed = m_records.Completed();
        const bool wasPartial = m_records.Partial();
        if (window)
            m_records.Took(got);
        if (got == 0) {
            m_input = false;  // calls in hand are still answered
            return true;
        }
        if (!window && !m_records.Feed(m_chunk.data(), got)) {
            OXLOG(1, 0, "Closing the connection of %s: a record exceeds %zu bytes.",
                  m_connection->Label().c_str(), m_options.maxRecord);
            return false;
        }
        const Clock::time_point now = Clock::now();
        if (m_records.Completed() != completed)
            m_lastRecord = now;
        if (m_records.Partial() && (!wasPartial || m_records.Completed() != completed))
            m_recordStart = now;
        LowWater();
        return true;
    }

    // While a large fragment's rest is awaited, poll says the socket is
    // readable only once that much has come (or the kernel's buffer is
    // under pressure, or the stream ends); otherwise at every byte, as the
    // read between calls needs. Set only when it changes.
    void LowWater() {
        const size_t awaited = m_records.Awaited();
        const int mark = awaited >= kReadChunk ? static_cast<int>(awaited) : 1;
        if (mark != m_lowWater &&
            ::setsockopt(m_connection->Socket(), SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof(mark)) == 0)
            m_lowWater = mark;
    }

    RpcServer& m_server;
    const Options& m_options;
    const ConnectionPtr m_connection;
    RecordReader m_records;
    RpcDispatcher m_dispatcher;  // for the quick calls run here
    std::vector<uint8_t> m_chunk;
    bool m_input = true;       // the peer may send more
    bool m_reading = false;    // the socket is read this time round
    int m_receiveTimeout = 0;  // ms, as set on the socket (0: none)
    int m_lowWater = 1;        // bytes, as set on the socket
    Clock::time_point m_recordStart;
    Clock::time_point m_lastRecord = Clock::now();
};

RpcServer::RpcServer(const Options& options)
    : m_options(options),
      m_spread(std::max(1u, std::min(options.workers + 1, std::thread::hardware_concurrency()))),
      m_replyBuffers(options.maxRecord + 4, kKeptReplyBuffers),
      m_replies(options.replayEntries, options.replayBytes),
      // A connection whose replies wait unread gets no worker: it would
      // only add to them.
      m_queue([](const ConnectionPtr& connection) { return connection->UnsentBytes() == 0; }) {}

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
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        error = std::string("cannot make an eventfd: ") + std::strerror(errno);
        return false;
    }
    if (!Listen(error) || !StartThreads(error)) {
        CloseListener();
        ::close(m_wakeFd);
        m_wakeFd = -1;
        return false;
    }
    m_started = true;
    const std::string where = m_options.unixPath.empty()
                                  ? m_options.bindAddress + " port " + std::to_string(m_port)
                                  : m_options.unixPath;
    OXLOG(1, 0, "RPC server listening on %s with %zu workers.", where.c_str(), m_workers.size());
    return true;
}

bool RpcServer::Listen(std::string& error) {
    return m_options.unixPath.empty() ? ListenTcp(error) : ListenUnix(error);
}

bool RpcServer::ListenTcp(std::string& error) {
    sockaddr_storage address;
    socklen_t length = 0;
    if (!ParseBindAddress(m_options.bindAddress, m_options.port, address, length)) {
        error = "not a numeric IPv4 or IPv6 address: " + m_options.bindAddress;
        return false;
    }
    m_listenFd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int on = 1;
    if (m_listenFd < 0 ||
        ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(m_listenFd, SOMAXCONN) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error = "cannot listen on " + m_options.bindAddress + " port " +
                std::to_string(m_options.port) + ": " + std::strerror(errno);
        return false;
    }
    m_port = PortOf(address);
    return true;
}

bool RpcServer::ListenUnix(std::string& error) {
    const std::string& path = m_options.unixPath;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        error = "socket path too long: " + path;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (!RemoveStaleSocket(address, error))
        return false;
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct stat made {};
    bool ok = m_listenFd >= 0 &&
              ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
              ::lstat(path.c_str(), &made) == 0;
    if (ok) {
        m_unixInode = made.st_ino;  // ours now: CloseListener removes it
        // Nobody can connect before listen(), so the file's first mode is moot.
        const bool grouped = m_options.unixGroup != static_cast<gid_t>(-1);
        ok =
            (!grouped || ::chown(path.c_str(), static_cast<uid_t>(-1), m_options.unixGroup) == 0) &&
            ::chmod(path.c_str(), grouped ? 0660 : 0600) == 0 &&
            ::listen(m_listenFd, SOMAXCONN) == 0;
    }
    if (!ok) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        return false;
    }
    m_port = 0;
    return true;
}

void RpcServer::CloseListener() {
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    m_listenFd = -1;
    struct stat found {};
    if (m_unixInode != 0 && ::lstat(m_options.unixPath.c_str(), &found) == 0 &&
        found.st_ino == m_unixInode)
        ::unlink(m_options.unixPath.c_str());
    m_unixInode = 0;
}

bool RpcServer::StartThreads(std::string& error) {
    const unsigned workers = m_options.workers ? m_options.workers : 1;
    try {
        while (m_dispatchers.size() < workers)
            m_dispatchers.emplace_back(
                new RpcDispatcher(m_programs, m_options.maxRecord, &m_replyBuffers, &m_replies));
        m_workers.reserve(workers);
        for (auto& dispatcher : m_dispatchers) {
            RpcDispatcher* mine = dispatcher.get();
            m_workers.push_back(m_options.startThread([this, mine] { WorkLoop(*mine); }));
        }
        m_acceptor = m_options.startThread([this] { AcceptLoop(); });
        return true;
    } catch (const std::exception& e) {
        error = std::string("cannot start the server's threads: ") + e.what();
    }
    m_queue.Close();
    for (std::thread& worker : m_workers)
        worker.join();
    m_workers.clear();
    return false;
}

void RpcServer::AcceptLoop() {
    bool exhausted = false;  // out of descriptors: try again after a pause
    for (;;) {
        JoinFinishedReaders();
        pollfd fds[2] = {{exhausted ? -1 : m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, exhausted ? kRetryMilliseconds : -1) < 0 && errno != EINTR) {
            OXLOG(1, 0, "The RPC acceptor stops: poll failed (%s).", std::strerror(errno));
            return;
        }
        if (fds[1].revents) {
            DrainEventFd(m_wakeFd);
            MutexLock lock(m_mutex);
            if (m_stopping)
                return;
        }
        if ((exhausted || fds[0].revents) && !AcceptOne(exhausted))
            return;
    }
}

bool RpcServer::AcceptOne(bool& exhausted) {
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    // Blocking: the connection's reads and writes say whether they wait.
    int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd >= 0) {
        if (exhausted)
            OXLOG(1, 0, "Accepting connections again.");
        exhausted = false;
        Admit(fd, peer);
        return true;
    }
    switch (errno) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            if (!exhausted)
                OXLOG(1, 0, "Cannot accept connections (%s); trying again every %d ms.",
                      std::strerror(errno), kRetryMilliseconds);
            exhausted = true;
            return true;
        case EAGAIN:
            exhausted = false;  // nobody is waiting any more
            return true;
        case EINVAL:
        case EBADF:
        case ENOTSOCK:
            OXLOG(1, 0, "The RPC acceptor stops: accept failed (%s).", std::strerror(errno));
            return false;
        default:  // the peer's trouble (reset, unreachable...): its connection is gone
            return true;
    }
}

void RpcServer::Admit(int fd, const sockaddr_storage& peer) {
    std::string label;
    RpcCaller caller = Identify(fd, peer, label);
    const std::string address = caller.local ? std::string() : caller.address.ToString();
    std::string why;
    if (!MakeRoom(address, why)) {
        Refuse(fd, label, why);
        return;
    }
    if (peer.ss_family != AF_UNIX) {
        // Replies are whole records; waiting to coalesce them only adds latency.
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    }
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        Refuse(fd, label, std::string("no eventfd for it (") + std::strerror(errno) + ")");
        return;
    }
    ConnectionPtr connection;
    try {
        connection = std::make_shared<RpcConnection>(fd, wake, caller, label);
    } catch (const std::bad_alloc&) {
        ::close(wake);
        Refuse(fd, label, "out of memory");
        return;
    }
    Launch(connection, address);
}

bool RpcServer::MakeRoom(const std::string& address, std::string& why) {
    MutexLock lock(m_mutex);
    auto found = m_perAddress.find(address);
    if (found != m_perAddress.end() && found->second >= m_options.maxConnectionsPerAddress) {
        why = std::to_string(found->second) + " connections from " + address + " open";
        return false;
    }
    if (m_open - m_closing < m_options.maxConnections)
        return true;
    for (auto& entry : m_readers) {  // oldest first
        Reader& reader = entry.second;
        if (reader.closing || !reader.connection->Idle())
            continue;
        // It ends as at the end of its input: a call it sent meanwhile is
        // still answered.
        reader.closing = true;
        ++m_closing;
        reader.connection->ShutdownRead();
        OXLOG(3, 0, "Closing the connection of %s, the oldest idle one, to make room.",
              reader.connection->Label().c_str());
        return true;
    }
    why = std::to_string(m_open) + " connections open, none idle";
    return false;
}

bool RpcServer::Launch(const ConnectionPtr& connection, const std::string& address) {
    MutexLock lock(m_mutex);
    if (m_stopping)
        return false;
    const uint64_t id = m_nextId++;
    try {
        Reader& reader = m_readers[id];
        reader.connection = connection;
        reader.thread = m_options.startThread(
            [this, id, connection, address] { RunConnection(id, connection, address); });
    } catch (const std::exception& e) {
        m_readers.erase(id);
        Refuse(-1, connection->Label(), std::string("no thread for it (") + e.what() + ")");
        return false;
    }
    ++m_open;
    if (!address.empty())
        ++m_perAddress[address];
    return true;
}

void RpcServer::Refuse(int fd, const std::string& label, const std::string& why) {
    const Clock::time_point now = Clock::now();
    // A flood of refusals costs one line a second.
    if (m_lastRefusal != Clock::time_point() && now - m_lastRefusal < std::chrono::seconds(1)) {
        ++m_unloggedRefusals;
    } else {
        if (m_unloggedRefusals > 0)
            OXLOG(1, 0,
                  "Connection from %s refused: %s (%zu more refused since the last such line).",
                  label.c_str(), why.c_str(), m_unloggedRefusals);
        else
            OXLOG(1, 0, "Connection from %s refused: %s.", label.c_str(), why.c_str());
        m_lastRefusal = now;
        m_unloggedRefusals = 0;
    }
    if (fd >= 0)
        ::close(fd);  // after the line: whoever sees the close finds it logged
}

void RpcServer::RunConnection(uint64_t id, ConnectionPtr connection, const std::string& address) {
    std::thread relay;
    try {
        if (!m_options.tls || TakeUpTls(*connection, relay))
            Session(*this, connection).Run();
    } catch (const std::bad_alloc&) {
        OXLOG(1, 0, "Closing the connection of %s: out of memory.", connection->Label().c_str());
    } catch (const std::exception& e) {
        OXLOG(1, 0, "Closing the connection of %s: %s.", connection->Label().c_str(), e.what());
    }
    connection->Close();  // the socket goes now, whoever still holds the object
    m_queue.Drop(connection);
    if (relay.joinable())
        relay.join();  // it sees the plain end close
    {
        MutexLock lock(m_mutex);
        m_finished.push_back(id);
        --m_open;
        auto reader = m_readers.find(id);  // gone once Stop took them all
        if (reader != m_readers.end()) {
            m_closing -= reader->second.closing;
            reader->second.closing = true;  // no longer one to ask
        }
        auto from = m_perAddress.find(address);
        if (from != m_perAddress.end() && --from->second == 0)
            m_perAddress.erase(from);
    }
    Wake();
}

bool RpcServer::TakeUpTls(RpcConnection& connection, std::thread& relay) {
    const std::string& label = connection.Label();
    auto session = std::make_shared<TlsSession>();
    std::string why;
    if (!AcceptRpcTls(connection.Socket(), *m_options.tls, Clock::now() + m_options.recordTimeout,
                      *session, why)) {
        OXLOG(2, 0, "Closing the connection of %s: %s.", label.c_str(), why.c_str());
        return false;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        OXLOG(1, 0, "Closing the connection of %s: no socket pair for its TLS (%s).", label.c_str(),
              std::strerror(errno));
        return false;
    }
    const int tls = connection.Secure(pair[0], session->peerName);
    if (tls < 0) {
        ::close(pair[1]);
        return false;
    }
    const std::chrono::milliseconds stall = m_options.sendTimeout;
    const int plain = pair[1];
    try {
        relay = m_options.startThread([session, tls, plain, stall, label] {
            const std::string why = RelayTls(*session, tls, plain, stall);
            if (!why.empty())
                OXLOG(2, 0, "The TLS stream of %s ended: %s.", label.c_str(), why.c_str());
            session->ssl.reset();
            ::close(tls);
            ::close(plain);
        });
    } catch (const std::exception& e) {
        ::close(tls);
        ::close(plain);
        OXLOG(1, 0, "Closing the connection of %s: no thread for its TLS (%s).", label.c_str(),
              e.what());
        return false;
    }
    OXLOG(3, 0, "%s proved itself as %s over TLS.", label.c_str(), session->peerName.c_str());
    return true;
}

bool RpcServer::Distribute(RecordReader& records, size_t room, RpcDispatcher& dispatcher,
                           const ConnectionPtr& connection) {
    std::vector<Record> quick;
    std::vector<Record> slow;
    Record record;
    while (quick.size() + slow.size() < room && records.Pop(record)) {
        if (dispatcher.Quick(record.data(), record.size()))
            quick.push_back(std::move(record));
        else
            slow.push_back(std::move(record));
        record = Record();
    }
    connection->Take(quick.size() + slow.size());
    bool queued = true;
    for (Record& call : slow) {
        Job job;
        job.push_back(std::move(call));
        queued = Push(connection, std::move(job)) && queued;
    }
    // Runs of equal length (the first ones one longer), the last one here.
    const size_t runs = std::min((quick.size() + kRunCalls - 1) / kRunCalls, m_spread);
    size_t next = 0;
    for (size_t run = 0; run + 1 < runs; ++run) {
        const size_t length = quick.size() / runs + (run < quick.size() % runs ? 1 : 0);
        Job job;
        job.reserve(length);
        std::move(quick.begin() + next, quick.begin() + next + length, std::back_inserter(job));
        next += length;
        queued = Push(connection, std::move(job)) && queued;
    }
    for (; next < quick.size(); ++next) {
        if (!Serve(dispatcher, *connection, quick[next], true, next + 1 < quick.size()))
            continue;
        ++gHandedOver;
        Job job;
        job.push_back(std::move(quick[next]));
        queued = Push(connection, std::move(job)) && queued;
    }
    connection->Push();
    return queued;
}

bool RpcServer::Push(const ConnectionPtr& connection, Job&& job) {
    const size_t calls = job.size();
    if (m_queue.Push(connection, std::move(job)))
        return true;
    connection->Unanswered(calls);  // dropped: no longer in hand
    return false;
}

void RpcServer::WorkLoop(RpcDispatcher& dispatcher) {
    ConnectionPtr connection;
    Job job;
    while (m_queue.Pop(connection, job)) {
        const size_t count = job.size();
        for (size_t i = 0; i < count; ++i)
            Serve(dispatcher, *connection, job[i], false, i + 1 < count);
        connection->Push();
        connection.reset();
        job = Job();
    }
}

uint64_t RpcCallsHandedOver() {
    return gHandedOver;
}

bool RpcServer::Serve(RpcDispatcher& dispatcher, RpcConnection& connection, const Record& record,
                      bool onReader, bool more) {
    const uint8_t* reply = nullptr;
    size_t replyLength = 0;
    try {
        if (!dispatcher.Handle(record.data(), record.size(), connection.Peer(), reply, replyLength,
                               onReader)) {
            if (dispatcher.WouldWait())
                return true;
            replyLength = 0;
        }
    } catch (const std::bad_alloc&) {
        OXLOG(1, 0, "A call from %s is dropped: out of memory.", connection.Label().c_str());
        replyLength = 0;
    } catch (const std::exception& e) {
        OXLOG(1, 0, "A call from %s is dropped: %s.", connection.Label().c_str(), e.what());
        replyLength = 0;
    }
    connection.CountCall();
    if (replyLength > 0)
        connection.Answer(reply, replyLength, dispatcher, more);
    else
        connection.Unanswered(1);
    return false;
}

void RpcServer::JoinFinishedReaders() {
    std::vector<std::thread> done;
    {
        MutexLock lock(m_mutex);
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

void RpcServer::Wake() {
    uint64_t one = 1;
    (void)!::write(m_wakeFd, &one, sizeof(one));
}

void RpcServer::Stop() {
    if (!m_started)
        return;
    m_started = false;
    {
        MutexLock lock(m_mutex);
        m_stopping = true;
    }
    Wake();
    m_acceptor.join();
    CloseListener();
    std::map<uint64_t, Reader> readers;
    {
        MutexLock lock(m_mutex);
        readers.swap(m_readers);
        m_finished.clear();
    }
    // Connections see end of input; replies to calls already read still go out.
    for (auto& entry : readers)
        entry.second.connection->ShutdownRead();
    for (auto& entry : readers)
        entry.second.thread.join();
    m_queue.Close();
    for (std::thread& worker : m_workers)
        worker.join();
    m_workers.clear();
    ::close(m_wakeFd);
    m_wakeFd = -1;
    if (m_options.unixPath.empty())
        OXLOG(1, 0, "RPC server on port %u stopped.", m_port);
    else
        OXLOG(1, 0, "RPC server on %s stopped.", m_options.unixPath.c_str());
}
