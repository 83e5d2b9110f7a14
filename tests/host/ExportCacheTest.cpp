#include "host/ExportCache.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/FSM.h"
#include "tests/host/RemovingFsm.h"
#include "tests/host/TestExport.h"
#include "tests/support/Threads.h"

namespace {

ExportPtr Make(const std::string& path, uint32_t shareId) {
    return ExportPtr(new TestExport(path, shareId));
}

nfs_fh3 Handle(uint32_t len, uint32_t shareId) {
    nfs_fh3 fh = {};
    fh.len = len;
    std::memset(fh.data, 0xee, sizeof(fh.data));
    std::memcpy(fh.data + 4, &shareId, 4);
    return fh;
}

}  // namespace

// Only the stored object itself is removed, and that frees both its keys.
TEST(host_ExportCache, FindsByIdAndByPathAndRemovesOnlyTheSameObject) {
    ExportCache cache;
    ExportPtr b = Make("/srv/b", 20), a = Make("/srv/a", 10);
    ASSERT_TRUE(cache.AddExport(b));
    ASSERT_TRUE(cache.AddExport(a));
    EXPECT_FALSE(cache.AddExport(ExportPtr()));
    EXPECT_FALSE(cache.AddExport(Make("/srv/other", 10)));
    EXPECT_FALSE(cache.AddExport(Make("/srv/a", 11)));

    ExportPtr found;
    EXPECT_TRUE(cache.FindExport(10u, found));
    EXPECT_EQ(found, a);
    EXPECT_TRUE(cache.FindExport(std::string("/srv/b"), found));
    EXPECT_EQ(found, b);
    EXPECT_EQ(cache.GetAllExports(), (std::vector<ExportPtr>{a, b}));

    EXPECT_FALSE(cache.RemoveExport(Make("/srv/a", 10)));
    EXPECT_FALSE(cache.RemoveExport(ExportPtr()));
    EXPECT_TRUE(cache.RemoveExport(a));
    EXPECT_FALSE(cache.RemoveExport(a));
    EXPECT_FALSE(cache.FindExport(10u, found));
    EXPECT_FALSE(cache.FindExport(std::string("/srv/a"), found));
    EXPECT_TRUE(cache.AddExport(Make("/srv/a", 10)));
}

// The table holds the last references; the caller names the export through a
// non-owning pointer, so RemoveExport destroys it. The destructor looks the
// export up, which takes the table lock: it must not be held any more.
TEST(host_ExportCache, LastReferenceIsDroppedAfterTheLockIsReleased) {
    const uint32_t id = 0x7fff0001;
    ASSERT_TRUE(gAllExports->AddExport(Make("/srv/dtor", id)));
    ExportPtr found;
    ASSERT_TRUE(gAllExports->FindExport(id, found));
    const ExportPtr alias(ExportPtr(), found.get());
    found.reset();

    int lookups = 0;
    bool stillThere = true;
    TestExport::onDestroy = [&](const TestExport& dying) {
        ExportPtr again;
        stillThere = gAllExports->FindExport(dying.GetShareId(), again);
        ++lookups;
    };
    EXPECT_TRUE(gAllExports->RemoveExport(alias));
    TestExport::onDestroy = nullptr;
    EXPECT_EQ(lookups, 1);  // destroyed once
    EXPECT_FALSE(stillThere);
}

// Each worker adds, finds and removes its own exports while a reader walks
// the table; every operation must see a consistent table.
TEST(host_ExportCache, ConcurrentAddFindRemove) {
    constexpr int kWorkers = 4, kRounds = 300;
    ExportCache cache;
    std::vector<int> failures(kWorkers + 1, 0);
    RunThreads(kWorkers + 1, [&](int w) {
        for (int i = 0; i < kRounds && w == kWorkers; ++i)  // the reader
            for (const ExportPtr& exp : cache.GetAllExports())
                failures[w] += exp ? 0 : 1;
        for (int i = 0; i < kRounds && w < kWorkers; ++i) {
            uint32_t id = 1 + w * kRounds + i;
            ExportPtr exp = Make("/srv/" + std::to_string(id), id), byId, byPath;
            bool ok = cache.AddExport(exp) && cache.FindExport(id, byId) &&
                      cache.FindExport(exp->GetPath(), byPath) && byId == exp && byPath == exp &&
                      !cache.AddExport(Make(exp->GetPath(), id + 100000)) &&
                      cache.RemoveExport(exp) && !cache.FindExport(id, byId);
            failures[w] += ok ? 0 : 1;
        }
    });
    EXPECT_EQ(failures, std::vector<int>(kWorkers + 1, 0));
    EXPECT_EQ(cache.Size(), 0u);
}

TEST(host_FSM, FindExportReadsTheShareIdFromHandleBytes4To7AndFinalizeUnExportsAll) {
    const uint32_t id = 0xa1b2c3d4;
    ExportPtr exp = Make("/srv/fsm-find", id);
    ASSERT_TRUE(gAllExports->AddExport(exp));
    RemovingFsm fsm;
    ExportPtr found;

    nfs_fh3 fh = Handle(8, 0);
    const uint8_t littleEndian[4] = {0xd4, 0xc3, 0xb2, 0xa1};
    std::memcpy(fh.data + 4, littleEndian, 4);
    EXPECT_TRUE(fsm.FindExport(fh, found));
    EXPECT_EQ(found, exp);

    EXPECT_TRUE(fsm.FindExport(Handle(LUME_NFS3_FHSIZE, id), found));
    found.reset();
    EXPECT_FALSE(fsm.FindExport(Handle(7, id), found));
    EXPECT_FALSE(fsm.FindExport(Handle(LUME_NFS3_FHSIZE + 1, id), found));
    EXPECT_FALSE(fsm.FindExport(Handle(32, id + 1), found));
    EXPECT_FALSE(found);

    // UnExport takes the table's write lock, so FinalizeExports must call it
    // without holding the lock.
    for (uint32_t more : {0x7ffe0003u, 0x7ffe0001u, 0x7ffe0002u})
        ASSERT_TRUE(gAllExports->AddExport(Make("/srv/fin" + std::to_string(more), more)));
    fsm.FinalizeExports();
    EXPECT_EQ(fsm.removedIds, (std::vector<uint32_t>{0x7ffe0001, 0x7ffe0002, 0x7ffe0003, id}));
    EXPECT_EQ(gAllExports->Size(), 0u);
}
