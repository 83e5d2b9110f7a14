// The call counters: calls of real threads counted at once all arrive,
// by procedure, status and export; each connection counts while it lives.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "server/stats/CallStats.h"
#include "server/stats/LatencyHistogram.h"

namespace {

constexpr uint32_t kNfs = 100003, kConfig = 0x24600000;
constexpr uint32_t kGetattr = 1, kLookup = 3, kNoent = 2, kGarbageArgs = 4;

const StatsRow* Find(const std::vector<StatsRow>& rows, const std::string& name) {
    for (const StatsRow& row : rows)
        if (row.name == name)
            return &row;
    return nullptr;
}

TEST(CallStats, CountsOfManyThreadsAllArriveByProcedureStatusAndExport) {
    CallStats stats;
    const std::pair<uint32_t, std::string> exports[] = {{7, "/srv/a"}, {8, "/srv/b"}};
    constexpr int kThreads = 12, kCalls = 2000;  // more threads than shards
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                CallStats::BeginCall();
                stats.NoteExport(exports[t % 2].first, [&] { return exports[t % 2].second; });
                const bool missing = i % 4 == 0;
                CallStats::NoteStatus(missing ? kNoent : 0);
                stats.Record({kNfs, missing ? kLookup : kGetattr, missing ? "LOOKUP" : "GETATTR", 0,
                              1000u + i, 100, 200});
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    CallStats::BeginCall();
    stats.Record({kConfig, 0x2460017, nullptr, kGarbageArgs, 5, 10, 20});

    const StatsSnapshot snapshot = stats.Snapshot();
    const StatsRow* getattr = Find(snapshot.procedures, "GETATTR");
    const StatsRow* lookup = Find(snapshot.procedures, "LOOKUP");
    const StatsRow* config = Find(snapshot.procedures, "0x2460017");
    ASSERT_TRUE(getattr && lookup && config);
    EXPECT_EQ(getattr->program, "nfs");
    EXPECT_EQ(getattr->calls, kThreads * kCalls * 3 / 4);
    EXPECT_EQ(getattr->Errors(), 0u);
    EXPECT_EQ(getattr->bytesIn, getattr->calls * 100);
    EXPECT_EQ(getattr->bytesOut, getattr->calls * 200);
    EXPECT_EQ(lookup->calls, kThreads * kCalls / 4);
    typedef std::vector<std::pair<std::string, uint64_t>> Errors;
    EXPECT_EQ(lookup->errors, (Errors{{"NOENT", lookup->calls}}));
    EXPECT_EQ(config->program, "config");
    EXPECT_EQ(config->errors, (Errors{{"GARBAGE_ARGS", 1}}));
    EXPECT_EQ(getattr->max, 1000u + kCalls - 1);
    ASSERT_EQ(snapshot.exports.size(), 2u);
    for (const char* name : {"/srv/a", "/srv/b"}) {
        const StatsRow* row = Find(snapshot.exports, name);
        ASSERT_TRUE(row) << name;
        EXPECT_EQ(row->calls, kThreads / 2 * kCalls);
        EXPECT_EQ(row->Errors(), kThreads / 2 * kCalls / 4);
    }
}

TEST(CallStats, ConnectionsCountWhileTheyLive) {
    CallStats stats;
    auto first = std::make_unique<CallStats::Connection>(stats, "10.0.0.1:700");
    CallStats::Connection second(stats, "10.0.0.1:700");
    for (CallStats::Connection* counted : {first.get(), first.get(), &second})
        counted->Count();
    StatsSnapshot snapshot = stats.Snapshot();
    ASSERT_EQ(snapshot.connections.size(), 2u);
    EXPECT_NE(snapshot.connections[0].id, snapshot.connections[1].id);
    EXPECT_EQ(snapshot.connections[0].calls + snapshot.connections[1].calls, 3u);
    first.reset();
    snapshot = stats.Snapshot();
    ASSERT_EQ(snapshot.connections.size(), 1u);
    EXPECT_EQ(snapshot.connections[0].calls, 1u);
}

// The latency histogram: every value falls in a bucket that holds it and is
// at most a quarter of its lower bound wide; percentiles are ordered, never
// above the maximum, and within a bucket of the true value.
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
