// ONC RPC over TCP: one listening socket serving any number of programs,
// told apart by program number.
//
// Threads: one acceptor; per connection one reader that frames records
// (RecordReader); a fixed pool of workers. Calls run on a worker or on the
// reader (RpcDispatcher) and their replies are written by whoever ran them.
// A call its program does not call quick (it may wait long) goes to a
// worker alone, so it never holds up the connection's reading. Quick calls
// read together are split into as many runs as there are processors (and
// threads to take them): each run but the last goes to a worker as one job,
// the reader runs the last itself. A client waiting on one call at a time so
// costs no hand-off between threads, and a deep queue of small calls costs
// one wake-up per processor rather than one per call. Replies to one
// connection are written whole under that connection's write lock, in the
// order calls finish (clients match them by xid). Sends time out, so a
// client that stops reading costs a worker a bounded wait, and a stalled or
// dead client only ever holds its own reader thread.
// Lock order: m_mutex (connections) before a connection's write lock; the
// queue's lock is a leaf. No lock is held while a program runs.
// Lifetime: AddProgram before Start; Start once; Stop (also run by the
// destructor) stops accepting, lets queued calls finish, closes every
// connection and joins every thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/rpc/BoundedQueue.h"
#include "server/rpc/RecordReader.h"
#include "server/rpc/RpcDispatcher.h"
#include "server/rpc/RpcProgram.h"

class RpcServer {
  public:
    struct Options {
        std::string bindAddress = "127.0.0.1";  // an IPv4 or IPv6 literal
        uint16_t port = 0;                      // 0: any free port
        unsigned workers = 4;
        size_t maxRecord = 2 * 1024 * 1024 + 64 * 1024;  // larger calls close the connection
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
    // The port listened on, once started.
    uint16_t Port() const { return m_port; }
    void Stop();

  private:
    struct Connection;
    typedef std::vector<uint8_t> Record;
    // Calls of one connection for one worker, run in order.
    struct Job {
        std::shared_ptr<Connection> connection;
        std::vector<Record> records;
    };
    struct Reader {
        std::thread thread;
        std::shared_ptr<Connection> connection;
    };

    bool Listen(std::string& error);
    void AcceptLoop();
    void Admit(int fd);
    void ReadLoop(uint64_t id, std::shared_ptr<Connection> connection);
    void WorkLoop();
    // Hands the records read to workers and runs the rest, as above; false
    // once the queue is closed.
    bool Distribute(RecordReader& records, RpcDispatcher& dispatcher,
                    const std::shared_ptr<Connection>& connection);
    // Runs one call and sends its reply, if any.
    static void Serve(RpcDispatcher& dispatcher, Connection& connection, const Record& record);
    void JoinFinishedReaders();

    const Options m_options;
    const size_t m_spread;       // threads a batch of quick calls is split over
    RpcProgramTable m_programs;  // fixed once started
    int m_listenFd = -1;
    uint16_t m_port = 0;
    bool m_started = false;
    std::thread m_acceptor;
    std::vector<std::thread> m_workers;
    BoundedQueue<Job> m_queue;

    std::mutex m_mutex;  // guards the members below
    bool m_stopping = false;
    uint64_t m_nextId = 0;
    std::map<uint64_t, Reader> m_readers;
    std::vector<uint64_t> m_finished;  // readers that ended, to be joined
};
