// The listings' bounds: pages of exports that together list every export
// once, a page cut by its text size, and a lock listing sorted, counted and
// cut at its bound.
#include <gtest/gtest.h>

#include <boost/make_shared.hpp>

#include "server/config/ConfigListing.h"
#include "tests/host/RemovingFsm.h"
#include "tests/host/TestExport.h"

namespace {

// A module holding the given locks.
class LockingFsm : public RemovingFsm {
  public:
    bool ListLocks(std::vector<HeldLock>& locks) override {
        locks = held;
        return true;
    }
    std::vector<HeldLock> held;
};

// The table holds these exports only.
void AddExports(uint32_t count, size_t pathLength) {
    for (const ExportPtr& exp : gAllExports->GetAllExports())
        gAllExports->RemoveExport(exp);
    for (uint32_t id = 1; id <= count; ++id) {
        std::string path = "/srv/" + std::to_string(id);
        path.resize(pathLength, 'x');
        ASSERT_TRUE(gAllExports->AddExport(boost::make_shared<TestExport>(path, id)));
    }
}

TEST(ConfigListing, PagesListEveryExportOnceWithinTheirBounds) {
    const struct {
        uint32_t exports;
        size_t pathLength;
        size_t firstPage;
    } cases[] = {{LUMECFG_LIST_MAX + 6, 16, LUMECFG_LIST_MAX}, {300, 4000, 258}};
    for (const auto& c : cases) {
        AddExports(c.exports, c.pathLength);
        RemovingFsm fsm;
        std::vector<uint32_t> seen;
        uint32_t from = 0;
        for (int page = 0; page < 10; ++page) {
            ExportPage listed = ListExports(&fsm, from, 0);
            EXPECT_EQ(listed.rows.size(), page == 0 ? c.firstPage : c.exports - c.firstPage);
            for (const ExportRow& row : listed.rows)
                seen.push_back(row.shareId);
            if (!listed.more)
                break;
            from = listed.nextShareId;
        }
        ASSERT_EQ(seen.size(), c.exports);
        for (uint32_t i = 0; i < c.exports; ++i)
            EXPECT_EQ(seen[i], i + 1);
    }
}

TEST(ConfigListing, LocksAreCountedPerExportSortedAndCut) {
    AddExports(2, 8);
    const std::string share = gAllExports->GetAllExports()[0]->GetPath();
    LockingFsm fsm;
    for (unsigned long long owner = LUMECFG_LIST_MAX + 2; owner > 0; --owner)
        fsm.held.push_back({share, owner, owner % 2 == 0, share + "/f"});
    fsm.held.push_back({"/elsewhere", 1, false, "/elsewhere/g"});

    ExportPage exports = ListExports(&fsm, 0, 0);
    ASSERT_EQ(exports.rows.size(), 2u);
    EXPECT_EQ(exports.rows[0].locks, LUMECFG_LIST_MAX + 2u);
    EXPECT_EQ(exports.rows[1].locks, 0u);

    LockPage page;
    ASSERT_TRUE(ListExportLocks(&fsm, share, page));
    EXPECT_EQ(page.total, LUMECFG_LIST_MAX + 2u);
    ASSERT_EQ(page.locks.size(), static_cast<size_t>(LUMECFG_LIST_MAX));
    EXPECT_EQ(page.locks.front().owner, 1u);
    EXPECT_EQ(page.locks.back().owner, static_cast<unsigned long long>(LUMECFG_LIST_MAX));
    EXPECT_FALSE(ListExportLocks(&fsm, "/not/exported", page));
}

}  // namespace
