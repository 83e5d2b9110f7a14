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

    unsigned long Stored() {
        unsigned long value = 0;
        EXPECT_TRUE(OXPlatformInfo().getNumber("Lume", "nMaxNFSRPCThread", &value));
        return value;
    }

    TempDir state;
};

class RpcThreadCountByProcessors : public RpcThreadCount,
                                   public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(RpcThreadCountByProcessors, TwicePerProcessorAndAtLeastFive) {
    int processors = GetParam().first;
    PlatformSeam::SetLogicalProcessorCount([processors] { return processors; });
    LogCapture log(1);
    UpdateNFSRpcThreadCount();
    EXPECT_EQ(Stored(), static_cast<unsigned long>(GetParam().second));
    EXPECT_TRUE(log.Has(
        1, "Number of processors [" + std::to_string(processors) + "] MAX_DEFAULT_RPC_THREAD [5]"));
    EXPECT_TRUE(log.Has(
        1, "Setting [Lume/nMaxNFSRPCThread] to [" + std::to_string(GetParam().second) + "]"));
}

INSTANTIATE_TEST_SUITE_P(Processors, RpcThreadCountByProcessors,
                         ::testing::Values(std::make_pair(1, 5), std::make_pair(2, 5),
                                           std::make_pair(3, 6), std::make_pair(8, 16)));

TEST_F(RpcThreadCount, AValueAlreadySetIsKept) {
    OXPlatformInfo().setNumber("Lume", "nMaxNFSRPCThread", 3);
    LogCapture log(1);
    UpdateNFSRpcThreadCount();
    EXPECT_EQ(Stored(), 3u);
    EXPECT_TRUE(log.Has(
        1, "[Lume/nMaxNFSRPCThread] is alreay set. Will not set based on processor count."));
}

TEST_F(RpcThreadCount, AStoredZeroCountsAsUnset) {
    OXPlatformInfo().setNumber("Lume", "nMaxNFSRPCThread", 0);
    PlatformSeam::SetLogicalProcessorCount([] { return 4; });
    UpdateNFSRpcThreadCount();
    EXPECT_EQ(Stored(), 8u);
    EXPECT_EQ(GetNFSRpcThreadCount(), 8u);
}

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
