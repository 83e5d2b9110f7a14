// What a grant holds outside the tables: one reference to the file's cached
// descriptor per grant, and the operating-system lock on that descriptor,
// as another open file description of the file sees it; what releasing an
// export's locks takes when the export goes away; and the lock records.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/FileLock.h"
#include "module/ConfigRPCRelease.h"
#include "module/SinkFSM.h"
#include "module/locks/SinkFSMLockInfo.h"
#include "module/locks/SinkFSMLocks.h"
#include "platform/BeneathPath.h"
#include "platform/UniqueFileId.h"
#include "tests/module/locks/LockClient.h"
#include "tests/support/LogCapture.h"

namespace {

using LockDescriptors = LockTest;

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

// Position of the first message with this level and text; -1 when none.
int PositionOf(const LogCapture& log, int level, const std::string& text) {
    std::vector<LogRecord> records = log.Records();
    for (size_t i = 0; i < records.size(); ++i)
        if (records[i].level == level && records[i].text == text)
            return static_cast<int>(i);
    return -1;
}

}  // namespace

// A client writing the file shares the lock's descriptor; one reading it
// keeps its read-only descriptor, which could not carry a write lock.
TEST_F(LockDescriptors, AnUnlockEndsTheSystemLockWhileTheFileStaysOpenForIO) {
    unsigned long fileId = 0;
    ASSERT_EQ(GetUniqueFileId(file, fileId), 0);
    SinkFSMFileDescriptorCache& cache = *SinkFSM::GetFSM()->GetFileDescriptorCache();
    UniqueFd object(::open(file.c_str(), O_PATH | O_CLOEXEC));
    OtherOpener other(file);

    for (int mode : {O_RDWR, O_RDONLY}) {
        const int io = cache.Open(object.Get(), file.c_str(), mode, fileId);  // an NFS client's
        ASSERT_GE(io, 0);
        for (int32_t operation : {LUME_LOCK_WRITE, LUME_LOCK_READ}) {
            SCOPED_TRACE(std::to_string(mode) + " " + std::to_string(operation));
            ASSERT_EQ(Summary(Send(operation, 1, "f")), "20 owner 1 -");
            const int locked = operation == LUME_LOCK_WRITE ? WriterFd() : ReaderFd(1);
            EXPECT_EQ(locked == io, mode == O_RDWR);
            EXPECT_FALSE(other.CouldLock(false));
            ASSERT_EQ(Unlock(1).status, LUME_STATUS_UNLOCKED);
            SinkFSMFileDescriptorInfo* entry = nullptr;
            ASSERT_EQ(cache.GetFD(fileId, io, entry), 0);
            EXPECT_EQ(entry->refCount, 1);
            EXPECT_TRUE(other.CouldLock(false));
        }
        // The last reference closes the descriptor, which no lock record
        // closed before.
        EXPECT_EQ(cache.Close(io, file.c_str(), fileId), 0);
    }
}

// Refused by a lock held outside the service: a grant, which gives its
// descriptor back, and a conversion, whose unlock comes first (the error is
// the conversion's, not the unlock's). Either leaves the file unlocked.
TEST_F(LockDescriptors, ALockHeldOutsideTheServiceRefusesAGrantOrAConversion) {
    OtherOpener other(file);
    ASSERT_EQ(GetLock(other.fd, false), 0);
    const std::string refused = "21 owner " + std::to_string(kOutsideHolder) + " \"lockf failed. " +
                                strerror(EAGAIN) + "\"";
    LogCapture log(2);
    for (const LockReply& reply : {Write(1), Read(2)}) {
        EXPECT_EQ(Summary(reply), refused);
        EXPECT_EQ(reply.error, EAGAIN);
    }
    EXPECT_EQ(log.Count(-1, "ERROR: System lockf failed for given file [f]. Error [" +
                                Error(EAGAIN) + "]"),
              2u);
    ASSERT_EQ(ReleaseLock(other.fd, false), 0);
    EXPECT_EQ(Held(file), "unlocked");

    ASSERT_EQ(Read(1).status, LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(GetLock(other.fd, true), 0);  // a second reader outside the service
    log.Clear();
    LockReply conversion = Write(1);
    EXPECT_TRUE(conversion.handled);
    EXPECT_EQ(Summary(conversion), "1 owner 0 \"fcntl failed\"");
    EXPECT_EQ(conversion.error, EAGAIN);
    int unlocked = PositionOf(log, 2, "INFO: unlock successful for file [f].");
    int failed = PositionOf(
        log, -1, "ERROR: System fcntl failed for file [f]. Error [" + Error(EAGAIN) + "]");
    ASSERT_GE(unlocked, 0);
    EXPECT_GT(failed, unlocked);
    ASSERT_EQ(ReleaseLock(other.fd, true), 0);
    EXPECT_EQ(Held(file), "unlocked");
    EXPECT_EQ(Summary(Write(1)), "20 owner 1 -");
}

TEST_F(LockRelease, TakesExactlyTheRemovedExportsLocksOnePerOwner) {
    ASSERT_EQ(Write(1).status, LUME_STATUS_LOCK_GRANTED);
    for (unsigned long long owner = 1; owner <= 3; ++owner)
        ASSERT_EQ(Read(owner, "g").status, LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(Send(LUME_LOCK_WRITE, 1, "f", otherShare.c_str()).status, LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(Send(LUME_LOCK_READ, 4, "g", otherShare.c_str()).status, LUME_STATUS_LOCK_GRANTED);
    const int fdF = CacheEntry(file)->fd;
    const int fdG = CacheEntry(g)->fd;

    LogCapture log(5);
    ReleaseAllLocks(&exported.Sink());
    EXPECT_EQ(Held(file), "unlocked");
    EXPECT_EQ(Held(g), "unlocked");
    EXPECT_EQ(log.Count(5, Unlocked(file, fdF)), 1u);
    EXPECT_EQ(log.Count(5, Unlocked(g, fdG)), 3u);
    EXPECT_EQ(Held(otherF), "write 1");
    EXPECT_EQ(Held(otherG), "read 4");

    SinkFSM::GetFSM()->UnExport(other.exp);  // the host's removal of an export
    EXPECT_EQ(Held(otherF), "unlocked");
    EXPECT_EQ(Held(otherG), "unlocked");
}

TEST_F(LockRelease, AFailedReleaseIsReportedAndTheRecordGoesAnyway) {
    ASSERT_EQ(Write(1).status, LUME_STATUS_LOCK_GRANTED);
    const int fd = CacheEntry(file)->fd;
    ASSERT_EQ(close(fd), 0);  // behind the service's back: the release must fail

    LogCapture log(-1);
    ReleaseAllLocks(&exported.Sink());
    const std::string failed =
        "ERROR: file unlock failed. Ignoring error as we are un-exporting the share. File [";
    EXPECT_TRUE(log.Has(-1, failed + file + "] fd [" + std::to_string(fd) + "] Export [" + share +
                                "] Error [" + Error(EBADF) + "]"));
    EXPECT_EQ(Held(file), "unlocked");
}

// Readers of one file through two exports of its directory: each export
// takes only its own readers along, and the last one the shared lock.
TEST_F(LockRelease, ReadersThroughAnotherExportKeepTheirLock) {
    ExportPtr none;
    TableEntry alias(ExportPtr(new SinkFSMExport(
        "/alias", exported.dir.Path(), SHARE_PERM_READ | SHARE_PERM_WRITE, "*", 7005, none)));
    std::string error;
    ASSERT_EQ(static_cast<SinkFSMExport&>(*alias.exp).InitExportFileHandle(error), 0) << error;
    ASSERT_EQ(Read(1).status, LUME_STATUS_LOCK_GRANTED);
    ASSERT_EQ(Send(LUME_LOCK_READ, 2, "f", "/alias").status, LUME_STATUS_LOCK_GRANTED);
    EXPECT_EQ(Send(LUME_LOCK_WRITE, 3, "f", "/alias").status, LUME_STATUS_LOCKED_BY_OTHER);

    ReleaseAllLocks(&exported.Sink());
    EXPECT_EQ(Held(file), "read 2");
    ReleaseAllLocks(static_cast<SinkFSMExport*>(alias.exp.get()));
    EXPECT_EQ(Held(file), "unlocked");
}

TEST(LockRecords, ALaterFillReplacesWhatItNamesAndKeepsWhatItLeavesNull) {
    auto* response = new LumeLockResp();
    PopulateFileLockResponse(response, LUME_STATUS_LOCKED_BY_OTHER, "a", "/share", "first", 5);
    PopulateFileLockResponse(response, LUME_STATUS_FAILURE, "b", nullptr, "second", 0);
    EXPECT_EQ(response->status, LUME_STATUS_FAILURE);
    EXPECT_EQ(response->lockOwner, 0u);
    EXPECT_STREQ(response->filePath, "b");
    EXPECT_STREQ(response->exportPath, "/share");
    EXPECT_STREQ(response->message, "second");

    // A text that is the field's own copy must survive its replacement.
    PopulateFileLockResponse(response, LUME_STATUS_UNLOCKED, response->filePath,
                             response->exportPath, response->message, 9);
    EXPECT_STREQ(response->filePath, "b");
    EXPECT_STREQ(response->exportPath, "/share");
    EXPECT_STREQ(response->message, "second");
    EXPECT_EQ(response->lockOwner, 9u);
    FreeFileLockResp(response);  // replaced copies were freed: the leak checker sees none
}

// A read record that goes with readers in it (an export's release) leaves
// their descriptors to the cache; a write record's is shown by the tests
// above.
TEST(LockRecords, AReadRecordLeavesItsDescriptorsOpen) {
    UniqueFd fd(open("/dev/null", O_RDONLY));
    {
        SinkFSMReadLockInfo readers("/share");
        readers.owners[1] = {fd.Get(), "/share", "/share/f"};
    }
    EXPECT_NE(fcntl(fd.Get(), F_GETFD), -1);
}
