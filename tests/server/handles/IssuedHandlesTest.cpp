// The handles given out: known to every thread once the store keeps them,
// which in a batch is when it commits; a handle never given is unknown, nor
// one whose object is gone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/StateDir.h"
#include "platform/StateStore.h"
#include "platform/UniqueFileId.h"
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

// A handle dropped with its object is unknown at once; handles of objects
// removed beside the server go with a sweep that steps round the table, and
// the handles of objects still there stay.
TEST(IssuedHandles, HandlesOfObjectsGoneAreForgotten) {
    TempDir state, files;
    SetPlatformStateDir(state.Path());
    constexpr int kFiles = 12;
    std::vector<unsigned long> ids;
    for (int i = 0; i < kFiles; ++i) {
        unsigned long id = 0;
        ASSERT_EQ(GetUniqueFileId(files.WriteFile("f" + std::to_string(i), ""), id), 0);
        ids.push_back(id);
        IssuedHandles::Process().Record(Handle("handle " + std::to_string(i)), id);
    }
    IssuedHandles::Process().Drop(Handle("handle 0"), ids[0]);
    IssuedHandles::Process().Drop(Handle("handle 1"), ids[0]);  // not its id: kept
    EXPECT_EQ(Elsewhere(Handle("handle 0")), 0u);
    EXPECT_EQ(Elsewhere(Handle("handle 1")), ids[1]);

    const int root = ::open(files.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 1; i < kFiles; i += 2)
        ASSERT_EQ(::unlink((files / ("f" + std::to_string(i))).c_str()), 0);
    ASSERT_EQ(SweepUniqueFileIds(root, 64), size_t(kFiles / 2));  // all ids in one step
    ::close(root);
    size_t forgotten = 0;
    for (int step = 0; step < 8; ++step)
        forgotten += IssuedHandles::Process().Sweep(5);
    EXPECT_EQ(forgotten, size_t(kFiles / 2));
    for (int i = 1; i < kFiles; ++i)
        EXPECT_EQ(Elsewhere(Handle("handle " + std::to_string(i))), i % 2 ? 0 : ids[i]) << i;
}

}  // namespace
