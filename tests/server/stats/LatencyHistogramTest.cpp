// The latency histogram: every value falls in a bucket that holds it and is
// at most a quarter of its lower bound wide; percentiles are ordered, never
// above the maximum, and within a bucket of the true value.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "server/stats/LatencyHistogram.h"

namespace {

TEST(LatencyHistogram, BucketsHoldTheirValuesAndStayNarrow) {
    for (uint64_t value : {0ull, 1ull, 3ull, 4ull, 7ull, 8ull, 9ull, 1000ull, 65535ull, 1234567ull,
                           (1ull << 37) + 12345, (1ull << 38) - 1}) {
        const size_t bucket = LatencyBucketOf(value);
        ASSERT_LT(bucket, kLatencyBuckets - 1) << value;
        const uint64_t lower = bucket == 0 ? 0 : LatencyUpperBound(bucket - 1) + 1;
        // Within [lower, upper]: below lower, the difference would wrap round.
        EXPECT_LE(value - lower, LatencyUpperBound(bucket) - lower) << value;
        EXPECT_LE(LatencyUpperBound(bucket) - lower, lower / 4) << value;
    }
    EXPECT_EQ(LatencyBucketOf(1ull << 38), kLatencyBuckets - 1);
    EXPECT_EQ(LatencyBucketOf(UINT64_MAX), kLatencyBuckets - 1);
}

TEST(LatencyHistogram, PercentilesAreOrderedAndCloseToTheTruth) {
    std::vector<uint64_t> uniform, skewed(990, 20000);
    for (uint64_t i = 1; i <= 1000; ++i)
        uniform.push_back(i * 1000);                 // 1 us .. 1 ms
    skewed.insert(skewed.end(), 10, 5000000000ull);  // a few stalls of 5 s
    const struct {
        std::vector<uint64_t> values;
        uint64_t p50, p99;  // the true ones
    } cases[] = {{uniform, 500000, 990000}, {skewed, 20000, 20000}, {{42}, 42, 42}};
    for (const auto& c : cases) {
        LatencyHistogram histogram;
        LatencyCounts counts;
        for (uint64_t value : c.values) {
            histogram.Add(value);
            counts.max = std::max(counts.max, value);
        }
        histogram.AddTo(counts);
        EXPECT_EQ(counts.Total(), c.values.size());
        const uint64_t p50 = counts.Percentile(0.5), p90 = counts.Percentile(0.9),
                       p99 = counts.Percentile(0.99);
        EXPECT_LE(p50, p90);
        EXPECT_LE(p90, p99);
        EXPECT_LE(p99, counts.max);
        // Neither below the truth (the difference would wrap round) nor a
        // quarter above it.
        EXPECT_LE(p50 - c.p50, c.p50 / 4) << p50;
        EXPECT_LE(p99 - c.p99, c.p99 / 4) << p99;
    }
    EXPECT_EQ(LatencyCounts().Percentile(0.5), 0u);
}

}  // namespace
