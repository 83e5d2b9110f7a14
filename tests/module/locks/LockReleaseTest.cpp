// Releasing an export's locks when the export goes away.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "host/ExportCache.h"
#include "module/SinkFSM.h"
#include "module/locks/SinkFSMLocks.h"
#include "tests/module/locks/LockClient.h"
#include "tests/support/LogCapture.h"

namespace {

// Two exports whose paths differ only by a suffix ("/share7", "/share70"),
// each with a write-locked "f" and a read-locked "g".
class LockRelease : public LockTest {
  protected:
    LockRelease() : LockTest(7) {}

    std::string Unlocked(const std::string& key, int fd) {
        return "INFO: File [" + key + "] fd [" + std::to_string(fd) + "] unlocked.";
    }

    ExportedDir other{70};
    const std::string otherShare = other.exp->GetPath();
    const std::string g = exported.dir.WriteFile("g", "data");
    const std::string otherF = other.dir.WriteFile("f", "data");
    const std::string otherG = other.dir.WriteFile("g", "data");
};

}  // namespace

TEST_F(LockRelease, TakesExactlyTheRemovedExportsLocksOnePerOwner) {
    ASSERT_EQ(Write(1).status, LUME_STATUS_LOCK_GRANTED);
    for (unsigned long long owner = 1; owner <= 3; ++owner)
        ASSERT_EQ(Read(owner, "g").status, LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(SendLockRequest(LUME_LOCK_WRITE, otherShare.c_str(), 1, "f").status,
              LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(SendLockRequest(LUME_LOCK_READ, otherShare.c_str(), 4, "g").status,
              LUME_STATUS_LOCK_GRANTED);
    const int fdF = CachedFd(file);
    const int fdG = CachedFd(g);

    LogCapture log(5);
    ReleaseAllLocks(&exported.Sink());

    EXPECT_EQ(LockState(file), "unlocked");
    EXPECT_EQ(LockState(g), "unlocked");
    EXPECT_EQ(CacheReferences(file), 0);
    EXPECT_EQ(CacheReferences(g), 0);
    EXPECT_EQ(log.Count(5, Unlocked(file, fdF)), 1u);
    EXPECT_EQ(log.Count(5, Unlocked(g, fdG)), 3u);
    EXPECT_TRUE(OtherOpener(g).CouldLock(false));

    EXPECT_EQ(LockState(otherF), "write 1");
    EXPECT_EQ(LockState(otherG), "read 4");
    EXPECT_EQ(CacheReferences(otherG), 1);
    EXPECT_FALSE(OtherOpener(otherG).CouldLock(false));

    SinkFSM::GetFSM()->UnExport(other.exp);  // the host's removal of an export
    EXPECT_EQ(LockState(otherF), "unlocked");
    EXPECT_EQ(LockState(otherG), "unlocked");
    EXPECT_EQ(CacheReferences(otherG), 0);
}

TEST_F(LockRelease, AFailedReleaseIsReportedAndTheRecordGoesAnyway) {
    ASSERT_EQ(Write(1).status, LUME_STATUS_LOCK_GRANTED);
    const int fd = CachedFd(file);
    ASSERT_EQ(close(fd), 0);  // behind the service's back: the release must fail

    LogCapture log(-1);
    ReleaseAllLocks(&exported.Sink());
    EXPECT_TRUE(log.Has(-1,
                        "ERROR: file unlock failed. Ignoring error as we are un-exporting the "
                        "share. File [" +
                            file + "] fd [" + std::to_string(fd) + "] Export [" + share +
                            "] Error [" + std::to_string(EBADF) + ":" + strerror(EBADF) + "]"));
    EXPECT_EQ(LockState(file), "unlocked");
    EXPECT_EQ(CacheReferences(file), 0);
}

// Readers of one file through two exports of its directory: each export
// takes only its own readers along, and the last one the shared lock.
TEST_F(LockRelease, ReadersThroughAnotherExportKeepTheirLock) {
    ExportPtr none;
    ExportPtr alias(new SinkFSMExport("/alias", exported.dir.Path(),
                                      SHARE_PERM_READ | SHARE_PERM_WRITE, "*", 7005, none));
    std::string error;
    ASSERT_EQ(static_cast<SinkFSMExport&>(*alias).InitExportFileHandle(error), 0) << error;
    ASSERT_TRUE(gAllExports->AddExport(alias));
    ASSERT_EQ(Read(1).status, LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(SendLockRequest(LUME_LOCK_READ, "/alias", 2, "f").status, LUME_STATUS_LOCK_GRANTED);
    EXPECT_EQ(SendLockRequest(LUME_LOCK_WRITE, "/alias", 3, "f").status,
              LUME_STATUS_LOCKED_BY_OTHER);
    OtherOpener other(file);

    ReleaseAllLocks(&exported.Sink());
    EXPECT_EQ(LockState(file), "read 2");
    EXPECT_EQ(CacheReferences(file), 1);
    EXPECT_FALSE(other.CouldLock(false));

    ReleaseAllLocks(static_cast<SinkFSMExport*>(alias.get()));
    EXPECT_EQ(LockState(file), "unlocked");
    EXPECT_EQ(CacheReferences(file), 0);
    EXPECT_TRUE(other.CouldLock(false));
    gAllExports->RemoveExport(alias);
}
