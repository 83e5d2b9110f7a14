// The handles given out: known to every thread once the store keeps them,
// which in a batch is when it commits; a handle never given is unknown.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/StateDir.h"
#include "platform/StateStore.h"
#include "server/handles/IssuedHandles.h"
#include "tests/support/TempDir.h"

namespace {

nfs_fh3 Handle(const std::string& bytes) {
    nfs_fh3 fh{};
    fh.len = static_cast<uint32_t>(bytes.size());
    std::memcpy(fh.data, bytes.data(), bytes.size());
    return fh;
}

// The id another thread finds fh given out for; 0 when none.
unsigned long Elsewhere(const nfs_fh3& fh) {
    unsigned long id = 0;
    std::thread([&] {
        if (!IssuedHandles::Process().Lookup(fh, id))
            id = 0;
    }).join();
    return id;
}

TEST(IssuedHandles, AHandleRecordedInABatchIsKnownOnceTheBatchCommits) {
    TempDir state;
    SetPlatformStateDir(state.Path());
    const nfs_fh3 direct = Handle("given at once"), batched = Handle("given in a batch");
    IssuedHandles::Process().Record(direct, 5);
    EXPECT_EQ(Elsewhere(direct), 5u);
    EXPECT_EQ(Elsewhere(Handle("never given")), 0u);
    StateStore::Batch batch;
    for (int again = 0; again < 2; ++again) {  // found in the batch, still not kept
        IssuedHandles::Process().Record(batched, 7);
        EXPECT_EQ(Elsewhere(batched), 0u);
    }
    ASSERT_TRUE(batch.Commit());
    EXPECT_EQ(Elsewhere(batched), 7u);
}

}  // namespace
