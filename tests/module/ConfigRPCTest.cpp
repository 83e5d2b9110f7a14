#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/ConfigRPCTypes.h"
#include "host/ExportCache.h"
#include "host/ExportRecords.h"
#include "host/LumeLockRecords.h"
#include "host/LumeServiceGlobals.h"
#include "host/ShareIdToPathCache.h"
#include "module/SinkFSM.h"
#include "module/exports/SinkFSMExport.h"
#include "platform/StateDir.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace {

TEST(SinkFSMObject, LoadReturnsOneObjectUntilUnloaded) {
    FSM* first = LoadFSM();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(LoadFSM(), first);
    EXPECT_EQ(SinkFSM::GetFSM(), first);
    EXPECT_EQ(first->GetFSMDetails(),
              "Using this FSM, any path on the NFS server can be exported similar to native NFS "
              "servers.");
    EXPECT_TRUE(SinkFSM().UnloadFSM());  // on another object: changes nothing
    EXPECT_EQ(SinkFSM::GetFSM(), first);

    EXPECT_TRUE(first->UnloadFSM());
    FSM* second = LoadFSM();
    EXPECT_NE(second, first);
    EXPECT_EQ(LoadFSM(), second);
    delete first;  // the host's to delete after unloading
}

// The host's way in: dlopen the built library and call its entry point.
TEST(SinkFSMLibrary, LoadsThroughDlopen) {
    void* library = dlopen(SINKFSM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto load = reinterpret_cast<LoadFSMFunction>(dlsym(library, "LoadFSM"));
    ASSERT_NE(load, nullptr) << dlerror();

    FSM* fsm = load();
    ASSERT_NE(fsm, nullptr);
    EXPECT_EQ(load(), fsm);
    EXPECT_EQ(fsm->GetFSMName(), "SinkFSM");
    EXPECT_EQ(fsm->GetFSMType(), 2);
    // The library has its own singleton, apart from the one linked into
    // this test.
    EXPECT_NE(fsm, static_cast<FSM*>(SinkFSM::GetFSM()));
    EXPECT_TRUE(fsm->UnloadFSM());
    delete fsm;
    EXPECT_EQ(dlclose(library), 0);
}

// One configuration call as the host makes it: dispatch, then release.
struct Call {
    char* response = nullptr;
    size_t length = 99;
    int type = 99;

    Call(unsigned int rpcType, void* request, const std::string& caller = "media01") {
        EXPECT_TRUE(SinkFSM::GetFSM()->GenericConfigRPCHandler(request, caller, rpcType, response,
                                                               length, type));
    }
    ~Call() { SinkFSM::GetFSM()->ReleaseConfigRPCMem(type, response); }
    template <class T>
    T* As() const {
        return reinterpret_cast<T*>(response);
    }
};

class ConfigRPC : public ::testing::Test {
  protected:
    void SetUp() override {
        SinkFSM::GetFSM();  // the host's LoadFSM, before any request
        SetPlatformStateDir(state.Path());
        LumeServiceGlobals::clientName = "media01";
        LumeServiceGlobals::networkServicesStarted = true;
        LumeServiceGlobals::portMapperRegistered = true;
        mkdir(dir.c_str(), 0755);
    }
    void TearDown() override {
        LumeServiceGlobals::setupNWSvcCB = nullptr;
        for (ExportPtr& exp : gAllExports->GetAllExports())
            gAllExports->RemoveExport(exp);
    }

    LumeExportPath Request(std::string& path) {
        LumeExportPath request{};
        request.path = &path[0];
        request.clients = clients;
        request.timeout = 5;
        return request;
    }
    uint64_t Create(std::string path) {
        LumeExportPath request = Request(path);
        Call call(RPC_CREATE_EXPORT, &request);
        EXPECT_EQ(call.As<LumeExportPathResp>()->status, 0);
        return call.As<LumeExportPathResp>()->share.refCount;
    }

    TempDir state, disk;
    std::string dir = disk / "share";
    char clients[2] = "*";
};

TEST_F(ConfigRPC, UnsupportedTypesGetNoRecord) {
    LogCapture log(-1);
    Call call(RPC_CREATE_EXPORT_RESP, nullptr);  // a response type sent as a request
    EXPECT_EQ(call.response, nullptr);
    EXPECT_EQ(call.length, 0u);
    EXPECT_EQ(call.type, 0);
    EXPECT_TRUE(log.Has(
        -1, "SinkFSM does not support RPC type [" + std::to_string(RPC_CREATE_EXPORT_RESP) + "]"));
    // Release by a type that is no response type frees nothing (freeing this
    // stack record would crash).
    LumeExportPathResp onStack;
    SinkFSM::GetFSM()->ReleaseConfigRPCMem(RPC_CREATE_EXPORT, &onStack);
    SinkFSM::GetFSM()->ReleaseConfigRPCMem(0, &onStack);
}

TEST_F(ConfigRPC, NetworkServicesAreSetUpWhenMissing) {
    static std::vector<std::pair<int, int>> calls;
    calls.clear();
    LumeServiceGlobals::setupNWSvcCB = [](int a, int b) {
        calls.push_back({a, b});
        return 0;
    };
    std::string path = dir;
    LumeExportPath request = Request(path);
    { Call served(RPC_CREATE_EXPORT, &request); }
    EXPECT_TRUE(calls.empty());

    LumeServiceGlobals::portMapperRegistered = false;
    {
        Call served(RPC_CREATE_EXPORT, &request);
        EXPECT_EQ(served.As<LumeExportPathResp>()->share.refCount, 2u);
    }
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::make_pair(0, 1));

    LumeServiceGlobals::setupNWSvcCB = nullptr;  // no callback: still served
    Call served(RPC_CREATE_EXPORT, &request);
    EXPECT_EQ(served.As<LumeExportPathResp>()->status, 0);
}

TEST_F(ConfigRPC, ResponsesAreReleasedByType) {
    LogCapture log(10);
    std::string path = dir;
    LumeExportPath request = Request(path);
    void* address;
    {
        Call call(RPC_CREATE_EXPORT, &request);
        EXPECT_EQ(call.type, static_cast<int>(RPC_CREATE_EXPORT_RESP));
        address = call.response;
    }
    char text[64];
    snprintf(text, sizeof text, "%p", address);
    EXPECT_TRUE(log.Has(10, std::string("LumeExportPathResp [") + text + "] is created."));
    EXPECT_TRUE(log.Has(10, std::string("LumeExportPathResp [") + text + "] is deleted."));
}

TEST_F(ConfigRPC, UnexportCountsDownAndKeepAliveRefreshes) {
    ASSERT_EQ(Create(dir), 1u);
    ASSERT_EQ(Create(dir), 2u);
    std::string path = dir, doubled = disk.Path() + "//share/";
    LumeExportPath request = Request(path), doubledRequest = Request(doubled);
    {
        Call call(RPC_UNEXPORT, &doubledRequest);  // unexport paths are not collapsed
        EXPECT_EQ(call.As<LumeUnExportResp>()->status, 2);
    }
    {
        Call call(RPC_UNEXPORT, &request);
        auto* response = call.As<LumeUnExportResp>();
        EXPECT_EQ(call.length, 48u);
        EXPECT_EQ(call.type, static_cast<int>(RPC_UNEXPORT_RESP));
        EXPECT_EQ(response->status, 0);
        EXPECT_EQ(response->share.refCount, 1u);
        EXPECT_STREQ(response->share.path, dir.c_str());
    }
    ExportPtr exp;
    ASSERT_TRUE(gAllExports->FindExport(dir, exp));
    exp->SetLastAccessTime(0);
    {
        Call call(RPC_KEEP_ALIVE, &request);
        EXPECT_EQ(call.response, nullptr);
        EXPECT_EQ(call.length, 0u);
    }
    EXPECT_GT(exp->GetLastAccessTime(), 0);
    {
        Call call(RPC_UNEXPORT, &request);
        EXPECT_EQ(call.As<LumeUnExportResp>()->status, 0);
        EXPECT_EQ(call.As<LumeUnExportResp>()->share.refCount, 0u);
    }
    EXPECT_FALSE(gAllExports->FindExport(dir, exp));
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath(dir, false, false), 0u);

    LogCapture log(2);
    {
        Call again(RPC_UNEXPORT, &request);
        EXPECT_EQ(again.As<LumeUnExportResp>()->status, 2);
        EXPECT_STREQ(again.As<LumeUnExportResp>()->message, "Share not exported.");
        EXPECT_EQ(again.As<LumeUnExportResp>()->share.path, nullptr);
    }
    EXPECT_TRUE(log.Has(1, "Given share [" + dir + "] is not found in export table."));
    log.Clear();
    Call unknown(RPC_KEEP_ALIVE, &request);  // keep-alive of an unknown share only logs
    EXPECT_EQ(unknown.response, nullptr);
    EXPECT_TRUE(log.Has(2, "KepAlive Request [" + dir + "]"));
    EXPECT_TRUE(log.Has(1, "Given share [" + dir + "] is not found in export table."));
}

TEST_F(ConfigRPC, TheHostRemovesAnExportWhateverItsCount) {
    Create(dir);
    Create(dir);
    ExportPtr exp;
    ASSERT_TRUE(gAllExports->FindExport(dir, exp));
    LogCapture log(1);
    SinkFSM::GetFSM()->UnExport(exp);
    EXPECT_FALSE(gAllExports->FindExport(dir, exp));
    EXPECT_EQ(exp->GetRefCount(), 2u);
    EXPECT_TRUE(log.Has(
        1, "Share [" + dir + "] is being unexported. Will force unmount any lingering clients."));
    EXPECT_TRUE(log.Has(1, "Export [" + dir + "] is removed from global export cache."));
    EXPECT_EQ(log.Records().back().jobId, exp->GetShareId());
}

// The host's removal of an export that an unexport request already took
// down touches nothing of a new export of the same path.
TEST_F(ConfigRPC, TheHostsLateRemovalLeavesANewExportAlone) {
    Create(dir);
    ExportPtr old;
    ASSERT_TRUE(gAllExports->FindExport(dir, old));
    std::string path = dir;
    LumeExportPath request = Request(path);
    { Call removed(RPC_UNEXPORT, &request); }
    Create(dir);
    std::ofstream(dir + "/f") << "x";
    std::string file = "f";
    LumeLockRequest lock{};
    lock.operation = LUME_LOCK_WRITE;
    lock.exportPath = &path[0];
    lock.filePath = &file[0];
    lock.lockOwner = 7;
    {
        Call locked(RPC_FILE_LOCK, &lock);
        ASSERT_EQ(locked.As<LumeLockResp>()->status, LUME_STATUS_LOCK_GRANTED);
    }

    SinkFSM::GetFSM()->UnExport(old);
    ExportPtr current;
    EXPECT_TRUE(gAllExports->FindExport(dir, current));
    lock.operation = LUME_LOCK_STATUS;
    Call status(RPC_FILE_LOCK, &lock);
    EXPECT_EQ(status.As<LumeLockResp>()->status, LUME_STATUS_FILE_LOCKED);
}

// Creates and unexports of one share racing on two threads: an export is in
// the table exactly while its count is above zero.
TEST_F(ConfigRPC, CreatesAndUnexportsOfOneShareDoNotLoseCounts) {
    std::atomic<int> failures{0};
    auto worker = [&] {
        for (int i = 0; i < 200; ++i) {
            std::string path = dir;
            LumeExportPath request = Request(path);
            {
                Call created(RPC_CREATE_EXPORT, &request);
                failures += created.As<LumeExportPathResp>()->status != 0;
            }
            Call removed(RPC_UNEXPORT, &request);
            failures += removed.As<LumeUnExportResp>()->status != 0;
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(gAllExports->Size(), 0u);
}

}  // namespace
