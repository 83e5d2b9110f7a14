// The log-linear latency buckets, and percentiles read from them.
#include "server/stats/LatencyHistogram.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr unsigned kSubBits = 2;  // four buckets per power of two
constexpr unsigned kSub = 1u << kSubBits;
constexpr unsigned kLastExponent = 37;
}  // namespace

size_t LatencyBucketOf(uint64_t nanos) {
    if (nanos < kSub)
        return nanos;
    const unsigned exponent = 63 - __builtin_clzll(nanos);
    if (exponent > kLastExponent)
        return kLatencyBuckets - 1;
    const unsigned sub = (nanos >> (exponent - kSubBits)) & (kSub - 1);
    return kSub + (exponent - kSubBits) * kSub + sub;
}

uint64_t LatencyUpperBound(size_t bucket) {
    if (bucket < kSub)
        return bucket;
    if (bucket >= kLatencyBuckets - 1)
        return UINT64_MAX;
    const unsigned exponent = (bucket - kSub) / kSub + kSubBits;
    const uint64_t sub = (bucket - kSub) % kSub;
    return ((kSub + sub + 1) << (exponent - kSubBits)) - 1;
}

uint64_t LatencyCounts::Total() const {
    uint64_t total = 0;
    for (uint64_t count : counts)
        total += count;
    return total;
}

uint64_t LatencyCounts::Percentile(double q) const {
    const uint64_t total = Total();
    if (total == 0)
        return 0;
    const uint64_t rank = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(q * total)));
    uint64_t seen = 0;
    for (size_t bucket = 0; bucket < kLatencyBuckets; ++bucket) {
        seen += counts[bucket];
        if (seen >= rank)
            return std::min(LatencyUpperBound(bucket), max);
    }
    return max;
}

void LatencyHistogram::AddTo(LatencyCounts& into) const {
    for (size_t bucket = 0; bucket < kLatencyBuckets; ++bucket)
        into.counts[bucket] += m_counts[bucket].load(std::memory_order_relaxed);
}
