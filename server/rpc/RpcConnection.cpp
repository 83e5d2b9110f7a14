// One connection's replies: sent at once when the socket takes them, else queued for the
// connection's thread.
#include "server/rpc/RpcConnection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/LogWriter.h"

namespace {
// Queued replies written by one system call at most.
constexpr size_t kGather = 16;
// A rest of a reply smaller than this is copied rather than taken over.
constexpr size_t kTakeOver = 64 * 1024;
}  // namespace

RpcConnection::RpcConnection(int socket, int wake, const RpcCaller& peer, const std::string& label)
    : m_fd(socket),
      m_wakeFd(wake),
      m_peer(peer),
      m_label(label),
      m_stats(CallStats::Process(), label),
      m_corks(!peer.local) {}

RpcConnection::~RpcConnection() {
    Close();
}

void RpcConnection::Take(size_t calls) {
    MutexLock lock(m_mutex);
    m_running += calls;
}

void RpcConnection::Unanswered(size_t calls) {
    MutexLock lock(m_mutex);
    m_running -= calls;
    m_lastDone = Clock::now();
    if (m_wakeOnDone)
        Wake();
}

void RpcConnection::Answer(const uint8_t* reply, size_t length, RpcDispatcher& maker, bool more) {
    MutexLock sending(m_sendMutex);
    ReplyPipe& piped = maker.Piped();
    const bool wasPiped = piped.Held() > 0;
    size_t sent = 0;
    int error = 0;
    const bool open = m_fd >= 0 && !m_broken;
    // Whatever else happens, what is held back goes out: with the next send,
    // or (the socket full) as the peer reads, or from the queue.
    m_held = false;
    if (open && m_out.empty()) {
        iovec whole{const_cast<uint8_t*>(reply), length};
        const int flags = more && m_corks && !wasPiped ? MSG_MORE : 0;
        sent = wasPiped ? SendPiped(reply, length, piped, error) : Send(&whole, 1, error, flags);
        m_held = flags != 0 && sent == length;
    }
    // The rest goes whole into the buffer, to be queued.
    if (open && !error && sent < length && wasPiped && !maker.Land(length))
        error = errno;
    piped.Clear();
    MutexLock lock(m_mutex);
    --m_running;
    m_lastDone = Clock::now();
    bool wake = m_wakeOnDone;
    if (error) {
        Break(std::strerror(error));
        wake = true;
    } else if (sent < length && m_fd >= 0 && !m_broken) {
        wake = Queue(reply + sent, length - sent, maker) || wake;
    }
    if (wake)
        Wake();
}

void RpcConnection::Push() {
    MutexLock sending(m_sendMutex);
    if (!m_held || m_fd < 0)
        return;
    m_held = false;
    const int on = 1;  // setting it pushes what is pending
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

size_t RpcConnection::SendPiped(const uint8_t* reply, size_t length, ReplyPipe& piped, int& error) {
    const size_t padding = ReplyPipe::Padding(piped.Held());
    iovec head{const_cast<uint8_t*>(reply), length - piped.Held() - padding};
    size_t sent = Send(&head, 1, error, MSG_MORE);
    if (sent < head.iov_len || !NonBlocking())
        return sent;
    while (piped.Held() > 0) {
        const ssize_t moved = piped.SendTo(m_fd, padding > 0);
        if (moved <= 0) {
            // EINVAL: this socket takes no splice; the rest is copied.
            if (moved < 0 && errno != EAGAIN && errno != EINVAL)
                error = errno;
            return sent;
        }
        sent += static_cast<size_t>(moved);
    }
    static const uint8_t kZeros[3] = {};
    iovec tail{const_cast<uint8_t*>(kZeros), padding};
    return padding ? sent + Send(&tail, 1, error) : sent;
}

bool RpcConnection::NonBlocking() {
    if (m_nonBlocking)
        return true;
    if (m_flags < 0)
        m_flags = ::fcntl(m_fd, F_GETFL);
    m_nonBlocking = m_flags >= 0 && ::fcntl(m_fd, F_SETFL, m_flags | O_NONBLOCK) == 0;
    return m_nonBlocking;
}

void RpcConnection::BlockForReading() {
    MutexLock sending(m_sendMutex);
    if (m_nonBlocking && m_fd >= 0 && ::fcntl(m_fd, F_SETFL, m_flags & ~O_NONBLOCK) == 0)
        m_nonBlocking = false;
}

bool RpcConnection::Queue(const uint8_t* data, size_t length, RpcDispatcher& maker) {
    try {
        Unsent rest{nullptr, data, length};
        if (length >= kTakeOver) {
            rest.buffer = maker.TakeReply();
        } else {
            rest.buffer = ReplyBuffers::Make(nullptr, length);
            std::memcpy(rest.buffer.get(), data, length);
            rest.data = reinterpret_cast<const uint8_t*>(rest.buffer.get());
        }
        m_out.push_back(std::move(rest));
    } catch (const std::bad_alloc&) {
        Break("out of memory for a reply");
        return true;
    }
    m_outBytes += length;
    if (m_out.size() > 1)
        return false;
    m_lastSent = Clock::now();  // the send timeout runs from here
    return true;
}

bool RpcConnection::Flush() {
    MutexLock sending(m_sendMutex);
    while (!m_out.empty() && !m_broken) {
        iovec parts[kGather];
        size_t count = 0, total = 0;
        for (auto at = m_out.begin(); at != m_out.end() && count < kGather; ++at, ++count) {
            parts[count].iov_base = const_cast<uint8_t*>(at->data);
            parts[count].iov_len = at->length;
            total += at->length;
        }
        int error = 0;
        const size_t sent = Send(parts, count, error);
        MutexLock lock(m_mutex);
        if (error)
            Break(std::strerror(error));
        if (sent == 0)
            break;
        m_lastSent = Clock::now();
        m_outBytes -= sent;
        for (size_t left = sent; left > 0;) {
            Unsent& front = m_out.front();
            if (left < front.length) {
                front.data += left;
                front.length -= left;
                break;
            }
            left -= front.length;
            m_out.pop_front();
        }
        if (sent < total)
            break;  // the socket is full
    }
    return !m_broken;
}

size_t RpcConnection::Send(const iovec* parts, size_t count, int& error, int flags) {
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(parts);
    message.msg_iovlen = count;
    ssize_t sent;
    do
        sent = ::sendmsg(m_fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL | flags);
    while (sent < 0 && errno == EINTR);
    if (sent >= 0)
        return static_cast<size_t>(sent);
    if (errno != EAGAIN && errno != EWOULDBLOCK)
        error = errno;
    return 0;
}

void RpcConnection::Break(const char* why) {
    OXLOG(2, 0, "Closing the connection of %s: send failed (%s).", m_label.c_str(), why);
    m_broken = true;
    m_out.clear();
    m_outBytes = 0;
    ::shutdown(m_fd, SHUT_RDWR);
}

size_t RpcConnection::Room(size_t limit, size_t backlog) {
    MutexLock lock(m_mutex);
    const size_t inHand = m_running + m_out.size();
    return inHand < limit && m_outBytes < backlog ? limit - inHand : 0;
}

bool RpcConnection::Idle() {
    MutexLock lock(m_mutex);
    return m_running == 0 && m_out.empty();
}

RpcConnection::State RpcConnection::Look(bool wantInput, size_t limit) {
    MutexLock lock(m_mutex);
    State state;
    state.inHand = m_running + m_out.size();
    m_wakeOnDone = !wantInput || state.inHand >= limit;
    state.pending = !m_out.empty();
    state.pendingBytes = m_outBytes;
    state.broken = m_broken;
    state.lastSent = m_lastSent;
    state.lastDone = m_lastDone;
    return state;
}

void RpcConnection::DrainWake() {
    uint64_t count;
    (void)!::read(m_wakeFd, &count, sizeof(count));
}

void RpcConnection::Wake() {
    uint64_t one = 1;
    if (m_wakeFd >= 0)
        (void)!::write(m_wakeFd, &one, sizeof(one));
}

void RpcConnection::ShutdownRead() {
    MutexLock lock(m_mutex);
    m_readShut = true;
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RD);
}

int RpcConnection::Secure(int socket, const std::string& name) {
    MutexLock sending(m_sendMutex);
    MutexLock lock(m_mutex);
    if (m_fd < 0) {
        ::close(socket);
        return -1;
    }
    const int former = m_fd;
    m_fd = socket;
    m_corks = false;  // the plain end of a local relay
    m_held = false;
    m_nonBlocking = false;
    m_flags = -1;
    m_peer.certifiedName = name;
    if (m_readShut)
        ::shutdown(m_fd, SHUT_RD);
    return former;
}

void RpcConnection::Close() {
    MutexLock sending(m_sendMutex);
    MutexLock lock(m_mutex);
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    m_fd = m_wakeFd = -1;
    m_out.clear();
    m_outBytes = 0;
}
