#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "host/ConfigRPCTypes.h"
#include "host/DrillHoleRecords.h"
#include "host/ExportCache.h"
#include "host/ExportRecords.h"
#include "host/Ganesha.h"
#include "host/LumeLockRecords.h"
#include "host/LumeServiceGlobals.h"
#include "host/ShareIdToPathCache.h"
#include "module/SinkFSM.h"
#include "module/exports/ExportRequests.h"
#include "module/exports/SinkFSMExport.h"
#include "platform/OXPlatformInfo.h"
#include "platform/StateDir.h"
#include "platform/SystemInfo.h"
#include "tests/module/exports/ExportedDir.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace {

// A create request as the host decodes it, and the response it gets back.
struct Created {
    LumeExportPathResp* response = nullptr;
    size_t length = 0;
    int type = 0;

    ~Created() {
        if (!response)
            return;
        free(response->share.path);
        free(response->message);
        delete response;
    }
    std::string Message() const { return response->message ? response->message : ""; }
    std::string SharePath() const { return response->share.path ? response->share.path : ""; }
};

class CreateExport : public ::testing::Test {
  protected:
    void SetUp() override {
        SetPlatformStateDir(state.Path());
        LumeServiceGlobals::clientName = "media01";
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    }
    void TearDown() override {
        for (ExportPtr& exp : gAllExports->GetAllExports())
            gAllExports->RemoveExport(exp);
        GaneshaSeam::Reset();
        LumeServiceGlobals::isGanesha = false;
        PlatformSeam::SetRand64(nullptr);
    }

    void Create(Created& out, const std::string& path, const std::string& caller = "media01",
                const char* clients = "*", int unique = 0) {
        std::string pathCopy = path, clientsCopy = clients;
        LumeExportPath request{};
        request.timeout = 30;
        request.path = &pathCopy[0];
        request.clients = &clientsCopy[0];
        request.perms = SHARE_PERM_READ | SHARE_PERM_WRITE;
        request.jobId = 7;
        request.uniqueName = unique;
        char* response = nullptr;
        CreateNewExport(&request, caller, response, out.length, out.type);
        out.response = reinterpret_cast<LumeExportPathResp*>(response);
    }

    ExportPtr Find(const std::string& sharePath) {
        ExportPtr exp;
        gAllExports->FindExport(sharePath, exp);
        return exp;
    }

    // Runs one management request on the export of dir (file "f") as
    // caller through the module's dispatcher; its status (0 for keep-alive).
    int Manage(unsigned int type, const std::string& caller) {
        std::string share = dir, file = "f";
        LumeExportPath exportRequest{};
        exportRequest.path = &share[0];
        LumeLockRequest lock{};
        lock.operation = LUME_LOCK_WRITE;
        lock.exportPath = &share[0];
        lock.filePath = &file[0];
        lock.lockOwner = 1;
        LumeSinkFSMDrillHoleReq hole{};
        hole.sharePath = &share[0];
        hole.filePath = &file[0];
        hole.size = 4096;
        void* request = type == RPC_FILE_LOCK    ? static_cast<void*>(&lock)
                        : type == RPC_DRILL_HOLE ? static_cast<void*>(&hole)
                                                 : static_cast<void*>(&exportRequest);
        char* response = nullptr;
        size_t length = 0;
        int responseType = 0;
        SinkFSM::GetFSM()->GenericConfigRPCHandler(request, caller, type, response, length,
                                                   responseType);
        int status = 0;
        if (responseType == RPC_UNEXPORT_RESP)
            status = reinterpret_cast<LumeUnExportResp*>(response)->status;
        else if (responseType == RPC_FILE_LOCK_RESP)
            status = reinterpret_cast<LumeLockResp*>(response)->status;
        else if (responseType == RPC_DRILL_HOLE_RESP)
            status = reinterpret_cast<LumeSinkFSMDrillHoleResp*>(response)->status;
        SinkFSM::GetFSM()->ReleaseConfigRPCMem(responseType, response);
        return status;
    }

    TempDir state, disk;
    const std::string dir = disk / "share";
};

TEST_F(CreateExport, ANewExportIsDescribedAndRegistered) {
    LogCapture log(10);
    Created created;
    Create(created, dir + "/");
    ASSERT_NE(created.response, nullptr);
    EXPECT_EQ(created.length, 48u);
    EXPECT_EQ(created.type, static_cast<int>(RPC_CREATE_EXPORT_RESP));
    EXPECT_EQ(created.response->status, 0);
    EXPECT_EQ(created.response->message, nullptr);
    EXPECT_EQ(created.SharePath(), dir);
    EXPECT_EQ(created.response->share.refCount, 1u);
    EXPECT_EQ(created.response->share.reserved64, 0u);

    auto sink = boost::dynamic_pointer_cast<SinkFSMExport>(Find(dir));
    ASSERT_TRUE(sink);
    EXPECT_EQ(sink->GetRealPath(), dir);
    EXPECT_EQ(sink->GetJobId(), sink->GetShareId());
    ExportPtr exp = sink;
    EXPECT_EQ(exp->GetExpiryInterval(), 30 * 60);
    EXPECT_EQ(exp->GetNfsVersions(), "3");

    EXPECT_TRUE(log.Has(
        1, "Export Request [path: " + dir + "/ clients: * perms: 3 jobId: 7 " + "timeout: 30\n]"));
    EXPECT_TRUE(log.Has(1, "Adding export [" + dir + "/ : " + dir + "] first time."));
    unsigned long threads = 0;
    EXPECT_TRUE(OXPlatformInfo().getNumber("Lume", "nMaxNFSRPCThread", &threads));
}

// Doubled slashes are collapsed, so these name one export.
TEST_F(CreateExport, RepeatedRequestsShareOneExport) {
    Created first, second;
    Create(first, disk.Path() + "//share", "media01", "hostA");
    EXPECT_EQ(first.SharePath(), dir);
    Create(second, dir + "//", "media01", "hostB");
    EXPECT_EQ(second.response->status, 0);
    EXPECT_EQ(second.response->share.refCount, 2u);
    EXPECT_EQ(gAllExports->Size(), 1u);
    std::string clients;
    Find(dir)->GetAllowedClients(clients);
    EXPECT_EQ(clients, "hosta,hostb");
}

TEST_F(CreateExport, UniqueNamesMakeSeparateExportsOfOneDirectory) {
    unsigned long long draws = 0;
    PlatformSeam::SetRand64([&draws] { return 1000 + draws++; });
    Created first, second;
    Create(first, dir, "media01", "*", 1);
    Create(second, dir, "media01", "*", 1);
    ASSERT_EQ(first.response->status, 0);
    ASSERT_EQ(second.response->status, 0);
    unsigned long long r1, s1, r2, s2;
    ASSERT_EQ(sscanf(first.SharePath().c_str(), (dir + "_%llu_%llu").c_str(), &r1, &s1), 2);
    ASSERT_EQ(sscanf(second.SharePath().c_str(), (dir + "_%llu_%llu").c_str(), &r2, &s2), 2);
    EXPECT_EQ(r1, 1000u);
    EXPECT_EQ(r2, 1001u);
    EXPECT_GT(s2, s1);
    EXPECT_EQ(gAllExports->Size(), 2u);
    for (const std::string& share : {first.SharePath(), second.SharePath()}) {
        auto exp = boost::dynamic_pointer_cast<SinkFSMExport>(Find(share));
        ASSERT_TRUE(exp);
        EXPECT_EQ(exp->GetRealPath(), dir);
    }
}

TEST_F(CreateExport, AMissingDirectoryLeavesNothingInTheTable) {
    Created created;
    std::string missing = disk / "missing";
    Create(created, missing);
    EXPECT_EQ(created.response->status, 10);
    EXPECT_EQ(created.Message(), "Export path does not exist.");
    EXPECT_EQ(created.response->share.path, nullptr);
    EXPECT_EQ(gAllExports->Size(), 0u);
    // The share id stays with the host's share-id cache.
    EXPECT_NE(ShareIdToPathCache::GetShareIdForPath(missing, false, false), 0u);
}

TEST_F(CreateExport, AnotherClientMustBeAllowed) {
    LogCapture log(1);
    Created created;
    Create(created, dir, "stranger");
    EXPECT_EQ(created.response->status, 11);
    EXPECT_EQ(created.Message(), "This path is not in allowed paths.");
    EXPECT_TRUE(log.Has(1, "Export path [" + dir + "] is not in allowed paths."));
    EXPECT_EQ(gAllExports->Size(), 0u);

    // Allowed through the job results directory.
    OXPlatformInfo().setDirectory("Machines\\media01", "dJOBRESULTSDIR", disk.Path());
    Created allowed;
    Create(allowed, dir, "stranger");
    EXPECT_EQ(allowed.response->status, 0);
}

// Unexport, keep-alive, locks and holes are for this machine, for a client
// that asked for the export, and for one allowed to export its path; others
// (the unproved empty name among them) are refused and change nothing.
TEST_F(CreateExport, OnlyThisMachineCreatorsAndAllowedClientsManageAnExport) {
    const std::string file = disk.WriteFile("share/f", std::string(8192, 'x'));
    OXPlatformInfo().setDirectory("Machines\\media01", "dJOBRESULTSDIR", disk.Path());
    Created created;
    Create(created, dir, "creator");  // allowed then, through the job results directory
    ASSERT_EQ(created.response->status, 0);
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
            Created again;
            Create(again, dir);
            exp = Find(dir);
            ASSERT_TRUE(exp);
        }
    }
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8192);
}

// What is authorised is what is served: a path is resolved once, judged as
// resolved and exported as resolved, so "allowed/link/.." cannot reach the
// directory above the link's target.
TEST_F(CreateExport, APathIsJudgedAndServedAsItResolves) {
    const std::string jobs = disk / "jobs", outside = disk / "outside";
    ASSERT_EQ(mkdir(jobs.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((jobs + "/real").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((outside + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink((outside + "/sub").c_str(), (jobs + "/link").c_str()), 0);
    ASSERT_EQ(symlink("real", (jobs + "/alias").c_str()), 0);
    OXPlatformInfo().setDirectory("Machines\\media01", "dJOBRESULTSDIR", jobs);

    Created escaping;
    Create(escaping, jobs + "/link/..", "stranger");
    EXPECT_EQ(escaping.response->status, 11);
    EXPECT_EQ(gAllExports->Size(), 0u);

    Created inside;
    Create(inside, jobs + "/alias", "stranger");
    ASSERT_EQ(inside.response->status, 0);
    auto sink = boost::dynamic_pointer_cast<SinkFSMExport>(Find(jobs + "/alias"));
    ASSERT_TRUE(sink);
    EXPECT_EQ(sink->GetRealPath(), jobs + "/real");
}

TEST_F(CreateExport, AnExportUserThatCannotBeTakenOnFails) {
    LogCapture log(1);
    Created created;
    {
        ExportUserOverride nobody{OxUserToken()};
        Create(created, dir);
    }
    EXPECT_TRUE(log.Has(-1, "Impersonation failed."));
    EXPECT_EQ(created.response->status, 50);
    EXPECT_EQ(created.Message(), "File Handle creation failed.");
    EXPECT_EQ(gAllExports->Size(), 0u);
}

TEST_F(CreateExport, GaneshaFailures) {
    LumeServiceGlobals::isGanesha = true;
    GaneshaSeam::Set({[](ExportPtr&) { return 1; }, [](ExportPtr&) { return 1; }, nullptr});
    Created created;
    Create(created, dir);
    EXPECT_EQ(created.response->status, 17);
    EXPECT_EQ(created.Message(), "Creation of NFS export failed.");
    EXPECT_EQ(gAllExports->Size(), 0u);
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath(dir, false, false), 0u);

    // An existing export whose update fails keeps its raised count, and
    // only the clients Ganesha has.
    GaneshaSeam::Set({[](ExportPtr&) { return 0; }, nullptr, nullptr});
    Created first;
    Create(first, dir, "media01", "192.0.2.1");
    ASSERT_EQ(first.response->status, 0);
    Created second;
    Create(second, dir, "media01", "192.0.2.1,192.0.2.2");
    EXPECT_EQ(second.response->status, 17);
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
    EXPECT_TRUE(log.Has(2,
                        "Loading shares across restart is not supported. Hence ignoring "
                        "share [" +
                            dir + "]."));
}

}  // namespace
