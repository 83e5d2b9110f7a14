// Call statistics counted into per-thread shards of atomics and merged into snapshots.
#include "server/stats/CallStats.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr uint32_t kNfsProgram = 100003, kMountProgram = 100005, kConfigProgram = 0x24600000;
constexpr size_t kNfsRows = 22, kMountRows = 6;
constexpr size_t kClaimedFirst = kNfsRows + kMountRows;
constexpr size_t kOtherRow = kClaimedFirst + CallStats::kClaimed;
constexpr size_t kProcedureRows = kOtherRow + 1;
constexpr size_t kOtherExport = CallStats::kExports;

// Status slots: 0 is success; then the NFS (and MOUNT, which shares their
// numbers) error statuses; then the RPC accept statuses a program returns
// (offset by kAccept); the last slot takes anything else.
constexpr uint32_t kAccept = 0x10000;
struct StatusName {
    uint32_t code;
    const char* name;
};
const StatusName kStatuses[] = {
    {0, "OK"},
    {1, "PERM"},
    {2, "NOENT"},
    {5, "IO"},
    {6, "NXIO"},
    {13, "ACCES"},
    {17, "EXIST"},
    {18, "XDEV"},
    {19, "NODEV"},
    {20, "NOTDIR"},
    {21, "ISDIR"},
    {22, "INVAL"},
    {27, "FBIG"},
    {28, "NOSPC"},
    {30, "ROFS"},
    {31, "MLINK"},
    {63, "NAMETOOLONG"},
    {66, "NOTEMPTY"},
    {69, "DQUOT"},
    {70, "STALE"},
    {71, "REMOTE"},
    {10001, "BADHANDLE"},
    {10002, "NOT_SYNC"},
    {10003, "BAD_COOKIE"},
    {10004, "NOTSUPP"},
    {10005, "TOOSMALL"},
    {10006, "SERVERFAULT"},
    {10007, "BADTYPE"},
    {10008, "JUKEBOX"},
    {kAccept + 3, "PROC_UNAVAIL"},
    {kAccept + 4, "GARBAGE_ARGS"},
    {kAccept + 5, "SYSTEM_ERR"},
};
constexpr size_t kKnownStatuses = sizeof kStatuses / sizeof kStatuses[0];
constexpr size_t kStatusSlots = kKnownStatuses + 1;

size_t StatusSlot(uint32_t code) {
    if (code == 0)
        return 0;
    for (size_t slot = 1; slot < kKnownStatuses; ++slot)
        if (kStatuses[slot].code == code)
            return slot;
    return kKnownStatuses;
}

const char* ProgramName(uint32_t program) {
    switch (program) {
        case kNfsProgram:
            return "nfs";
        case kMountProgram:
            return "mount";
        case kConfigProgram:
            return "config";
        default:
            return nullptr;
    }
}

// What the program running on this thread noted of its call.
struct Note {
    uint32_t status = 0;
    size_t exportRow = SIZE_MAX;  // none
};
thread_local Note t_note;

size_t ThisThreadsShard() {
    static std::atomic<size_t> next{0};
    thread_local const size_t shard = next.fetch_add(1) % CallStats::kShards;
    return shard;
}

uint64_t NextConnectionId() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

void RaiseMax(std::atomic<uint64_t>& max, uint64_t value) {
    uint64_t seen = max.load(std::memory_order_relaxed);
    while (value > seen && !max.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}

// One row's counters in one shard.
struct Counters {
    std::atomic<uint64_t> calls{0}, bytesIn{0}, bytesOut{0}, sumNanos{0}, maxNanos{0};
    std::atomic<uint64_t> statuses[kStatusSlots]{};
    LatencyHistogram latency;

    void Add(const CallStats::Call& call, size_t status) {
        calls.fetch_add(1, std::memory_order_relaxed);
        bytesIn.fetch_add(call.bytesIn, std::memory_order_relaxed);
        bytesOut.fetch_add(call.bytesOut, std::memory_order_relaxed);
        sumNanos.fetch_add(call.nanos, std::memory_order_relaxed);
        RaiseMax(maxNanos, call.nanos);
        statuses[status].fetch_add(1, std::memory_order_relaxed);
        latency.Add(call.nanos);
    }
};

}  // namespace

struct alignas(64) CallStats::Shard {
    Counters procedures[kProcedureRows];
    Counters exports[kExports + 1];
};

uint64_t StatsRow::Errors() const {
    uint64_t total = 0;
    for (const auto& error : errors)
        total += error.second;
    return total;
}

CallStats::Connection::Connection(CallStats& stats, std::string peer)
    : m_stats(stats), m_id(NextConnectionId()), m_peer(std::move(peer)) {
    MutexLock lock(m_stats.m_connectionsMutex);
    m_stats.m_connections.insert(this);
}

CallStats::Connection::~Connection() {
    MutexLock lock(m_stats.m_connectionsMutex);
    m_stats.m_connections.erase(this);
}

CallStats::CallStats()
    : m_shards(new Shard[kShards]),
      m_keys(new std::atomic<uint64_t>[kProcedureRows]()),
      m_names(new std::atomic<const char*>[kProcedureRows]()) {
    for (auto& id : m_exportIds)
        id.store(0, std::memory_order_relaxed);
}

CallStats::~CallStats() = default;

CallStats& CallStats::Process() {
    static CallStats stats;
    return stats;
}

void CallStats::BeginCall() {
    t_note = Note();
}

void CallStats::NoteStatus(uint32_t status) {
    t_note.status = status;
}

void CallStats::Record(const Call& call) {
    const uint32_t code = call.acceptStatus != 0 ? kAccept + call.acceptStatus : t_note.status;
    const size_t status = StatusSlot(code);
    Shard& shard = m_shards[ThisThreadsShard()];
    shard.procedures[ProcedureRow(call)].Add(call, status);
    if (t_note.exportRow != SIZE_MAX)
        shard.exports[t_note.exportRow].Add(call, status);
}

size_t CallStats::ProcedureRow(const Call& call) {
    const uint64_t key = static_cast<uint64_t>(call.program) << 32 | call.procedure;
    size_t row = kOtherRow;
    if (call.program == kNfsProgram && call.procedure < kNfsRows)
        row = call.procedure;
    else if (call.program == kMountProgram && call.procedure < kMountRows)
        row = kNfsRows + call.procedure;
    else
        for (size_t claimed = kClaimedFirst; claimed < kOtherRow; ++claimed) {
            if (!m_names[claimed].load(std::memory_order_acquire))
                return ClaimProcedure(claimed, key, call.name);
            if (m_keys[claimed].load(std::memory_order_relaxed) == key)
                return claimed;
        }
    if (row != kOtherRow && !m_names[row].load(std::memory_order_acquire))
        return ClaimProcedure(row, key, call.name);
    return row;
}

// A free claimed row may be taken by another thread meanwhile: the search
// runs again under the lock.
size_t CallStats::ClaimProcedure(size_t row, uint64_t key, const char* name) {
    MutexLock lock(m_mutex);
    const size_t first = row < kClaimedFirst ? row : kClaimedFirst;
    const size_t last = row < kClaimedFirst ? row + 1 : kOtherRow;
    for (size_t candidate = first; candidate < last; ++candidate) {
        if (m_names[candidate].load(std::memory_order_relaxed)) {
            if (m_keys[candidate].load(std::memory_order_relaxed) == key)
                return candidate;
            continue;
        }
        m_keys[candidate].store(key, std::memory_order_relaxed);
        m_names[candidate].store(name ? name : "", std::memory_order_release);
        return candidate;
    }
    return kOtherRow;
}

bool CallStats::NoteKnownExport(uint32_t shareId) {
    const uint64_t id = static_cast<uint64_t>(shareId) + 1;
    for (size_t row = 0; row < kExports; ++row) {
        const uint64_t seen = m_exportIds[row].load(std::memory_order_acquire);
        if (seen == id)
            t_note.exportRow = row;
        if (seen == id || seen == 0)
            return seen == id;
    }
    t_note.exportRow = kOtherExport;  // every row taken: no claim, no lock
    return true;
}

// Claims a free row, or finds the one another thread claimed meanwhile.
void CallStats::NoteNewExport(uint32_t shareId, const std::string& path) {
    const uint64_t id = static_cast<uint64_t>(shareId) + 1;
    MutexLock lock(m_mutex);
    t_note.exportRow = kOtherExport;
    for (size_t row = 0; row < kExports; ++row) {
        const uint64_t seen = m_exportIds[row].load(std::memory_order_relaxed);
        if (seen == 0) {
            m_exportPaths[row] = path;
            m_exportIds[row].store(id, std::memory_order_release);
        }
        if (seen == 0 || seen == id) {
            t_note.exportRow = row;
            return;
        }
    }
}

namespace {

// The row's counters of every shard merged; of(shard) gives them.
template <typename Of>
StatsRow MergeCounters(Of of) {
    StatsRow merged;
    LatencyCounts latency;
    uint64_t statuses[kStatusSlots] = {};
    for (size_t shard = 0; shard < CallStats::kShards; ++shard) {
        const Counters& c = of(shard);
        merged.calls += c.calls.load(std::memory_order_relaxed);
        merged.bytesIn += c.bytesIn.load(std::memory_order_relaxed);
        merged.bytesOut += c.bytesOut.load(std::memory_order_relaxed);
        merged.sumNanos += c.sumNanos.load(std::memory_order_relaxed);
        latency.max = std::max(latency.max, c.maxNanos.load(std::memory_order_relaxed));
        for (size_t slot = 0; slot < kStatusSlots; ++slot)
            statuses[slot] += c.statuses[slot].load(std::memory_order_relaxed);
        c.latency.AddTo(latency);
    }
    for (size_t slot = 1; slot < kStatusSlots; ++slot)
        if (statuses[slot])
            merged.errors.emplace_back(slot < kKnownStatuses ? kStatuses[slot].name : "OTHER",
                                       statuses[slot]);
    merged.p50 = latency.Percentile(0.50);
    merged.p90 = latency.Percentile(0.90);
    merged.p99 = latency.Percentile(0.99);
    merged.max = latency.max;
    return merged;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

}  // namespace

StatsSnapshot CallStats::Snapshot() const {
    StatsSnapshot snapshot;
    for (size_t row = 0; row < kProcedureRows; ++row) {
        StatsRow merged = MergeCounters(
            [&](size_t shard) -> const Counters& { return m_shards[shard].procedures[row]; });
        if (merged.calls == 0)
            continue;
        const char* name = m_names[row].load(std::memory_order_acquire);
        const uint64_t key = m_keys[row].load(std::memory_order_relaxed);
        const uint32_t program = static_cast<uint32_t>(key >> 32);
        const char* label = ProgramName(program);
        merged.program = row == kOtherRow ? "other" : label ? label : std::to_string(program);
        merged.name = row == kOtherRow ? "other"
                      : name && *name  ? name
                                       : Hex(static_cast<uint32_t>(key));
        snapshot.procedures.push_back(std::move(merged));
    }
    for (size_t row = 0; row <= kExports; ++row) {
        StatsRow merged = MergeCounters(
            [&](size_t shard) -> const Counters& { return m_shards[shard].exports[row]; });
        if (merged.calls == 0)
            continue;
        merged.program = "nfs";
        const bool named = row < kExports && m_exportIds[row].load(std::memory_order_acquire);
        merged.name = named ? m_exportPaths[row] : "other";
        snapshot.exports.push_back(std::move(merged));
    }
    MutexLock lock(m_connectionsMutex);
    for (const Connection* connection : m_connections) {
        if (snapshot.connections.size() == kMaxConnections)
            break;
        snapshot.connections.push_back({connection->m_id, connection->m_peer,
                                        connection->m_calls.load(std::memory_order_relaxed)});
    }
    return snapshot;
}
