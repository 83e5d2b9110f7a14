// ONC RPC over TCP or a local (Unix) stream socket: one listening socket
// serving any number of programs, told apart by program number.
//
// Threads: one acceptor; per connection one thread, the only one that reads
// its socket or waits on it (in poll, or in a read between calls, bounded
// by the connection's deadlines); a fixed pool of workers. Work for the
// workers waits in its connection's line (FairQueue.h), and the workers take
// it from the connections in turn, a job of each per round: a connection's
// many or long calls hold another's up by a job a round at most, never by
// their number. A connection whose replies wait for its client to read
// (some did not fit its socket) is passed over until the client has read
// them, so no worker makes replies nobody takes. A call its program does not
// call quick (it may wait long) goes to a worker alone, so it never holds up
// the connection's reading. Quick calls read together are
// split into runs of equal length, at most kRunCalls each unless that would
// make more runs than there are processors (and threads to take them): each
// run but the last goes to a worker as one job, the connection's thread runs
// the last itself. A client waiting on one call at a time so costs no
// hand-off between threads, a queue of up to kRunCalls small calls none
// either (a hand-off costs a wake-up and a contest for the socket, which so
// few quick calls do not repay), and a deeper one a wake-up per run rather
// than per call.
// A quick call that finds, there, that it would wait (a READ of data not in
// memory) goes to a worker alone instead, so it holds up none of the calls
// behind it. The replies of a run leave together (RpcConnection.h).
// Replies: whoever ran a call hands the reply to its RpcConnection, which
// sends it at once if the socket takes it and otherwise queues it for the
// connection's thread. No worker ever waits on a socket, so a client that
// does not read its replies stalls only its own connection. A reply's data
// may go from a file to the socket through a pipe, never copied, when the
// socket takes it at once (RpcConnection.h); each dispatcher has its pipe.
//
// Per connection, bounded:
// - calls in hand (read, reply not yet all given to the kernel): at most
//   maxCallsPerConnection. The connection takes no new call (and stops
//   reading, so that the client's own sends stall and nothing else does)
//   at that bound, or while maxRecord bytes or more of replies wait for the
//   client to read: a client that reads keeps nothing queued and is never
//   held back below the bound; one that stops reading stops being served.
// - memory: a 64 KiB read buffer; the record being assembled, which grows as
//   its bytes arrive up to maxRecord; records read in the same go but not yet
//   taken (under maxRecord + 64 KiB); a reply buffer of maxRecord, touched as
//   far as the largest reply; per call in hand its record and its reply, each
//   at most maxRecord. At worst about (2 * maxCallsPerConnection + 3) *
//   maxRecord, besides the kernel's socket buffers; in practice the calls a
//   client sends in one go, their replies and one record under way. A large
//   reply the socket did not take stays in its dispatcher's buffer, which
//   the connection takes over (no copy); the server keeps up to 16 such
//   buffers for reuse once sent. The rest of a fragment with 64 KiB or more
//   still to come is read straight into its record, the socket's low-water
//   mark raised to that many bytes: the thread wakes once for them, not per
//   segment (its poll still wakes on the eventfd and at the deadlines).
// - descriptors: the socket and an eventfd (workers wake the thread with it);
//   a pipe for the replies the connection's thread makes, once one splices.
// - time: the connection is closed when no whole call came within
//   firstCallTimeout of its start; when it is idle (no call in hand,
//   nothing to send, no record under way) for idleTimeout since it last
//   completed a record or answered a call; when a record is not whole recordTimeout
//   after its first byte (time spent not reading, by back-pressure, does not
//   count); when replies wait and the peer has taken no byte for sendTimeout.
// Per client address (TCP; local callers are not counted): at most
// maxConnectionsPerAddress connections; the next is refused.
// Server-wide: at most maxConnections connections; at that cap the oldest
// connection with no call in hand is asked to close (it ends as at the end
// of its input: a call it sent meanwhile is still answered) to admit the
// newcomer, which is refused only when none is idle. So one address can
// lock nobody out, and idle connections from many give way to new ones.
// The replies kept for retransmitted non-idempotent calls: at most
// replayEntries of them and replayBytes of their bytes (ReplayCache.h).
// Exhaustion is refused with a log line, never fatal: connections beyond
// the bounds above, or for which no thread or memory can be had, are closed
// at once; a record that cannot grow closes its connection; when the process
// is out of descriptors the acceptor retries every 100 ms instead of
// spinning. A connection's thread releases its socket as soon as it ends.
//
// TLS (tls set): every connection must first take up TLS (RpcTls.h) within
// recordTimeout, with a client certificate the context trusts, or it is
// closed; its calls then carry the certificate's name (RpcCaller). A relay
// thread per connection carries the TLS stream to a socket pair whose other
// end the connection's thread serves as any other; it ends with the
// connection, and is joined by the connection's thread.
//
// Local socket (unixPath): a stale socket file in the way is removed (one a
// live server answers on, or any other kind of file, makes Start fail); it
// is made 0600, or 0660 of group unixGroup; Stop removes it. Its callers are
// local, with the peer process's ids from the kernel; their address reads
// 127.0.0.1, their port 0 and their host name "".
//
// Lock order (platform/ThreadSafety.h): m_mutex (connections) before a
// connection's m_mutex (RpcConnection.h; the acceptor, looking for an idle
// connection to close, nests them); the queue's, the reply buffers' and the replay cache's locks
// are leaves (the queue reads a connection's unsent bytes, an atomic, under its own). No lock is
// held while a program runs or a thread is joined. A connection's descriptors are closed by its
// thread as it ends (by the last owner for one refused before it had a thread), never by anyone
// else. Lifetime: AddProgram before Start; Start once; Stop (also run by the destructor) stops
// accepting, lets calls already read finish and their replies go out (waiting at most sendTimeout
// on a peer that does not read), closes every connection and joins every thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/ThreadSafety.h"
#include "server/rpc/FairQueue.h"
#include "server/rpc/HandedOver.h"
#include "server/rpc/HostNameLookup.h"
#include "server/rpc/RecordReader.h"
#include "server/rpc/ReplayCache.h"
#include "server/rpc/RpcConnection.h"
#include "server/rpc/RpcDispatcher.h"
#include "server/rpc/RpcProgram.h"
#include "server/tls/TlsContext.h"

class RpcServer {
  public:
    // Starts a thread running body; throws std::system_error when it cannot,
    // as std::thread does.
    typedef std::function<std::thread(std::function<void()>)> ThreadStarter;

    struct Options {
        std::string bindAddress = "127.0.0.1";  // an IPv4 or IPv6 literal
        uint16_t port = 0;                      // 0: any free port
        std::string unixPath;  // non-empty: listen on this local socket instead of TCP
        gid_t unixGroup = static_cast<gid_t>(-1);  // set: the socket is 0660 of this group
        std::shared_ptr<const TlsContext> tls;     // set: TLS is required (a server context)
        unsigned workers = 4;
        size_t maxRecord = 2 * 1024 * 1024 + 64 * 1024;  // larger calls close the connection
        // At the cap the oldest idle connection makes room for the next (above).
        size_t maxConnections = 1024;
        size_t maxConnectionsPerAddress = 64;  // from one client address; the next is closed
        size_t maxCallsPerConnection = 64;     // in hand at once (above)
        // Replies kept for retransmitted non-idempotent calls (ReplayCache.h).
        size_t replayEntries = 4096;
        size_t replayBytes = 2 * 1024 * 1024;
        // How long a connection may go without its first call, be idle, take
        // to send a record, or leave replies unread (above) before it is closed.
        std::chrono::milliseconds firstCallTimeout = std::chrono::seconds(10);
        std::chrono::milliseconds idleTimeout = std::chrono::minutes(5);
        std::chrono::milliseconds recordTimeout = std::chrono::seconds(30);
        std::chrono::milliseconds sendTimeout = std::chrono::seconds(30);
        // Seams for tests: how threads are started (a test makes it fail)
        // and how peer names are looked up (a test forges the answers).
        ThreadStarter startThread = [](std::function<void()> body) {
            return std::thread(std::move(body));
        };
        HostNameLookup hostNames = HostNameLookup::System();
    };

    explicit RpcServer(const Options& options);
    ~RpcServer();
    RpcServer(const RpcServer&) = delete;
    RpcServer& operator=(const RpcServer&) = delete;

    // Not owned; must outlive the server. A second program with the same
    // number replaces the first.
    void AddProgram(RpcProgram* program);
    // Binds, listens and starts the threads; false and error set on failure.
    bool Start(std::string& error);
    // The TCP port listened on, once started; 0 on a local socket.
    uint16_t Port() const { return m_port; }
    void Stop();

  private:
    typedef RecordReader::Bytes Record;
    typedef std::shared_ptr<RpcConnection> ConnectionPtr;
    // Calls of one connection for one worker, run in order.
    typedef std::vector<Record> Job;
    struct Reader {
        std::thread thread;
        ConnectionPtr connection;
        bool closing = false;  // asked to close, or its thread ended
    };
    class Session;

    bool Listen(std::string& error);
    bool ListenTcp(std::string& error);
    bool ListenUnix(std::string& error);
    // Closes the listening socket and removes the socket file made, if still ours.
    void CloseListener();
    bool StartThreads(std::string& error);
    void AcceptLoop();
    // Accepts one connection; false when the listening socket is gone.
    bool AcceptOne(bool& exhausted);
    void Admit(int fd, const sockaddr_storage& peer);
    // Whether a connection from address ("": a local one) may come in: under
    // the address's share, and under the cap, if need be once the oldest idle
    // connection is asked to close; why set when not.
    bool MakeRoom(const std::string& address, std::string& why);
    // Starts the connection's thread; false (logged) when it cannot.
    bool Launch(const ConnectionPtr& connection, const std::string& address);
    // Closes fd (when not -1) and logs, a line a second at most.
    void Refuse(int fd, const std::string& label, const std::string& why);
    void RunConnection(uint64_t id, ConnectionPtr connection, const std::string& address);
    // The TLS probe and handshake, then the relay started; false (logged)
    // when the connection is to close.
    bool TakeUpTls(RpcConnection& connection, std::thread& relay);
    void WorkLoop(RpcDispatcher& dispatcher);
    // Hands up to room records to workers and runs the rest, as above; false
    // once the queue is closed.
    bool Distribute(RecordReader& records, size_t room, RpcDispatcher& dispatcher,
                    const ConnectionPtr& connection);
    bool Push(const ConnectionPtr& connection, Job&& job);
    // Runs one call and hands its reply, if any, to the connection (more:
    // another call of the same run follows); true when, run on the
    // connection's thread (onReader), it would wait and is still to run.
    static bool Serve(RpcDispatcher& dispatcher, RpcConnection& connection, const Record& record,
                      bool onReader = false, bool more = false);
    void JoinFinishedReaders();
    void Wake();

    const Options m_options;
    const size_t m_spread;        // threads a batch of quick calls is split over
    ReplyBuffers m_replyBuffers;  // outlives every dispatcher and connection
    ReplayCache m_replies;        // shared by every dispatcher
    RpcProgramTable m_programs;   // fixed once started
    int m_listenFd = -1;
    int m_wakeFd = -1;  // eventfd: Stop and ending connections wake the acceptor
    uint16_t m_port = 0;
    RpcConnection::Clock::time_point m_lastRefusal;  // the acceptor's alone
    size_t m_unloggedRefusals = 0;                   // the acceptor's alone
    ino_t m_unixInode = 0;  // of the socket file made, removed by Stop if still ours
    bool m_started = false;
    std::thread m_acceptor;
    std::vector<std::unique_ptr<RpcDispatcher>> m_dispatchers;  // one per worker
    std::vector<std::thread> m_workers;
    FairQueue<ConnectionPtr, Job> m_queue;  // a line per connection

    Mutex m_mutex;
    bool m_stopping GUARDED_BY(m_mutex) = false;
    uint64_t m_nextId GUARDED_BY(m_mutex) = 0;
    size_t m_open GUARDED_BY(m_mutex) = 0;     // connections whose thread has not ended
    size_t m_closing GUARDED_BY(m_mutex) = 0;  // of them, asked to make room
    std::map<std::string, size_t> m_perAddress GUARDED_BY(m_mutex);  // open, by TCP peer
    std::map<uint64_t, Reader> m_readers GUARDED_BY(m_mutex);        // oldest first
    // readers that ended, to be joined
    std::vector<uint64_t> m_finished GUARDED_BY(m_mutex);
};
