// The lock state of one file as owners come and go: every reply and what
// the tables hold after it.
#include <string>

#include <gtest/gtest.h>

#include "module/SinkFSM.h"
#include "tests/module/locks/LockClient.h"
#include "tests/support/LogCapture.h"

namespace {

class LockStates : public LockTest {
  protected:
    // The owner a reply must name for a read-locked file: the first met in
    // its owners table.
    unsigned long long FirstReader() {
        return SinkFSM::GetFSM()->GetFileReadLockMap().at(KeyOf(file))->owners.begin()->first;
    }
};

}  // namespace

TEST_F(LockStates, OneOwnerTakesReRequestsAndGivesBackWriteAndReadLocks) {
    OtherOpener other(file);
    LockReply granted = Write(1);
    EXPECT_TRUE(granted.handled);
    EXPECT_EQ(Summary(granted), "20 owner 1 -");
    EXPECT_EQ(LockState(file), "write 1");
    EXPECT_FALSE(other.CouldLock(true));

    EXPECT_EQ(Summary(Write(1)), "20 owner 1 \"File is write locked\"");
    EXPECT_EQ(CacheReferences(file), 1);  // nothing opened again
    EXPECT_EQ(Summary(Status()), "26 owner 1 -");

    EXPECT_EQ(Summary(Unlock(1)), "22 owner 1 -");
    EXPECT_EQ(LockState(file), "unlocked");
    EXPECT_EQ(CacheReferences(file), 0);
    EXPECT_TRUE(other.CouldLock(false));
    EXPECT_EQ(Summary(Unlock(1)), "27 owner 0 \"File not locked\"");
    EXPECT_EQ(Summary(Status()), "27 owner 0 -");

    EXPECT_EQ(Summary(Read(1)), "20 owner 1 -");
    LogCapture log(1);
    EXPECT_EQ(Summary(Read(1)), "20 owner 1 -");
    EXPECT_TRUE(log.Has(1, "INFO: File [f] is read locked by same lock owner [1]."));
    EXPECT_EQ(CacheReferences(file), 1);
    EXPECT_EQ(Summary(Status()), "26 owner 1 -");
    EXPECT_EQ(Summary(Unlock(1)), "22 owner 1 -");
    EXPECT_EQ(LockState(file), "unlocked");
}

// Owner 0 is an owner like any other.
TEST_F(LockStates, OtherOwnersAreRefusedByAWriterAndJoinReaders) {
    ASSERT_EQ(Write(0).status, LUME_STATUS_LOCK_GRANTED);
    EXPECT_EQ(Summary(Write(2)), "21 owner 0 \"File is write locked\"");
    EXPECT_EQ(Summary(Read(2)), "21 owner 0 \"File is write locked\"");
    EXPECT_EQ(Summary(Unlock(2)), "23 owner 0 \"Caller did not write lock the file\"");
    EXPECT_EQ(LockState(file), "write 0");

    ASSERT_EQ(Unlock(0).status, LUME_STATUS_UNLOCKED);
    ASSERT_EQ(Read(1).status, LUME_STATUS_LOCK_GRANTED);
    EXPECT_EQ(Summary(Write(2)), "21 owner 1 \"File is read locked\"");
    EXPECT_EQ(Summary(Read(2)), "20 owner 2 -");
    EXPECT_EQ(LockState(file), "read 1 2");
    EXPECT_EQ(CacheReferences(file), 2);
    EXPECT_EQ(Summary(Unlock(3)), "23 owner 0 \"Caller did not read lock the file\"");

    // Readers refuse every writer, even one of them.
    const std::string refused =
        "21 owner " + std::to_string(FirstReader()) + " \"File is read locked\"";
    LogCapture log(-1);
    EXPECT_EQ(Summary(Write(1)), refused);
    EXPECT_EQ(Summary(Write(3)), refused);
    EXPECT_EQ(log.Count(-1, "ERROR: File [f] is read locked by other lockOwners."), 2u);
    EXPECT_EQ(LockState(file), "read 1 2");
    EXPECT_EQ(CacheReferences(file), 2);

    ASSERT_EQ(Read(3).status, LUME_STATUS_LOCK_GRANTED);
    EXPECT_EQ(Summary(Status()), "26 owner " + std::to_string(FirstReader()) + " -");
    EXPECT_EQ(LockState(file), "read 1 2 3");
}
