// The lock request as the host sends it: refusals before any operation,
// how a request's paths name an export and a file, and the export user.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "host/ConfigRPCTypes.h"
#include "host/LumeServiceGlobals.h"
#include "module/exports/ExportFilePath.h"
#include "tests/host/TestExport.h"
#include "tests/module/locks/LockClient.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace {

class LockRequests : public LockTest {};

// Puts an export in the host's table for one test.
struct TableEntry {
    explicit TableEntry(ExportPtr e) : exp(e) { EXPECT_TRUE(gAllExports->AddExport(exp)); }
    ~TableEntry() { gAllExports->RemoveExport(exp); }
    ExportPtr exp;
};

// An export of dir whose export user names no one, so every identity
// switch on it fails. The host's setting is restored at once.
ExportPtr ExportForNobody(const std::string& dir) {
    const OxUserToken saved = LumeServiceGlobals::exportUserToken;
    LumeServiceGlobals::exportUserToken = OxUserToken();
    ExportPtr none;
    ExportPtr exp(
        new SinkFSMExport("/nobody", dir, SHARE_PERM_READ | SHARE_PERM_WRITE, "*", 7004, none));
    LumeServiceGlobals::exportUserToken = saved;
    return exp;
}

void ExpectRefusedAsInvalid(const LockReply& reply) {
    EXPECT_FALSE(reply.handled);
    EXPECT_EQ(reply.type, static_cast<int>(RPC_FILE_LOCK_RESP));
    EXPECT_EQ(reply.length, 40u);
    EXPECT_EQ(Summary(reply), "3 owner 0 \"invalid argument\"");
    EXPECT_FALSE(reply.exportPath);
    EXPECT_FALSE(reply.filePath);
}

std::string Error(int err) {
    return std::to_string(err) + ":" + strerror(err);
}

}  // namespace

TEST_F(LockRequests, MissingPathsAndUnknownCodesAreRefusedBeforeAnyOperation) {
    LogCapture log(-1);
    ExpectRefusedAsInvalid(SendLockRequest(LUME_LOCK_WRITE, share.c_str(), 1, nullptr));
    ExpectRefusedAsInvalid(SendLockRequest(LUME_LOCK_WRITE, nullptr, 1, "f"));
    EXPECT_EQ(log.Count(-1, "ERROR: invalid argument"), 2u);

    log.Clear();
    ExpectRefusedAsInvalid(SendLockRequest(4, share.c_str(), 1, "f"));
    ExpectRefusedAsInvalid(SendLockRequest(-1, share.c_str(), 1, "f"));
    EXPECT_EQ(log.Records().size(), 0u);
    EXPECT_EQ(LockState(file), "unlocked");
}

TEST_F(LockRequests, AShareThatIsNotThisModulesIsNotFound) {
    TableEntry other(ExportPtr(new TestExport("/othermodule", 7003)));  // another module's
    const struct {
        const char* sent;
        const char* answered;
    } shares[] = {{"/nosuch/", "/nosuch"}, {"/othermodule", "/othermodule"}};
    for (const auto& path : shares) {
        SCOPED_TRACE(path.sent);
        LockReply reply = SendLockRequest(LUME_LOCK_WRITE, path.sent, 1, "f/");
        EXPECT_FALSE(reply.handled);
        EXPECT_EQ(reply.type, static_cast<int>(RPC_FILE_LOCK_RESP));
        EXPECT_EQ(Summary(reply), "28 owner 0 \"share not found for given share path\"");
        EXPECT_EQ(reply.exportPath, path.answered);
        EXPECT_EQ(reply.filePath, "f");
    }
}

TEST_F(LockRequests, AMissingFileIsRefusedBeforeTheTablesAreAsked) {
    ASSERT_EQ(Write(1).status, LUME_STATUS_LOCK_GRANTED);
    const std::string away = exported.dir / "away";
    ASSERT_EQ(rename(file.c_str(), away.c_str()), 0);

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
    EXPECT_EQ(LockState(away), "write 1");
    ASSERT_EQ(rename(away.c_str(), file.c_str()), 0);
}

TEST_F(LockRequests, AnEmptyFilePathNamesTheRootWhichCannotBeLocked) {
    LogCapture log(-1);
    LockReply reply = Write(1, "");
    EXPECT_EQ(Summary(reply), "1 owner 0 \"failed to open the file\"");
    EXPECT_EQ(reply.error, EISDIR);
    EXPECT_EQ(reply.filePath, "");
    EXPECT_EQ(reply.exportPath, share);
    EXPECT_TRUE(log.Has(-1, "ERROR: Failed to open given file []. Error [" + Error(EISDIR) + "]"));
    EXPECT_EQ(CacheReferences(exported.dir.Path()), 0);
}

TEST_F(LockRequests, APathLeavingTheExportIsRefusedBeforeAnythingIsTouched) {
    TempDir outside;
    const std::string target = outside.WriteFile("x", "data");
    ASSERT_EQ(symlink(target.c_str(), (exported.dir / "out").c_str()), 0);

    LogCapture log(-1);
    for (const char* path : {"../x", "a/../../x", "out"}) {
        SCOPED_TRACE(path);
        for (const LockReply& reply :
             {Write(1, path), Read(1, path), Unlock(1, path), Status(path)}) {
            EXPECT_TRUE(reply.handled);  // the operation ran, and refused
            EXPECT_EQ(Summary(reply), std::string("3 owner 0 \"") + kPathOutsideExport + "\"");
            EXPECT_EQ(reply.filePath, path);
            EXPECT_EQ(reply.exportPath, share);
        }
    }
    EXPECT_EQ(log.CountContaining("is outside export [" + share + "]"), 12u);
    EXPECT_EQ(LockState(target), "unlocked");
    EXPECT_EQ(CacheReferences(target), 0);
}

TEST_F(LockRequests, AnExportUserWhoseIdentityCannotBeTakenOnIsRefused) {
    TableEntry nobody(ExportForNobody(exported.dir.Path()));
    LogCapture log(-1);
    for (int32_t operation : {LUME_LOCK_WRITE, LUME_LOCK_READ, LUME_LOCK_UNLOCK}) {
        SCOPED_TRACE(operation);
        LockReply reply = SendLockRequest(operation, "/nobody", 9, "f");
        EXPECT_TRUE(reply.handled);
        EXPECT_EQ(Summary(reply), "51 owner 9 \"Impersonation Failed\"");
        EXPECT_EQ(reply.error, EACCES);
        EXPECT_EQ(reply.exportPath, "/nobody");
        EXPECT_EQ(reply.filePath, "f");
    }
    EXPECT_EQ(log.Count(-1, "Impersonation failed."), 3u);
    EXPECT_EQ(LockState(file), "unlocked");
    EXPECT_EQ(CacheReferences(file), 0);
}
