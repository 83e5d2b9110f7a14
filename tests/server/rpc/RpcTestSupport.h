// What the transport's tests share: a program that echoes and keeps its
// caller, libtirpc's client, and a raw socket for what that client will not
// send.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <rpc/rpc.h>

#include "server/protocol/XdrProc.h"
#include "server/rpc/RpcServer.h"

namespace rpctest {

// libtirpc makes its AUTH_NONE singleton on first use and looks for it
// before taking its lock, so clients made at once on several threads may
// each make one (all but one then leak). Made here, before any test runs.
inline AUTH* const kAuthNone = authnone_create();

constexpr uint32_t kEchoProgram = 0x20004c55;
constexpr u_int kMaxText = 8192;
const timeval kCallTimeout{30, 0};  // a bound on a hang, not a measurement

// kBulk answers, on a worker, with as many bytes as asked for, each
// BulkByte(xid), after the 24 bytes of an accepted reply's header and the
// 4 of the length; kPipedBulk the same, its bytes spliced from a file
// through the call's pipe.
enum EchoProc : uint32_t { kNull = 0, kEcho = 1, kBulk = 2, kHeld = 3, kPipedBulk = 4 };
constexpr size_t kBulkOffset = 28;
inline char BulkByte(uint32_t xid) {
    return static_cast<char>('a' + xid % 26);
}

// Echoes strings and keeps the caller the transport saw.
class EchoProgram : public RpcProgram {
  public:
    uint32_t Number() const override { return kEchoProgram; }
    uint32_t LowVersion() const override { return 1; }
    uint32_t HighVersion() const override { return 2; }
    accept_stat Call(const RpcCall& call, XDR* args, XDR* results) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_caller = call.caller;
        if (call.procedure == kNull)
            return SUCCESS;
        if (call.procedure == kHeld) {  // stays in flight until the test releases it
            ++m_heldCalls;
            m_changed.notify_all();
            m_changed.wait_for(lock, std::chrono::seconds(30), [this] { return m_released; });
            return SUCCESS;
        }
        lock.unlock();  // calls run side by side, as the server runs them
        if (call.procedure == kBulk || call.procedure == kPipedBulk)
            return Bulk(call, args, results);
        if (call.procedure != kEcho)
            return PROC_UNAVAIL;
        std::vector<char> text(kMaxText + 1);
        char* p = text.data();
        if (!xdr_string(args, &p, kMaxText))
            return GARBAGE_ARGS;
        return xdr_string(results, &p, kMaxText) ? SUCCESS : SYSTEM_ERR;
    }
    // Held and bulk calls go to workers; the others may run on the reader.
    bool Quick(uint32_t, uint32_t procedure) const override {
        return procedure == kNull || procedure == kEcho;
    }
    // Bulk calls asking for more than size bytes first take delay, as an
    // expensive listing takes its time; none do unless set.
    void SlowBulkOver(u_int size, std::chrono::milliseconds delay) {
        m_slowOver = size;
        m_slowDelay = delay.count();
    }
    RpcCaller LastCaller() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_caller;
    }
    // Until that many held calls are in flight (or were).
    bool AwaitHeldCall(size_t calls = 1) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(30),
                                  [this, calls] { return m_heldCalls >= calls; });
    }
    void ReleaseHeldCall() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }

  private:
    accept_stat Bulk(const RpcCall& call, XDR* args, XDR* results) {
        u_int size = 0;
        if (!xdr_u_int(args, &size) || size > (1u << 20))
            return GARBAGE_ARGS;
        if (size > m_slowOver)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_slowDelay));
        std::vector<char> bytes(size, BulkByte(call.xid));
        char* p = bytes.data();
        if (call.procedure == kBulk || !call.pipe)
            return xdr_bytes(results, &p, &size, size) ? SUCCESS : SYSTEM_ERR;
        const int file = ::memfd_create("bulk", MFD_CLOEXEC);
        bool end = false;
        const bool filled = file >= 0 && ::write(file, p, size) == static_cast<ssize_t>(size) &&
                            call.pipe->Fill(file, 0, size, end) == static_cast<ssize_t>(size);
        if (file >= 0)
            ::close(file);
        const u_int dataAt = xdr_getpos(results) + BYTES_PER_XDR_UNIT;  // room to land them
        return filled && xdr_u_int(results, &size) && xdr_inline(results, RNDUP(size)) &&
                       xdr_setpos(results, dataAt)
                   ? SUCCESS
                   : SYSTEM_ERR;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    RpcCaller m_caller;
    size_t m_heldCalls = 0;
    bool m_released = false;
    std::atomic<u_int> m_slowOver{UINT_MAX};
    std::atomic<int64_t> m_slowDelay{0};  // ms
};

inline sockaddr_in Loopback(uint16_t port) {
    return sockaddr_in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
}

// libtirpc's own TCP client, pointed at the port directly (no portmapper).
class Client {
  public:
    explicit Client(uint16_t port, uint32_t program = kEchoProgram, uint32_t version = 1) {
        sockaddr_in address = Loopback(port);
        m_client = clnttcp_create(&address, program, version, &m_socket, 0, 0);
    }
    explicit Client(CLIENT* client) : m_client(client) {}
    ~Client() {
        if (!m_client)
            return;
        auth_destroy(m_client->cl_auth);  // the client does not own it
        clnt_destroy(m_client);
    }
    CLIENT* get() const { return m_client; }
    int Socket() const { return m_socket; }

    // The echoed text, or "failed: <status>".
    std::string Echo(const std::string& text) {
        std::vector<char> back(kMaxText + 1);
        char* in = const_cast<char*>(text.c_str());
        char* out = back.data();
        clnt_stat status = Call(kEcho, XdrProc(xdr_wrapstring), &in, XdrProc(xdr_wrapstring), &out);
        return status == RPC_SUCCESS ? back.data() : "failed: " + std::to_string(status);
    }
    clnt_stat Call(uint32_t procedure, xdrproc_t encode = XdrProc(xdr_void), void* args = nullptr,
                   xdrproc_t decode = XdrProc(xdr_void), void* results = nullptr) {
        return clnt_call(m_client, procedure, encode, args, decode, results, kCallTimeout);
    }

  private:
    CLIENT* m_client = nullptr;
    int m_socket = RPC_ANYSOCK;
};

// A plain socket for what libtirpc's client will not send: TCP to a port on
// loopback, or a local socket's path. receiveBuffer, when set, is the
// socket's receive buffer (a small one fills fast); from, when set, the
// loopback address it comes from (another client machine).
class RawSocket {
  public:
    explicit RawSocket(uint16_t port, int receiveBuffer = 0, const char* from = nullptr)
        : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in source{AF_INET, 0, {}, {}};
        if (from && (::inet_pton(AF_INET, from, &source.sin_addr) != 1 ||
                     ::bind(m_fd, reinterpret_cast<sockaddr*>(&source), sizeof(source)) != 0))
            return;
        sockaddr_in address = Loopback(port);
        Connect(reinterpret_cast<sockaddr*>(&address), sizeof(address), receiveBuffer);
    }
    explicit RawSocket(const std::string& path) : m_fd(::socket(AF_UNIX, SOCK_STREAM, 0)) {
        sockaddr_un address{AF_UNIX, {}};
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        Connect(reinterpret_cast<sockaddr*>(&address), sizeof(address), 0);
    }
    ~RawSocket() { ::close(m_fd); }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    bool Connected() const { return m_connected; }
    bool Send(const void* data, size_t length) {
        return ::send(m_fd, data, length, MSG_NOSIGNAL) == static_cast<ssize_t>(length);
    }
    bool Send(const std::vector<uint8_t>& bytes) { return Send(bytes.data(), bytes.size()); }
    // Fills data exactly; false on end of stream or error.
    bool ReceiveAll(void* data, size_t length) {
        for (auto* at = static_cast<char*>(data); length > 0;) {
            ssize_t got = ::recv(m_fd, at, length, 0);
            if (got <= 0)
                return false;
            at += got;
            length -= static_cast<size_t>(got);
        }
        return true;
    }
    // True when the server closes the stream within a few seconds (unread
    // bytes are read and dropped).
    bool ClosedByServer() {
        char sink[4096];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd readable{m_fd, POLLIN, 0};
            if (::poll(&readable, 1, 100) <= 0)
                continue;
            ssize_t got = ::recv(m_fd, sink, sizeof(sink), 0);
            if (got == 0 || (got < 0 && errno == ECONNRESET))
                return true;
        }
        return false;
    }
    // Taken by the kernel's backlog, then closed by the server: a refusal.
    bool Refused() { return m_connected && ClosedByServer(); }

  private:
    void Connect(const sockaddr* address, socklen_t length, int receiveBuffer) {
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &kCallTimeout, sizeof(kCallTimeout));
        if (receiveBuffer)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        m_connected = ::connect(m_fd, address, length) == 0;
    }

    int m_fd;
    bool m_connected = false;
};

// Words in network order, as bytes.
inline std::string Words(const std::vector<uint32_t>& words) {
    std::string bytes;
    for (uint32_t word : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<char>(word >> shift));
    return bytes;
}

// A fragment of a record: its body, whether it ends the record, and the
// length its header claims when not the body's.
struct Fragment {
    std::string body;
    bool last;
    size_t claimed = 0;
};

// The fragments as a stream, each behind its record mark.
inline std::vector<uint8_t> Stream(const std::vector<Fragment>& fragments) {
    std::string bytes;
    for (const Fragment& f : fragments) {
        const size_t length = f.claimed ? f.claimed : f.body.size();
        bytes += Words({static_cast<uint32_t>(length) | (f.last ? 0x80000000u : 0)}) + f.body;
    }
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Writes count whole call records of the echo program (AUTH_NONE), xids
// from xid on, each in one send (two would meet Nagle and delayed
// acknowledgement), allocating nothing; kBulk takes the reply's size as its
// argument, as does kPipedBulk.
inline bool SendCall(RawSocket& socket, uint32_t xid, uint32_t procedure, u_int bulk = 0,
                     uint32_t count = 1) {
    const bool sized = procedure == kBulk || procedure == kPipedBulk;
    const uint32_t mark = 0x80000000u | (sized ? 44 : 40);
    uint32_t words[] = {mark,      0, CALL,      2, kEchoProgram, 1, procedure,
                        AUTH_NONE, 0, AUTH_NONE, 0, bulk};
    for (uint32_t& word : words)
        word = htonl(word);
    bool sent = true;
    for (uint32_t i = 0; sent && i < count; ++i) {
        words[1] = htonl(xid + i);
        sent = socket.Send(words, sizeof(words) - (sized ? 0 : 4));
    }
    return sent;
}

// The xid of the next reply record on the socket (the record in whole, when
// asked for); 0 when none arrives.
inline uint32_t ReplyXid(RawSocket& socket, std::vector<char>* whole = nullptr) {
    uint32_t mark = 0;
    if (!socket.ReceiveAll(&mark, sizeof(mark)))
        return 0;
    std::vector<char> local;
    std::vector<char>& record = whole ? *whole : local;
    record.resize(ntohl(mark) & 0x7fffffffu);
    uint32_t xid = 0;
    if (record.size() < sizeof(xid) || !socket.ReceiveAll(record.data(), record.size()))
        return 0;
    std::memcpy(&xid, record.data(), sizeof(xid));
    return ntohl(xid);
}

// The words of the next reply record on the socket; none when none arrives.
inline std::vector<uint32_t> ReplyWords(RawSocket& socket) {
    std::vector<char> record;
    ReplyXid(socket, &record);
    std::vector<uint32_t> words(record.size() / 4);
    std::memcpy(words.data(), record.data(), words.size() * 4);
    for (uint32_t& word : words)
        word = ntohl(word);
    return words;
}

// Sends a NULL call; the xid of the reply, 0 when none comes.
inline uint32_t NullCall(RawSocket& socket, uint32_t xid) {
    return SendCall(socket, xid, kNull) ? ReplyXid(socket) : 0;
}

// What the program was told of its caller in one line, every field but the
// host name (the resolver's).
inline std::string Describe(RpcCaller caller) {
    // The kernel's order of a process's groups is its own.
    std::sort(caller.peerGroups.begin(), caller.peerGroups.end());
    std::ostringstream out;
    out << "flavor=" << caller.flavor << " ids=" << caller.uid << ':' << caller.gid;
    for (uint32_t id : caller.gids)
        out << ',' << id;
    out << " machine=" << caller.machineName << " from=" << caller.address.ToString() << ':'
        << caller.port << " local=" << caller.local << " peer=" << caller.peerUid << ':'
        << caller.peerGid;
    for (uint32_t id : caller.peerGroups)
        out << ',' << id;
    out << " cert=" << caller.certifiedName;
    return out.str();
}

// Polls until done() holds or five seconds pass; what done() last said.
template <typename Done>
bool Eventually(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A server on loopback serving an EchoProgram, or the program given, with
// the options set() makes of the defaults.
class RpcServerTest : public ::testing::Test {
  protected:
    void StartServer(const std::function<void(RpcServer::Options&)>& set = nullptr,
                     RpcProgram* program = nullptr) {
        RpcServer::Options options;
        if (set)
            set(options);
        m_server.reset(new RpcServer(options));
        m_server->AddProgram(program ? program : &m_echo);
        std::string error;
        ASSERT_TRUE(m_server->Start(error)) << error;
    }
    uint16_t Port() const { return m_server->Port(); }

    EchoProgram m_echo;
    std::unique_ptr<RpcServer> m_server;
};

}  // namespace rpctest
