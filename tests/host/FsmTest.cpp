#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/ExportCache.h"
#include "host/FSM.h"
#include "tests/host/RemovingFsm.h"
#include "tests/host/TestExport.h"

namespace {

nfs_fh3 Handle(uint32_t len, uint32_t shareId) {
    nfs_fh3 fh = {};
    fh.len = len;
    std::memset(fh.data, 0xee, sizeof(fh.data));
    std::memcpy(fh.data + 4, &shareId, 4);
    return fh;
}

}  // namespace

TEST(host_FSM, FindExportReadsTheShareIdFromHandleBytes4To7) {
    const uint32_t id = 0xa1b2c3d4;
    ExportPtr exp(new TestExport("/srv/fsm-find", id));
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
    EXPECT_FALSE(fsm.FindExport(Handle(0, id), found));
    EXPECT_FALSE(fsm.FindExport(Handle(LUME_NFS3_FHSIZE + 1, id), found));
    EXPECT_FALSE(fsm.FindExport(Handle(32, id + 1), found));
    EXPECT_FALSE(found);

    EXPECT_TRUE(gAllExports->RemoveExport(exp));
}

// UnExport takes the table's write lock, so FinalizeExports must call it
// without holding the lock.
TEST(host_FSM, FinalizeExportsUnExportsEveryExport) {
    for (uint32_t id : {0x7ffe0003u, 0x7ffe0001u, 0x7ffe0002u})
        ASSERT_TRUE(
            gAllExports->AddExport(ExportPtr(new TestExport("/srv/fin" + std::to_string(id), id))));
    std::vector<uint32_t> expected;
    for (const ExportPtr& exp : gAllExports->GetAllExports())
        expected.push_back(exp->GetShareId());
    ASSERT_GE(expected.size(), 3u);

    RemovingFsm fsm;
    fsm.FinalizeExports();
    EXPECT_EQ(fsm.removedIds, expected);
    EXPECT_EQ(gAllExports->Size(), 0u);
}
