// The lock request as the host sends it: refusals before any operation,
// how a request's paths name an export and a file, the export user; the
// lock state of one file as owners come and go; and locks belonging to the
// file, not to the name a request used: every name of one file meets one
// lock, and a lock outlives its name (removed, renamed) until its owner
// gives it back.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/ConfigRPCTypes.h"
#include "module/exports/ExportFilePath.h"
#include "tests/host/TestExport.h"
#include "tests/module/locks/LockClient.h"
#include "tests/support/LogCapture.h"
#include "tests/support/OpenDescriptors.h"
#include "tests/support/TempDir.h"

namespace {

using LockRequests = LockTest;
using LockStates = LockTest;

class LockIdentity : public LockTest {
  protected:
    // "d/h": a hard link to "f".
    void Link() {
        ASSERT_EQ(mkdir((exported.dir / "d").c_str(), 0755), 0);
        ASSERT_EQ(link(file.c_str(), (exported.dir / "d/h").c_str()), 0);
    }
};
void ExpectRefusedAsInvalid(const LockReply& reply) {
    EXPECT_FALSE(reply.handled);
    EXPECT_EQ(reply.type, static_cast<int>(RPC_FILE_LOCK_RESP));
    EXPECT_EQ(reply.length, 40u);
    EXPECT_EQ(Summary(reply), "3 owner 0 \"invalid argument\"");
    EXPECT_FALSE(reply.exportPath);
    EXPECT_FALSE(reply.filePath);
}

}  // namespace

TEST_F(LockRequests, MissingPathsUnknownCodesAndTheRootAreRefused) {
    LogCapture log(-1);
    ExpectRefusedAsInvalid(SendLockRequest(LUME_LOCK_WRITE, share.c_str(), 1, nullptr));
    ExpectRefusedAsInvalid(SendLockRequest(LUME_LOCK_WRITE, nullptr, 1, "f"));
    EXPECT_EQ(log.Count(-1, "ERROR: invalid argument"), 2u);

    log.Clear();
    ExpectRefusedAsInvalid(SendLockRequest(4, share.c_str(), 1, "f"));
    ExpectRefusedAsInvalid(SendLockRequest(-1, share.c_str(), 1, "f"));
    EXPECT_EQ(log.Records().size(), 0u);
    EXPECT_EQ(LockState(file), "unlocked");

    // An empty file path names the root, which cannot be locked.
    LockReply reply = Write(1, "");
    EXPECT_EQ(Summary(reply), "1 owner 0 \"failed to open the file\"");
    EXPECT_EQ(reply.error, EISDIR);
    EXPECT_EQ(reply.filePath, "");
    EXPECT_EQ(reply.exportPath, share);
    EXPECT_TRUE(log.Has(-1, "ERROR: Failed to open given file []. Error [" + Error(EISDIR) + "]"));
    EXPECT_EQ(CacheReferences(exported.dir.Path()), 0);
}

// Refused before any lock is looked at, whatever the operation: a share
// that is not this module's, a path leaving the export (status too), an
// export user whose identity cannot be taken on (status needs none).
TEST_F(LockRequests, ForeignSharesEscapingPathsAndUnusableUsersAreRefused) {
    TableEntry other(ExportPtr(new TestExport("/othermodule", 7003)));  // another module's
    TableEntry nobody(
        ExportForNobody("/nobody", exported.dir.Path(), SHARE_PERM_READ | SHARE_PERM_WRITE, 7004));
    TempDir outside;
    const std::string target = outside.WriteFile("x", "data");
    ASSERT_EQ(symlink(target.c_str(), (exported.dir / "out").c_str()), 0);
    const std::string notFound = "28 owner 0 \"share not found for given share path\"";
    const std::string leaving = std::string("3 owner 0 \"") + kPathOutsideExport + "\"";
    const struct {
        const char *sent, *file, *echoedShare, *echoedFile;
        bool handled, status;
        std::string summary;
        int error;  // 0: any
    } cases[] = {
        {"/nosuch/", "f/", "/nosuch", "f", false, true, notFound, 0},
        {"/othermodule", "f/", "/othermodule", "f", false, true, notFound, 0},
        {share.c_str(), "../x", share.c_str(), "../x", true, true, leaving, 0},
        {share.c_str(), "a/../../x", share.c_str(), "a/../../x", true, true, leaving, 0},
        {share.c_str(), "out", share.c_str(), "out", true, true, leaving, 0},
        {"/nobody", "f", "/nobody", "f", true, false, "51 owner 9 \"Impersonation Failed\"",
         EACCES},
    };
    LogCapture log(-1);
    for (const auto& c : cases) {
        for (int32_t operation :
             {LUME_LOCK_WRITE, LUME_LOCK_READ, LUME_LOCK_UNLOCK, LUME_LOCK_STATUS}) {
            if (operation == LUME_LOCK_STATUS && !c.status)
                continue;
            SCOPED_TRACE(std::string(c.sent) + " " + c.file + " " + std::to_string(operation));
            LockReply reply = SendLockRequest(operation, c.sent, 9, c.file);
            EXPECT_EQ(reply.handled, c.handled);  // true: the operation ran, and refused
            EXPECT_EQ(Summary(reply), c.summary);
            EXPECT_EQ(reply.exportPath, c.echoedShare);
            EXPECT_EQ(reply.filePath, c.echoedFile);
            EXPECT_TRUE(!c.error || reply.error == c.error) << reply.error;
        }
    }
    EXPECT_EQ(log.CountContaining("is outside export [" + share + "]"), 12u);
    EXPECT_EQ(log.Count(-1, "Impersonation failed."), 3u);
    EXPECT_EQ(Held(target), "unlocked");
    EXPECT_EQ(Held(file), "unlocked");
}

// An upgrade and a downgrade convert the grant's descriptor in place: the
// cache sees no open.
TEST_F(LockStates, OneOwnerTakesReRequestsConvertsAndGivesBackWriteAndReadLocks) {
    LockReply granted = Write(1);
    EXPECT_TRUE(granted.handled);
    EXPECT_EQ(Summary(granted), "20 owner 1 -");
    EXPECT_EQ(Summary(Write(1)), "20 owner 1 \"File is write locked\"");
    EXPECT_EQ(Held(file), "write 1");  // nothing opened again
    EXPECT_EQ(Summary(Status()), "26 owner 1 -");

    EXPECT_EQ(Summary(Unlock(1)), "22 owner 1 -");
    EXPECT_EQ(Held(file), "unlocked");
    EXPECT_EQ(Summary(Unlock(1)), "27 owner 0 \"File not locked\"");
    EXPECT_EQ(Summary(Status()), "27 owner 0 -");

    EXPECT_EQ(Summary(Read(1)), "20 owner 1 -");
    const int fd = ReaderFd(1);
    LogCapture log(10);
    EXPECT_EQ(Summary(Read(1)), "20 owner 1 -");
    EXPECT_TRUE(log.Has(1, "INFO: File [f] is read locked by same lock owner [1]."));
    EXPECT_EQ(Held(file), "read 1");
    EXPECT_EQ(Summary(Status()), "26 owner 1 -");

    EXPECT_EQ(Summary(Write(1)), "20 owner 1 -");
    EXPECT_EQ(Held(file), "write 1");
    EXPECT_EQ(WriterFd(), fd);
    EXPECT_TRUE(log.Has(2, "INFO: lock granted for file [f] to owner id [1]."));
    EXPECT_EQ(Summary(Read(1)), "20 owner 1 -");
    EXPECT_EQ(Held(file), "read 1");
    EXPECT_EQ(ReaderFd(1), fd);
    EXPECT_EQ(log.CountContaining("in fd cache"), 0u);
    EXPECT_EQ(Summary(Unlock(1)), "22 owner 1 -");
    EXPECT_EQ(Held(file), "unlocked");
}

// Owner 0 is an owner like any other. Readers share one system lock, which
// lasts as long as one of them does; their record goes with the last.
TEST_F(LockStates, OtherOwnersAreRefusedByAWriterAndJoinReaders) {
    ASSERT_EQ(Write(0).status, LUME_STATUS_LOCK_GRANTED);
    EXPECT_EQ(Summary(Write(2)), "21 owner 0 \"File is write locked\"");
    EXPECT_EQ(Summary(Read(2)), "21 owner 0 \"File is write locked\"");
    EXPECT_EQ(Summary(Unlock(2)), "23 owner 0 \"Caller did not write lock the file\"");
    EXPECT_EQ(Held(file), "write 0");

    ASSERT_EQ(Unlock(0).status, LUME_STATUS_UNLOCKED);
    ASSERT_EQ(Read(1).status, LUME_STATUS_LOCK_GRANTED);
    EXPECT_EQ(Summary(Write(2)), "21 owner 1 \"File is read locked\"");
    EXPECT_EQ(Summary(Read(2)), "20 owner 2 -");
    EXPECT_EQ(Held(file), "read 1 2");
    EXPECT_EQ(Summary(Unlock(3)), "23 owner 0 \"Caller did not read lock the file\"");

    // Readers refuse every writer, even one of them.
    const std::string refused =
        "21 owner " + std::to_string(FirstReader()) + " \"File is read locked\"";
    LogCapture log(-1);
    EXPECT_EQ(Summary(Write(1)), refused);
    EXPECT_EQ(Summary(Write(3)), refused);
    EXPECT_EQ(log.Count(-1, "ERROR: File [f] is read locked by other lockOwners."), 2u);
    EXPECT_EQ(Held(file), "read 1 2");

    ASSERT_EQ(Read(3).status, LUME_STATUS_LOCK_GRANTED);
    EXPECT_EQ(Summary(Status()), "26 owner " + std::to_string(FirstReader()) + " -");
    LogCapture traces(10);
    const std::string deleted = "SinkFSMLockInfo deleted exportPath [" + share + "]";
    for (const auto& [owner, state] : {std::pair{2ULL, "read 1 3"}, {1ULL, "read 3"}}) {
        EXPECT_EQ(Summary(Unlock(owner)), "22 owner " + std::to_string(owner) + " -");
        EXPECT_EQ(Held(file), state);
    }
    EXPECT_FALSE(traces.Has(10, deleted));
    EXPECT_EQ(Summary(Unlock(3)), "22 owner 3 -");
    EXPECT_EQ(Held(file), "unlocked");
    EXPECT_TRUE(traces.Has(10, deleted));
}

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
    EXPECT_EQ(Held(inDir), "unlocked");

    // A symbolically linked directory is never followed: no name that way.
    ASSERT_EQ(symlink("d", (exported.dir / "s").c_str()), 0);
    ASSERT_EQ(Write(1).status, LUME_STATUS_LOCK_GRANTED);
    EXPECT_EQ(Summary(Write(2, "s/h")), "25 owner 0 \"Given file path not found\"");
    EXPECT_EQ(Held(file), "write 1");
}

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
            ASSERT_EQ(Send(c.operation, owner, "f").status, LUME_STATUS_LOCK_GRANTED);
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
// names nothing, is refused before the tables are asked, except that it
// still gives the lock back to its owner; once it names another file, it is
// that file's name.
TEST_F(LockIdentity, ARenamedFileKeepsItsLock) {
    const std::string moved = exported.dir / "g";
    ASSERT_EQ(Write(1).status, LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(rename(file.c_str(), moved.c_str()), 0);
    LogCapture log(-1);
    for (unsigned long long owner : {1ULL, 2ULL}) {
        LockReply reply = Write(owner);
        EXPECT_TRUE(reply.handled);
        EXPECT_EQ(Summary(reply), "25 owner 0 \"Given file path not found\"");
        EXPECT_EQ(reply.error, ENOENT);
    }
    EXPECT_EQ(log.Count(-1, "ERROR: Given file [f] not found under export [" + share +
                                "]. Error [" + Error(ENOENT) + "]"),
              2u);
    EXPECT_EQ(Held(moved), "write 1");
    EXPECT_EQ(Summary(Write(2, "g")), "21 owner 1 \"File is write locked\"");
    EXPECT_EQ(Summary(Status("f")), "26 owner 1 -");
    EXPECT_EQ(Summary(Unlock(1, "f")), "22 owner 1 -");
    EXPECT_EQ(Held(moved), "unlocked");

    const std::string other = exported.dir.WriteFile("o", "other");
    ASSERT_EQ(Write(1, "g").status, LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(Write(2, "o").status, LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(rename(other.c_str(), file.c_str()), 0);  // "f" names the other file now
    EXPECT_EQ(Summary(Unlock(1, "f")), "23 owner 2 \"Caller did not write lock the file\"");
    EXPECT_EQ(Summary(Unlock(1, "g")), "22 owner 1 -");
    EXPECT_EQ(Held(file), "write 2");
}
