#include <gtest/gtest.h>

#include "module/exports/RpcThreadCount.h"
#include "platform/OXPlatformInfo.h"
#include "platform/StateDir.h"
#include "platform/SystemInfo.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

// The tuning runs once per process; every test case runs in a process of its
// own, so each sees its first call.
namespace {

class RpcThreadCount : public ::testing::Test {
  protected:
    void SetUp() override { SetPlatformStateDir(state.Path()); }
    void TearDown() override { PlatformSeam::SetLogicalProcessorCount(nullptr); }

    TempDir state;
};

// Twice the processors and at least five, unless a value other than 0 is
// stored already.
struct Tuning {
    int processors, stored, expected;  // stored: -1 for none
};

class RpcThreadCountTuning : public RpcThreadCount, public ::testing::WithParamInterface<Tuning> {};

TEST_P(RpcThreadCountTuning, TwicePerProcessorAndAtLeastFive) {
    const Tuning t = GetParam();
    if (t.stored >= 0)
        OXPlatformInfo().setNumber("Lume", "nMaxNFSRPCThread", t.stored);
    PlatformSeam::SetLogicalProcessorCount([t] { return t.processors; });
    LogCapture log(1);
    UpdateNFSRpcThreadCount();
    EXPECT_EQ(GetNFSRpcThreadCount(), static_cast<uint32_t>(t.expected));
    if (t.stored > 0) {
        EXPECT_TRUE(log.Has(
            1, "[Lume/nMaxNFSRPCThread] is alreay set. Will not set based on processor count."));
        return;
    }
    EXPECT_TRUE(log.Has(1, "Number of processors [" + std::to_string(t.processors) +
                               "] MAX_DEFAULT_RPC_THREAD [5]"));
    EXPECT_TRUE(
        log.Has(1, "Setting [Lume/nMaxNFSRPCThread] to [" + std::to_string(t.expected) + "]"));
}

INSTANTIATE_TEST_SUITE_P(Processors, RpcThreadCountTuning,
                         ::testing::Values(Tuning{2, -1, 5}, Tuning{3, -1, 6}, Tuning{4, 0, 8},
                                           Tuning{4, 3, 3}));

TEST_F(RpcThreadCount, OnlyTheFirstCallOfAProcessTunes) {
    PlatformSeam::SetLogicalProcessorCount([] { return 4; });
    UpdateNFSRpcThreadCount();
    OXPlatformInfo().removeValue("Lume", "nMaxNFSRPCThread");
    LogCapture log(1);
    UpdateNFSRpcThreadCount();
    EXPECT_EQ(GetNFSRpcThreadCount(), 0u);
    EXPECT_TRUE(log.Records().empty());
}

}  // namespace
