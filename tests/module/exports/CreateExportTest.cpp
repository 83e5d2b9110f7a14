#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "host/ShareIdToPathCache.h"
#include "module/exports/SinkFSMExport.h"
#include "platform/OXPlatformInfo.h"
#include "tests/module/ConfigCall.h"
#include "tests/module/exports/ExportedDir.h"
#include "tests/support/LogCapture.h"

namespace {

class CreateExport : public ConfigRequestTest {
  protected:
    // A refusal describes no share and leaves the table empty.
    void ExpectRefused(const ConfigCall& call, int status, const std::string& message) {
        EXPECT_EQ(call.Status(), status);
        EXPECT_EQ(TextOf(call.Export().message), message);
        EXPECT_EQ(call.Export().share.path, nullptr);
        EXPECT_EQ(gAllExports->Size(), 0u);
    }

    // Runs one management request on the export of dir (file "f") as
    // caller through the module's dispatcher; its status (0 for keep-alive).
    int Manage(unsigned int type, const std::string& caller) {
        ExportRequest exportRequest(dir);
        std::string file = "f";
        LumeLockRequest lock = {0, LUME_LOCK_WRITE, &exportRequest.path[0], 1, &file[0]};
        LumeSinkFSMDrillHoleReq hole = {0, &exportRequest.path[0], &file[0], 0, 4096};
        void* request = type == RPC_FILE_LOCK    ? static_cast<void*>(&lock)
                        : type == RPC_DRILL_HOLE ? static_cast<void*>(&hole)
                                                 : static_cast<void*>(&exportRequest.request);
        return ConfigCall(type, request, caller).Status();
    }
};

TEST_F(CreateExport, ANewExportIsDescribedAndRegistered) {
    LogCapture log(10);
    ConfigCall created = Create(dir + "/");
    ASSERT_NE(created.response, nullptr);
    EXPECT_EQ(created.length, 48u);
    EXPECT_EQ(created.type, static_cast<int>(RPC_CREATE_EXPORT_RESP));
    EXPECT_EQ(created.Status(), 0);
    EXPECT_EQ(created.Export().message, nullptr);
    EXPECT_EQ(TextOf(created.Export().share.path), dir);
    EXPECT_EQ(created.Export().share.refCount, 1u);
    EXPECT_EQ(created.Export().share.reserved64, 0u);

    auto sink = boost::dynamic_pointer_cast<SinkFSMExport>(Find(dir));
    ASSERT_TRUE(sink);
    EXPECT_EQ(sink->GetRealPath(), dir);
    EXPECT_EQ(sink->GetJobId(), sink->GetShareId());
    EXPECT_EQ(Find(dir)->GetExpiryInterval(), 30 * 60);
    EXPECT_EQ(Find(dir)->GetNfsVersions(), "3");

    EXPECT_TRUE(log.Has(  // the text's newline escaped: one entry, one line
        1,
        "Export Request [path: " + dir + "/ clients: * perms: 3 jobId: 7 " + "timeout: 30\\x0a]"));
    EXPECT_TRUE(log.Has(1, "Adding export [" + dir + "/ : " + dir + "] first time."));
    unsigned long threads = 0;
    EXPECT_TRUE(OXPlatformInfo().getNumber("Lume", "nMaxNFSRPCThread", &threads));
}

// Doubled slashes are collapsed, so these name one export.
TEST_F(CreateExport, RepeatedRequestsShareOneExport) {
    EXPECT_EQ(TextOf(Create(disk.Path() + "//share", "media01", "hostA").Export().share.path), dir);
    ConfigCall second = Create(dir + "//", "media01", "hostB");
    EXPECT_EQ(second.Status(), 0);
    EXPECT_EQ(second.Export().share.refCount, 2u);
    EXPECT_EQ(gAllExports->Size(), 1u);
    std::string clients;
    Find(dir)->GetAllowedClients(clients);
    EXPECT_EQ(clients, "hosta,hostb");
}

TEST_F(CreateExport, UniqueNamesMakeSeparateExportsOfOneDirectory) {
    unsigned long long draws = 0;
    PlatformSeam::SetRand64([&draws] { return 1000 + draws++; });
    const std::string first = TextOf(Create(dir, "media01", "*", 1).Export().share.path);
    const std::string second = TextOf(Create(dir, "media01", "*", 1).Export().share.path);
    unsigned long long r1, s1, r2, s2;
    ASSERT_EQ(sscanf(first.c_str(), (dir + "_%llu_%llu").c_str(), &r1, &s1), 2);
    ASSERT_EQ(sscanf(second.c_str(), (dir + "_%llu_%llu").c_str(), &r2, &s2), 2);
    EXPECT_EQ(r1, 1000u);
    EXPECT_EQ(r2, 1001u);
    EXPECT_GT(s2, s1);
    EXPECT_EQ(gAllExports->Size(), 2u);
    for (const std::string& share : {first, second}) {
        auto exp = boost::dynamic_pointer_cast<SinkFSMExport>(Find(share));
        ASSERT_TRUE(exp);
        EXPECT_EQ(exp->GetRealPath(), dir);
    }
}

// A missing directory, or an export user that cannot be taken on.
TEST_F(CreateExport, RefusedCreatesLeaveNothingInTheTable) {
    std::string missing = disk / "missing";
    ExpectRefused(Create(missing), 10, "Export path does not exist.");
    // The share id stays with the host's share-id cache.
    EXPECT_NE(ShareIdToPathCache::GetShareIdForPath(missing, false, false), 0u);

    LogCapture log(1);
    ExportUserOverride nobody{OxUserToken()};
    ExpectRefused(Create(dir), 50, "File Handle creation failed.");
    EXPECT_TRUE(log.Has(-1, "Impersonation failed."));
}

// Unexport, keep-alive, locks and holes are for this machine, for a client
// that asked for the export, and for one allowed to export its path; others
// (the unproved empty name among them) are refused and change nothing.
TEST_F(CreateExport, OnlyThisMachineCreatorsAndAllowedClientsManageAnExport) {
    disk.WriteFile("share/f", std::string(8192, 'x'));
    OXPlatformInfo().setDirectory("Machines\\media01", "dJOBRESULTSDIR", disk.Path());
    // Allowed then, through the job results directory.
    ASSERT_EQ(Create(dir, "creator").Status(), 0);
    OXPlatformInfo().setDirectory("Machines\\media01", "dJOBRESULTSDIR", disk / "elsewhere");
    ExportPtr exp = Find(dir);
    for (const char* name : {"stranger", "", "creator", "media01"}) {
        const std::string caller = name;
        SCOPED_TRACE("caller [" + caller + "]");
        const bool may = caller == "creator" || caller == "media01";
        exp->SetLastAccessTime(1);
        EXPECT_EQ(Manage(RPC_KEEP_ALIVE, caller), 0);
        EXPECT_EQ(exp->GetLastAccessTime() != 1, may);
        EXPECT_EQ(Manage(RPC_FILE_LOCK, caller), may ? 20 : 11);
        EXPECT_EQ(Manage(RPC_DRILL_HOLE, caller), may ? 0 : 11);
        EXPECT_EQ(Manage(RPC_UNEXPORT, caller), may ? 0 : 11);
        EXPECT_EQ(Find(dir) != nullptr, !may) << "removed only by one who may";
        if (may) {
            Create(dir);
            exp = Find(dir);
            ASSERT_TRUE(exp);
        }
    }
}

// Another client must be allowed to export the path. What is authorised is
// what is served: a path is resolved once, judged as resolved and exported
// as resolved, so "allowed/link/.." cannot reach the directory above the
// link's target.
TEST_F(CreateExport, AnotherClientMustBeAllowedThePathAsItResolves) {
    const std::string jobs = disk / "jobs", outside = disk / "outside";
    for (const std::string& made : {jobs, jobs + "/real", outside, outside + "/sub"})
        ASSERT_EQ(mkdir(made.c_str(), 0755), 0);
    ASSERT_EQ(symlink((outside + "/sub").c_str(), (jobs + "/link").c_str()), 0);
    ASSERT_EQ(symlink("real", (jobs + "/alias").c_str()), 0);
    OXPlatformInfo().setDirectory("Machines\\media01", "dJOBRESULTSDIR", jobs);

    LogCapture log(1);
    ExpectRefused(Create(jobs + "/link/..", "stranger"), 11, "This path is not in allowed paths.");
    EXPECT_TRUE(log.Has(1, "Export path [" + outside + "] is not in allowed paths."));
    ASSERT_EQ(Create(jobs + "/alias", "stranger").Status(), 0);
    auto sink = boost::dynamic_pointer_cast<SinkFSMExport>(Find(jobs + "/alias"));
    ASSERT_TRUE(sink);
    EXPECT_EQ(sink->GetRealPath(), jobs + "/real");
}

TEST_F(CreateExport, GaneshaFailures) {
    LumeServiceGlobals::isGanesha = true;
    GaneshaSeam::Set({[](ExportPtr&) { return 1; }, [](ExportPtr&) { return 1; }, nullptr});
    ExpectRefused(Create(dir), 17, "Creation of NFS export failed.");
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath(dir, false, false), 0u);

    // An existing export whose update fails keeps its raised count, and
    // only the clients Ganesha has.
    GaneshaSeam::Set({[](ExportPtr&) { return 0; }, nullptr, nullptr});
    ASSERT_EQ(Create(dir, "media01", "192.0.2.1").Status(), 0);
    EXPECT_EQ(Create(dir, "media01", "192.0.2.1,192.0.2.2").Status(), 17);
    EXPECT_EQ(Find(dir)->GetRefCount(), 2u);
    std::string clients;
    Find(dir)->GetAllowedClients(clients);
    EXPECT_EQ(clients, "192.0.2.1");
}

TEST_F(CreateExport, RestoringSavedSharesIsDeclined) {
    LogCapture log(2);
    ExportPtr none;
    ExportPtr saved(new SinkFSMExport(dir, dir, SHARE_PERM_READ, "*", 99, none));
    ExportPtr output = saved;
    EXPECT_TRUE(SinkFSM::GetFSM()->CreateExport(saved, output));
    EXPECT_EQ(output, saved);
    EXPECT_TRUE(log.Has(
        2, "Loading shares across restart is not supported. Hence ignoring share [" + dir + "]."));
}

}  // namespace
