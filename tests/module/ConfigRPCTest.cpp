#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/ShareIdToPathCache.h"
#include "tests/module/ConfigCall.h"
#include "tests/support/LogCapture.h"

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
    EXPECT_EQ(fsm->GetFSMName(), "SinkFSM");
    EXPECT_EQ(fsm->GetFSMType(), 2);
    // The library has its own singleton, apart from the one linked into
    // this test.
    EXPECT_NE(fsm, static_cast<FSM*>(SinkFSM::GetFSM()));
    EXPECT_TRUE(fsm->UnloadFSM());
    delete fsm;
    EXPECT_EQ(dlclose(library), 0);
}

using ConfigRPC = ConfigRequestTest;

TEST_F(ConfigRPC, ResponsesAreReleasedByTypeAndUnsupportedTypesGetNone) {
    LogCapture log(10);
    char address[32];
    snprintf(address, sizeof address, "%p", static_cast<void*>(Create(dir).response));
    EXPECT_TRUE(log.Has(10, std::string("LumeExportPathResp [") + address + "] is created."));
    EXPECT_TRUE(log.Has(10, std::string("LumeExportPathResp [") + address + "] is deleted."));

    ConfigCall call(RPC_CREATE_EXPORT_RESP, nullptr);  // a response type sent as a request
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
    Create(dir);
    EXPECT_TRUE(calls.empty());

    LumeServiceGlobals::portMapperRegistered = false;
    EXPECT_EQ(Create(dir).Export().share.refCount, 2u);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::make_pair(0, 1));

    LumeServiceGlobals::setupNWSvcCB = nullptr;  // no callback: still served
    EXPECT_EQ(Create(dir).Status(), 0);
}

TEST_F(ConfigRPC, UnexportCountsDownAndKeepAliveHasNoResponse) {
    ASSERT_EQ(Create(dir).Export().share.refCount, 1u);
    ASSERT_EQ(Create(dir).Export().share.refCount, 2u);
    // Unexport paths are not collapsed.
    EXPECT_EQ(Call(RPC_UNEXPORT, disk.Path() + "//share/").Status(), 2);
    ConfigCall call = Call(RPC_UNEXPORT, dir);
    EXPECT_EQ(call.length, 48u);
    EXPECT_EQ(call.type, static_cast<int>(RPC_UNEXPORT_RESP));
    EXPECT_EQ(call.Status(), 0);
    EXPECT_EQ(call.Unexport().share.refCount, 1u);
    EXPECT_EQ(TextOf(call.Unexport().share.path), dir);
    EXPECT_EQ(Call(RPC_UNEXPORT, dir).Unexport().share.refCount, 0u);  // status: the race below
    EXPECT_FALSE(Find(dir));
    EXPECT_EQ(ShareIdToPathCache::GetShareIdForPath(dir, false, false), 0u);

    LogCapture log(2);
    ConfigCall again = Call(RPC_UNEXPORT, dir);
    EXPECT_EQ(again.Status(), 2);
    EXPECT_EQ(TextOf(again.Unexport().message), "Share not exported.");
    EXPECT_EQ(again.Unexport().share.path, nullptr);
    EXPECT_TRUE(log.Has(1, "Given share [" + dir + "] is not found in export table."));
    log.Clear();
    // A keep-alive gets no response; of an unknown share it only logs.
    ConfigCall keepAlive = Call(RPC_KEEP_ALIVE, dir);
    EXPECT_EQ(keepAlive.response, nullptr);
    EXPECT_EQ(keepAlive.length, 0u);
    EXPECT_TRUE(log.Has(2, "KepAlive Request [" + dir + "]"));
    EXPECT_TRUE(log.Has(1, "Given share [" + dir + "] is not found in export table."));
}

// The host's removal takes an export down whatever its count; a late one,
// of an export already taken down, touches nothing of a new export of the
// same path.
TEST_F(ConfigRPC, TheHostRemovesAnExportWhateverItsCountAndOnlyThatExport) {
    Create(dir);
    Create(dir);
    ExportPtr exp = Find(dir);
    ASSERT_TRUE(exp);
    LogCapture log(1);
    SinkFSM::GetFSM()->UnExport(exp);
    EXPECT_FALSE(Find(dir));
    EXPECT_EQ(exp->GetRefCount(), 2u);
    EXPECT_TRUE(log.Has(
        1, "Share [" + dir + "] is being unexported. Will force unmount any lingering clients."));
    EXPECT_TRUE(log.Has(1, "Export [" + dir + "] is removed from global export cache."));
    EXPECT_EQ(log.Records().back().jobId, exp->GetShareId());

    Create(dir);
    std::ofstream(dir + "/f") << "x";
    std::string path = dir, file = "f";
    LumeLockRequest lock = {0, LUME_LOCK_WRITE, &path[0], 7, &file[0]};
    ASSERT_EQ(ConfigCall(RPC_FILE_LOCK, &lock).Status(), LUME_STATUS_LOCK_GRANTED);
    SinkFSM::GetFSM()->UnExport(exp);
    EXPECT_TRUE(Find(dir));
    lock.operation = LUME_LOCK_STATUS;
    EXPECT_EQ(ConfigCall(RPC_FILE_LOCK, &lock).Status(), LUME_STATUS_FILE_LOCKED);
}

// Creates and unexports of one share racing on two threads: an export is in
// the table exactly while its count is above zero.
TEST_F(ConfigRPC, CreatesAndUnexportsOfOneShareDoNotLoseCounts) {
    std::atomic<int> failures{0};
    auto worker = [&] {
        for (int i = 0; i < 200; ++i) {
            failures += Create(dir).Status() != 0;
            failures += Call(RPC_UNEXPORT, dir).Status() != 0;
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(gAllExports->Size(), 0u);
}

}  // namespace
