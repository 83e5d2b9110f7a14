// Locks belong to the file, not to the name a request used: every name of
// one file meets one lock, and a lock outlives its name (removed, renamed)
// until its owner gives it back.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/module/locks/LockClient.h"
#include "tests/support/OpenDescriptors.h"

namespace {

class LockIdentity : public LockTest {
  protected:
    // "d/h": a hard link to "f".
    void Link() {
        ASSERT_EQ(mkdir((exported.dir / "d").c_str(), 0755), 0);
        ASSERT_EQ(link(file.c_str(), (exported.dir / "d/h").c_str()), 0);
    }
};

TEST_F(LockIdentity, EveryNameOfOneFileMeetsOneLock) {
    Link();
    const std::string inDir = exported.dir.WriteFile("d/f", "data");
    const struct {
        const char* held;
        const char* other;
    } names[] = {{"f", "d/h"},     {"d/h", "f"},     {"d//f", "d/f"},     {"d//f", "./d/f"},
                 {"d//f", "d/f/"}, {"d//f", "/d/f"}, {"d//f", "d/../d/f"}};
    for (const auto& name : names) {
        SCOPED_TRACE(name.other);
        LockReply granted = Write(1, name.held);
        ASSERT_EQ(Summary(granted), "20 owner 1 -");
        EXPECT_EQ(granted.filePath, name.held);  // the caller's text, not the key
        EXPECT_EQ(Summary(Write(2, name.other)), "21 owner 1 \"File is write locked\"");
        EXPECT_EQ(Summary(Read(2, name.other)), "21 owner 1 \"File is write locked\"");
        EXPECT_EQ(Summary(Status(name.other)), "26 owner 1 -");
        EXPECT_EQ(Summary(Unlock(1, name.other)), "22 owner 1 -");
    }
    EXPECT_EQ(LockState(inDir), "unlocked");

    // A symbolically linked directory is never followed: no name that way.
    ASSERT_EQ(symlink("d", (exported.dir / "s").c_str()), 0);
    ASSERT_EQ(Write(1).status, LUME_STATUS_LOCK_GRANTED);
    EXPECT_EQ(Summary(Write(2, "s/h")), "25 owner 0 \"Given file path not found\"");
    EXPECT_EQ(LockState(file), "write 1");
}

// Two owners ask at once, each through its own name: one of them wins.
TEST_F(LockIdentity, OwnersRacingThroughTwoNamesNeverBothHoldTheFile) {
    Link();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int round = 0; round < 50 && std::chrono::steady_clock::now() < deadline; ++round) {
        LockReply first, second;
        std::thread one([&] { first = Write(1, "f"); });
        std::thread two([&] { second = Write(2, "d/h"); });
        one.join();
        two.join();
        ASSERT_EQ((first.status == LUME_STATUS_LOCK_GRANTED) +
                      (second.status == LUME_STATUS_LOCK_GRANTED),
                  1)
            << Summary(first) << " / " << Summary(second);
        Unlock(1, "f");
        Unlock(2, "d/h");
        ASSERT_EQ(LockState(file), "unlocked");
    }
}

// The name is gone, so the grants its owners took under it are what they
// give back; the descriptor goes with the last.
TEST_F(LockIdentity, OwnersUnlockAFileRemovedUnderTheirLock) {
    const struct {
        int32_t operation;
        std::vector<unsigned long long> owners;
    } cases[] = {{LUME_LOCK_WRITE, {1}}, {LUME_LOCK_READ, {1, 2}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operation);
        exported.dir.WriteFile("f", "data");
        Status();  // whatever the first request opens for good
        const size_t before = OpenDescriptorCount();
        for (unsigned long long owner : c.owners)
            ASSERT_EQ(SendLockRequest(c.operation, share.c_str(), owner, "f").status,
                      LUME_STATUS_LOCK_GRANTED);
        EXPECT_EQ(OpenDescriptorCount(), before + 1);
        ASSERT_EQ(unlink(file.c_str()), 0);

        EXPECT_EQ(Summary(Unlock(3)), "27 owner 0 \"File not locked\"");
        EXPECT_EQ(Status().status, LUME_STATUS_FILE_LOCKED);
        for (unsigned long long owner : c.owners)
            EXPECT_EQ(Summary(Unlock(owner)), "22 owner " + std::to_string(owner) + " -");
        EXPECT_EQ(OpenDescriptorCount(), before);
        EXPECT_EQ(Summary(Unlock(1)), "27 owner 0 \"File not locked\"");
        EXPECT_EQ(Summary(Status()), "27 owner 0 -");
    }
}

// A renamed file keeps its lock under its new name. Its old name, while it
// names nothing, still gives the lock back to its owner; once it names
// another file, it is that file's name.
TEST_F(LockIdentity, ARenamedFileKeepsItsLock) {
    const std::string moved = exported.dir / "g";
    ASSERT_EQ(Write(1).status, LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(rename(file.c_str(), moved.c_str()), 0);
    EXPECT_EQ(Summary(Write(2, "g")), "21 owner 1 \"File is write locked\"");
    EXPECT_EQ(Summary(Status("f")), "26 owner 1 -");
    EXPECT_EQ(Summary(Unlock(1, "f")), "22 owner 1 -");
    EXPECT_EQ(LockState(moved), "unlocked");

    const std::string other = exported.dir.WriteFile("o", "other");
    ASSERT_EQ(Write(1, "g").status, LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(Write(2, "o").status, LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(rename(other.c_str(), file.c_str()), 0);  // "f" names the other file now
    EXPECT_EQ(Summary(Unlock(1, "f")), "23 owner 2 \"Caller did not write lock the file\"");
    EXPECT_EQ(Summary(Unlock(1, "g")), "22 owner 1 -");
    EXPECT_EQ(LockState(file), "write 2");
}

}  // namespace
