// What the server's RPC calls came to: per procedure (NFS, MOUNT, the
// configuration program and any other) and per export, calls, errors by
// status, latency and bytes in and out; per connection, its peer and calls.
//
// The call path takes no lock and allocates nothing: each thread counts
// into one of kShards fixed shards of relaxed atomics (picked once per
// thread), which Snapshot merges. A procedure or export gets its row once,
// on its first call, under m_mutex; NFS and MOUNT procedures have theirs
// from the start, other programs' share kClaimed rows, exports kExports,
// and the rest count under an "other" row.
// The program that runs a call notes its own status and export for the
// thread (NoteStatus, NoteExport) between the dispatcher's BeginCall and
// Record. Connections register for their lifetime (Connection).
// Lock order: m_mutex and m_connectionsMutex are leaves (see
// platform/ThreadSafety.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/ThreadSafety.h"
#include "server/stats/LatencyHistogram.h"

// One row of a snapshot; latencies in nanoseconds.
struct StatsRow {
    std::string program;  // "nfs", "mount", "config", the program number, or "other"
    std::string name;     // the procedure, or the export's share path
    uint64_t calls = 0, bytesIn = 0, bytesOut = 0, sumNanos = 0;
    uint64_t p50 = 0, p90 = 0, p99 = 0, max = 0;
    std::vector<std::pair<std::string, uint64_t>> errors;  // status name, calls; none zero

    uint64_t Errors() const;
};

struct StatsConnection {
    uint64_t id = 0;  // tells apart connections of the same peer
    std::string peer;
    uint64_t calls = 0;
};

struct StatsSnapshot {
    std::vector<StatsRow> procedures;  // those called at least once
    std::vector<StatsRow> exports;     // NFS calls per export
    std::vector<StatsConnection> connections;
};

class CallStats {
  public:
    // One call as the dispatcher saw it; acceptStatus is the RPC accept_stat.
    struct Call {
        uint32_t program, procedure;
        const char* name;  // the procedure's, static; null when the program has none
        uint32_t acceptStatus;
        uint64_t nanos, bytesIn, bytesOut;
    };

    // A connection's row, counted while it lives.
    class Connection {
      public:
        Connection(CallStats& stats, std::string peer);
        ~Connection();
        Connection(const Connection&) = delete;
        Connection& operator=(const Connection&) = delete;
        void Count() { m_calls.fetch_add(1, std::memory_order_relaxed); }

      private:
        friend class CallStats;
        CallStats& m_stats;
        const uint64_t m_id;
        const std::string m_peer;
        std::atomic<uint64_t> m_calls{0};
    };

    static constexpr size_t kShards = 8;
    static constexpr size_t kClaimed = 32;
    static constexpr size_t kExports = 64;
    static constexpr size_t kMaxConnections = 1024;  // in a snapshot

    CallStats();
    ~CallStats();
    CallStats(const CallStats&) = delete;
    CallStats& operator=(const CallStats&) = delete;

    // The process's own, which the RPC transport counts into.
    static CallStats& Process();

    // For the calling thread's current call.
    static void BeginCall();
    static void NoteStatus(uint32_t status);  // the program's own (nfsstat3, mountstat3)
    // path() gives the export's share path; called on its first call only.
    template <class Path>
    void NoteExport(uint32_t shareId, Path path) {
        if (!NoteKnownExport(shareId))
            NoteNewExport(shareId, path());
    }

    void Record(const Call& call);
    StatsSnapshot Snapshot() const;

  private:
    struct Shard;
    size_t ProcedureRow(const Call& call);
    size_t ClaimProcedure(size_t row, uint64_t key, const char* name);
    bool NoteKnownExport(uint32_t shareId);
    void NoteNewExport(uint32_t shareId, const std::string& path);

    std::unique_ptr<Shard[]> m_shards;

    Mutex m_mutex;  // claims rows: what it writes is published by atomics, read unlocked
    // Per procedure row: program << 32 | procedure, and its name once claimed.
    std::unique_ptr<std::atomic<uint64_t>[]> m_keys;
    std::unique_ptr<std::atomic<const char*>[]> m_names;
    // Per export row: share id + 1 once claimed (0: free), and its path, set
    // before the id is published and never changed.
    std::atomic<uint64_t> m_exportIds[kExports];
    std::string m_exportPaths[kExports];

    mutable Mutex m_connectionsMutex;
    std::set<const Connection*> m_connections GUARDED_BY(m_connectionsMutex);
};
