// Call latencies in fixed log-linear buckets: four per power of two of
// nanoseconds, so a bucket is at most a quarter of its lower bound wide and
// a percentile read from it is at most 25% high (never above the maximum
// seen). 149 buckets reach 2^38 ns (about 4.5 minutes); the last takes
// anything longer. No allocation, no lock.
// Thread-safe: Add is one relaxed increment; AddTo reads a copy that may
// miss the adds running meanwhile.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr size_t kLatencyBuckets = 149;

size_t LatencyBucketOf(uint64_t nanos);
// The largest value that falls into bucket.
uint64_t LatencyUpperBound(size_t bucket);

// Merged counts, as read.
struct LatencyCounts {
    std::array<uint64_t, kLatencyBuckets> counts{};
    uint64_t max = 0;  // nanoseconds; percentiles never exceed it

    uint64_t Total() const;
    // The q-quantile (0 < q <= 1) in nanoseconds; 0 when nothing was counted.
    uint64_t Percentile(double q) const;
};

class LatencyHistogram {
  public:
    void Add(uint64_t nanos) {
        m_counts[LatencyBucketOf(nanos)].fetch_add(1, std::memory_order_relaxed);
    }
    void AddTo(LatencyCounts& into) const;

  private:
    std::array<std::atomic<uint64_t>, kLatencyBuckets> m_counts{};
};
