// Configuration calls as the host makes them: requests with the mutable
// texts the host's decoder hands over, dispatched by type and released by
// type; and a fixture with this machine's name, a state directory and the
// directory "share" to export.
#pragma once

#include <sys/stat.h>

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "host/ConfigRPCTypes.h"
#include "host/DrillHoleRecords.h"
#include "host/ExportCache.h"
#include "host/ExportRecords.h"
#include "host/Ganesha.h"
#include "host/LumeLockRecords.h"
#include "host/LumeServiceGlobals.h"
#include "host/SharePerms.h"
#include "module/SinkFSM.h"
#include "platform/StateDir.h"
#include "platform/SystemInfo.h"
#include "tests/support/TempDir.h"

// One call: dispatched on construction, its response released on destruction.
struct ConfigCall {
    ConfigCall(unsigned int rpcType, void* request, const std::string& caller = "media01") {
        EXPECT_TRUE(SinkFSM::GetFSM()->GenericConfigRPCHandler(request, caller, rpcType, response,
                                                               length, type));
    }
    ConfigCall(const ConfigCall&) = delete;
    ~ConfigCall() { SinkFSM::GetFSM()->ReleaseConfigRPCMem(type, response); }

    template <class T>
    const T& As() const {
        return *reinterpret_cast<T*>(response);
    }
    const LumeExportPathResp& Export() const { return As<LumeExportPathResp>(); }
    const LumeUnExportResp& Unexport() const { return As<LumeUnExportResp>(); }
    // The response's status; 0 when there is no response (keep-alive).
    int Status() const {
        switch (static_cast<unsigned int>(type)) {
            case RPC_CREATE_EXPORT_RESP:
                return Export().status;
            case RPC_UNEXPORT_RESP:
                return Unexport().status;
            case RPC_FILE_LOCK_RESP:
                return As<LumeLockResp>().status;
            case RPC_DRILL_HOLE_RESP:
                return As<LumeSinkFSMDrillHoleResp>().status;
        }
        return 0;
    }

    char* response = nullptr;
    size_t length = 99;
    int type = 99;
};

inline std::string TextOf(const char* text) {
    return text ? text : "";
}

// A create, unexport or keep-alive request for path.
struct ExportRequest {
    explicit ExportRequest(std::string sharePath, std::string allowed = "*", int unique = 0)
        : path(std::move(sharePath)),
          clients(std::move(allowed)),
          request{0, 30, &path[0], &clients[0], SHARE_PERM_READ | SHARE_PERM_WRITE, 7, unique} {}
    ExportRequest(const ExportRequest&) = delete;

    std::string path, clients;
    LumeExportPath request;
};

class ConfigRequestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SinkFSM::GetFSM();  // the host's LoadFSM, before any request
        SetPlatformStateDir(state.Path());
        LumeServiceGlobals::clientName = "media01";
        LumeServiceGlobals::networkServicesStarted = true;
        LumeServiceGlobals::portMapperRegistered = true;
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    }
    void TearDown() override {
        for (ExportPtr& exp : gAllExports->GetAllExports())
            gAllExports->RemoveExport(exp);
        GaneshaSeam::Reset();
        LumeServiceGlobals::isGanesha = false;
        LumeServiceGlobals::setupNWSvcCB = nullptr;
        PlatformSeam::SetRand64(nullptr);
    }

    // A create, unexport or keep-alive call on path.
    ConfigCall Call(unsigned int rpcType, const std::string& path,
                    const std::string& caller = "media01", const std::string& clients = "*",
                    int unique = 0) {
        ExportRequest request(path, clients, unique);
        return ConfigCall(rpcType, &request.request, caller);
    }
    ConfigCall Create(const std::string& path, const std::string& caller = "media01",
                      const std::string& clients = "*", int unique = 0) {
        return Call(RPC_CREATE_EXPORT, path, caller, clients, unique);
    }
    ExportPtr Find(const std::string& sharePath) {
        ExportPtr exp;
        gAllExports->FindExport(sharePath, exp);
        return exp;
    }

    TempDir state, disk;
    const std::string dir = disk / "share";
};
