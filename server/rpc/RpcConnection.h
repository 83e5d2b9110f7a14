// One client connection's socket and what the server owes that client: the
// calls in hand (read, their replies not yet all given to the kernel) and
// the replies queued behind a full socket.
//
// The connection's own thread reads the socket and flushes the queue. A
// thread that ran a call hands its reply over with Answer: sent at once
// (without waiting) as far as the socket takes it when nothing is queued;
// the rest is queued and the connection's thread, woken through an eventfd,
// writes it as the peer reads. So nobody but that thread ever waits on the
// socket, and replies go out whole, in the order they were handed over.
// Replies of a run of calls go out together: each but the last is sent
// with MSG_MORE, and the run ends by pushing what is held back (Push).
// A reply ending in data in its dispatcher's pipe (ReplyPipe.h) is sent as
// its head (MSG_MORE), the pipe spliced to the socket, then the padding;
// whatever the socket did not take at once, pipe bytes included, is moved
// into the dispatcher's buffer and queued as any other rest of a reply.
// Splicing needs the socket non-blocking; it is made so when first needed
// and blocking again only for the connection's thread's read between
// calls, when no call is in hand and so no reply is being sent.
// Thread-safe. m_sendMutex lets one thread at a time write the socket (it is
// held across a non-blocking send, never across a wait); m_mutex, held
// briefly, guards the rest. Order: m_sendMutex, m_mutex (see
// platform/ThreadSafety.h). The socket and the eventfd are closed only by
// Close, under both; a reply handed over later is dropped, so a descriptor
// number reused elsewhere is never touched.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/ThreadSafety.h"
#include "server/rpc/RpcDispatcher.h"
#include "server/rpc/RpcProgram.h"
#include "server/stats/CallStats.h"

class RpcConnection {
  public:
    typedef std::chrono::steady_clock Clock;

    // What the connection's thread needs to know to decide how to wait.
    struct State {
        size_t inHand = 0;           // calls running plus replies queued
        bool pending = false;        // replies wait for the peer to read
        size_t pendingBytes = 0;     // their bytes yet to send
        bool broken = false;         // a send failed: the stream is unusable
        Clock::time_point lastSent;  // the peer last took bytes, or output began to wait
        Clock::time_point lastDone;  // a call was last answered
    };

    // Owns both descriptors: socket (sent to without waiting, whatever its
    // mode) and wake (an eventfd). peer holds the transport's fields of
    // RpcCaller; label names the peer in log lines.
    RpcConnection(int socket, int wake, const RpcCaller& peer, const std::string& label);
    ~RpcConnection();
    RpcConnection(const RpcConnection&) = delete;
    RpcConnection& operator=(const RpcConnection&) = delete;

    int Socket() const { return m_fd; }
    int WakeFd() const { return m_wakeFd; }
    const std::string& Label() const { return m_label; }
    // One more call of this connection ran (CallStats.h).
    void CountCall() { m_stats.Count(); }
    // Read by the threads running its calls; set only before the first call.
    const RpcCaller& Peer() const { return m_peer; }
    void SetHostName(const std::string& name) { m_peer.hostName = name; }
    // The connection's thread, before any call: from now on the connection
    // is socket (the plain end of a TLS relay), its caller proved as name.
    // The former socket is returned, the caller's to close; -1 (socket
    // closed) when the connection was closed meanwhile.
    int Secure(int socket, const std::string& name);

    // calls were read and are now in hand.
    void Take(size_t calls);
    // A call in hand is done; its reply record. A large reply the socket
    // does not take whole stays in the buffer of the dispatcher that made
    // it, which gets a new one (TakeReply).
    // more: a reply of the same run of calls follows at once; over TCP the
    // kernel holds this one back to send them in one segment, and the run
    // ends with Push.
    void Answer(const uint8_t* reply, size_t length, RpcDispatcher& maker, bool more = false);
    // Sends what replies handed over with more left held back, if anything.
    void Push();
    // calls in hand are done and have no reply.
    void Unanswered(size_t calls);
    // The connection's thread, before a blocking read: the socket blocks
    // again (no call may be in hand).
    void BlockForReading();
    // Writes queued replies as far as the socket takes them; false once the
    // connection is broken.
    bool Flush();
    // No call is in hand.
    bool Idle();
    // Bytes of replies waiting for the peer to read (under no lock).
    size_t UnsentBytes() const { return m_outBytes; }
    // How many calls may be taken now: none while backlog bytes or more of
    // replies wait, else up to limit calls in hand.
    size_t Room(size_t limit, size_t backlog);
    // The state. Until the next Look, each answered call wakes the
    // connection's thread when it cannot read: it does not want input, or
    // limit calls are in hand (it then waits on calls, not on the socket).
    State Look(bool wantInput, size_t limit);
    // Empties the eventfd once it was signalled (the connection's thread).
    void DrainWake();
    // The connection's thread then sees end of input (Stop).
    void ShutdownRead();
    // Releases both descriptors and drops queued replies.
    void Close();

  private:
    // Sends what the socket takes now, without waiting; error set (errno)
    // when the stream failed.
    size_t Send(const iovec* parts, size_t count, int& error, int flags = 0) REQUIRES(m_sendMutex);
    // Nothing queued: as Send, for a reply of length bytes whose data is in
    // piped.
    size_t SendPiped(const uint8_t* reply, size_t length, ReplyPipe& piped, int& error)
        REQUIRES(m_sendMutex);
    // The socket made non-blocking; false when it cannot.
    bool NonBlocking() REQUIRES(m_sendMutex);
    // Queues the rest of a reply; true when the queue was empty (its writer
    // must be woken).
    bool Queue(const uint8_t* data, size_t length, RpcDispatcher& maker)
        REQUIRES(m_sendMutex, m_mutex);
    // Shuts the stream down, drops what is queued.
    void Break(const char* why) REQUIRES(m_sendMutex, m_mutex);
    void Wake() REQUIRES(m_mutex);

    int m_fd;
    int m_wakeFd;
    RpcCaller m_peer;
    const std::string m_label;
    CallStats::Connection m_stats;

    Mutex m_sendMutex;
    // m_fd's O_NONBLOCK, and its other flags once read.
    bool m_nonBlocking GUARDED_BY(m_sendMutex) = false;
    int m_flags GUARDED_BY(m_sendMutex) = -1;
    // Whether replies may be held back (a TCP socket), and whether some are.
    bool m_corks GUARDED_BY(m_sendMutex);
    bool m_held GUARDED_BY(m_sendMutex) = false;
    Mutex m_mutex ACQUIRED_AFTER(m_sendMutex);
    // m_fd, m_wakeFd, m_out, m_outBytes and m_broken change under both locks
    // and are read under either (m_wakeFd also by the connection's thread,
    // which alone closes it), which the annotations cannot say: they carry
    // none. m_mutex guards the rest.
    size_t m_running GUARDED_BY(m_mutex) = 0;
    struct Unsent {
        ReplyBuffers::Buffer buffer;  // holds the bytes
        const uint8_t* data;
        size_t length;
    };
    std::deque<Unsent> m_out;           // what is left of replies, oldest first
    std::atomic<size_t> m_outBytes{0};  // in m_out; read under no lock by UnsentBytes
    bool m_broken = false;
    // ShutdownRead ran: a socket swapped in is shut too
    bool m_readShut GUARDED_BY(m_mutex) = false;
    bool m_wakeOnDone GUARDED_BY(m_mutex) = false;
    Clock::time_point m_lastSent GUARDED_BY(m_mutex) = Clock::now();
    Clock::time_point m_lastDone GUARDED_BY(m_mutex) = Clock::now();
};
