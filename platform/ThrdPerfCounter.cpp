// ThrdPerfCounter: per-thread blocks of counters, found through a small
// per-thread cache, summed under the lock when read.
#include "platform/ThrdPerfCounter.h"

#include <chrono>
#include <thread>

#include "platform/LogWriter.h"

// Each thread counts into its own block; only the owning thread writes a
// block, readers sum the blocks with relaxed atomic loads.
struct ThrdPerfCounter::ThreadBlock {
    struct Counter {
        std::atomic<uint64_t> calls{0};
        std::atomic<uint64_t> nanoseconds{0};
        std::atomic<uint64_t> bytes{0};
        std::atomic<const char*> category{nullptr};  // of the last Stop
        int64_t startNs = 0;                         // owner only; 0: not timing
    };
    std::thread::id owner;
    Counter counters[kMaxCounters];
};

namespace {

std::atomic<uint64_t> g_nextCounterId{1};

// The thread's recent (object id, block) pairs. Trivially destructible, so
// counting stays safe in static destructors after thread-locals are gone.
// A miss falls back to the object's list, so the cache never decides
// correctness.
struct CachedBlock {
    uint64_t id;
    void* block;
};
constexpr int kCacheSize = 8;
thread_local CachedBlock t_cache[kCacheSize];
thread_local unsigned t_nextVictim = 0;

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void AddOwned(std::atomic<uint64_t>& value, uint64_t amount) {
    // Single writer: a plain load and store, no locked read-modify-write.
    value.store(value.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
}

bool InRange(int counter) {
    return counter >= 0 && counter < ThrdPerfCounter::kMaxCounters;
}

}  // namespace

ThrdPerfCounter::ThrdPerfCounter() : m_id(g_nextCounterId.fetch_add(1)) {}

ThrdPerfCounter::~ThrdPerfCounter() = default;

ThrdPerfCounter::ThreadBlock& ThrdPerfCounter::BlockOfThisThread() {
    for (const CachedBlock& entry : t_cache) {
        if (entry.id == m_id)
            return *static_cast<ThreadBlock*>(entry.block);
    }
    ThreadBlock* block = nullptr;
    std::thread::id self = std::this_thread::get_id();
    {
        MutexLock guard(m_mutex);
        // A thread id is reused only after its thread ended, so a block
        // found here has no other writer.
        for (const std::shared_ptr<ThreadBlock>& b : m_blocks) {
            if (b->owner == self)
                block = b.get();
        }
        if (!block) {
            m_blocks.push_back(std::make_shared<ThreadBlock>());
            block = m_blocks.back().get();
            block->owner = self;
        }
    }
    t_cache[t_nextVictim++ % kCacheSize] = CachedBlock{m_id, block};
    return *block;
}

void ThrdPerfCounter::StartPerfCounter(const char* /*category*/, int counter) {
    if (!IsEnabled() || !InRange(counter))
        return;
    BlockOfThisThread().counters[counter].startNs = NowNs();
}

void ThrdPerfCounter::StopPerfCounter(const char* category, int counter, unsigned long long bytes) {
    if (!IsEnabled() || !InRange(counter))
        return;
    ThreadBlock::Counter& c = BlockOfThisThread().counters[counter];
    // A Stop without its Start counts the call and the bytes, not the time.
    int64_t elapsed = c.startNs != 0 ? NowNs() - c.startNs : 0;
    c.startNs = 0;
    AddOwned(c.calls, 1);
    AddOwned(c.nanoseconds, elapsed > 0 ? static_cast<uint64_t>(elapsed) : 0);
    AddOwned(c.bytes, bytes);
    c.category.store(category, std::memory_order_relaxed);
    if (m_logEach.load())
        LogAll();
}

ThrdPerfCounter::Totals ThrdPerfCounter::GetTotals(int counter) const {
    Totals totals;
    if (!InRange(counter))
        return totals;
    MutexLock guard(m_mutex);
    for (const std::shared_ptr<ThreadBlock>& block : m_blocks) {
        const ThreadBlock::Counter& c = block->counters[counter];
        totals.calls += c.calls.load(std::memory_order_relaxed);
        totals.nanoseconds += c.nanoseconds.load(std::memory_order_relaxed);
        totals.bytes += c.bytes.load(std::memory_order_relaxed);
    }
    return totals;
}

void ThrdPerfCounter::LogAll() const {
    // A snapshot under the lock, logged after it: the log lock stays a leaf.
    // The category shown is that of the last Stop in the first thread that
    // counted; callers keep one category per counter.
    Totals totals[kMaxCounters];
    const char* categories[kMaxCounters] = {};
    {
        MutexLock guard(m_mutex);
        for (const std::shared_ptr<ThreadBlock>& block : m_blocks) {
            for (int i = 0; i < kMaxCounters; ++i) {
                const ThreadBlock::Counter& c = block->counters[i];
                totals[i].calls += c.calls.load(std::memory_order_relaxed);
                totals[i].nanoseconds += c.nanoseconds.load(std::memory_order_relaxed);
                totals[i].bytes += c.bytes.load(std::memory_order_relaxed);
                if (!categories[i])
                    categories[i] = c.category.load(std::memory_order_relaxed);
            }
        }
    }
    OXLOG(1, 0, "For All The Files");
    for (int i = 0; i < kMaxCounters; ++i) {
        const Totals& t = totals[i];
        if (t.calls == 0)
            continue;
        unsigned long long totalUs = t.nanoseconds / 1000;
        OXLOG(1, 0, "[%s] counter %d calls %llu total %llu us avg %llu us bytes %llu",
              categories[i] ? categories[i] : "", i, static_cast<unsigned long long>(t.calls),
              totalUs, totalUs / t.calls, static_cast<unsigned long long>(t.bytes));
    }
}
