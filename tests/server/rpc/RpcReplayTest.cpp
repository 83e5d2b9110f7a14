// Non-idempotent calls the transport answers again rather than running
// twice (ReplayCache.h), through the server and the cache alone.
#include <atomic>

#include <gtest/gtest.h>

#include "server/rpc/ReplayCache.h"
#include "tests/server/rpc/RpcTestSupport.h"

namespace {

using namespace rpctest;

// Counts its runs and answers the count, kHeld once the test lets it go,
// the others at once. All are non-idempotent.
class CountingProgram : public EchoProgram {
  public:
    accept_stat Call(const RpcCall& call, XDR* args, XDR* results) override {
        if (call.procedure == kHeld && EchoProgram::Call(call, args, results) != SUCCESS)
            return SYSTEM_ERR;
        u_int run = ++m_runs;
        return xdr_u_int(results, &run) ? SUCCESS : SYSTEM_ERR;
    }
    bool Quick(uint32_t, uint32_t) const override { return false; }
    bool NonIdempotent(uint32_t, uint32_t) const override { return true; }
    u_int Runs() const { return m_runs; }

  private:
    std::atomic<u_int> m_runs{0};
};

class ReplayedCalls : public RpcServerTest {
  protected:
    ~ReplayedCalls() override { m_server.reset(); }  // before the program it serves
    CountingProgram m_counting;
};

// A retransmission, on another connection, that arrives while the first
// still runs is dropped, and the one after it gets the first reply; the
// same xid with other arguments is another call.
TEST_F(ReplayedCalls, ARetransmissionIsNeverRunTwice) {
    StartServer([](RpcServer::Options& options) { options.workers = 2; }, &m_counting);
    RawSocket first(Port()), second(Port());
    ASSERT_TRUE(SendCall(first, 9, kHeld));
    ASSERT_TRUE(m_counting.AwaitHeldCall());
    ASSERT_TRUE(SendCall(second, 9, kHeld));
    m_counting.ReleaseHeldCall();
    // xid, REPLY, MSG_ACCEPTED, a null verifier, SUCCESS, the run's count
    const std::vector<uint32_t> answer = {9, REPLY, MSG_ACCEPTED, AUTH_NONE, 0, SUCCESS, 1};
    ASSERT_EQ(ReplyWords(first), answer);
    ASSERT_TRUE(SendCall(second, 9, kHeld));
    std::vector<uint32_t> again = ReplyWords(second);
    EXPECT_EQ(again, answer);
    EXPECT_EQ(m_counting.Runs(), 1u);
    ASSERT_TRUE(SendCall(second, 9, kBulk, 3));
    // Past the first reply again, had the held retransmission come too late
    // to be dropped.
    for (int read = 0; read < 2 && again == answer; ++read)
        again = ReplyWords(second);
    EXPECT_EQ(again, (std::vector<uint32_t>{9, REPLY, MSG_ACCEPTED, AUTH_NONE, 0, SUCCESS, 2}));
}

TEST(ReplayCache, KeepsRepliesWithinItsBounds) {
    ReplayCache cache(4, 1600);
    RpcCall call;
    const uint8_t record[] = {1, 2, 3, 4};
    auto key = [&](uint32_t xid) {
        call.xid = xid;
        return ReplayCache::KeyOf(call, record, sizeof record, 0);
    };
    std::vector<uint8_t> reply, small(90, 's'), large(101, 'l');
    EXPECT_EQ(cache.Begin(key(1), reply), ReplayCache::Seen::kNew);
    EXPECT_EQ(cache.Begin(key(1), reply), ReplayCache::Seen::kRunning);
    cache.Abandon(key(1));
    EXPECT_EQ(cache.Begin(key(1), reply), ReplayCache::Seen::kNew);
    cache.Complete(key(1), small.data(), small.size());
    EXPECT_EQ(cache.Begin(key(1), reply), ReplayCache::Seen::kDone);
    EXPECT_EQ(reply, small);
    // Over a sixteenth of the bytes: not kept.
    ASSERT_EQ(cache.Begin(key(2), reply), ReplayCache::Seen::kNew);
    cache.Complete(key(2), large.data(), large.size());
    EXPECT_EQ(cache.Begin(key(2), reply), ReplayCache::Seen::kNew);
    cache.Abandon(key(2));
    // Entries: the least recently used goes first (1 was used last but one).
    for (uint32_t xid = 10; xid < 14; ++xid) {
        ASSERT_EQ(cache.Begin(key(xid), reply), ReplayCache::Seen::kNew);
        cache.Complete(key(xid), small.data(), small.size());
        if (xid == 11)
            cache.Begin(key(1), reply);
    }
    EXPECT_EQ(cache.Entries(), 4u);
    EXPECT_EQ(cache.Begin(key(1), reply), ReplayCache::Seen::kDone);
    EXPECT_EQ(cache.Begin(key(10), reply), ReplayCache::Seen::kNew);
    // Bytes.
    ReplayCache narrow(100, 320);
    for (uint32_t xid = 20; xid < 40; ++xid) {
        ASSERT_EQ(narrow.Begin(key(xid), reply), ReplayCache::Seen::kNew);
        narrow.Complete(key(xid), small.data(), 20);
    }
    EXPECT_EQ(narrow.Bytes(), 320u);
    EXPECT_EQ(narrow.Entries(), 16u);
}

}  // namespace
