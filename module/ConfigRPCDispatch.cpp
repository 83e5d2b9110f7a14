// Configuration RPCs: routing each request type to its handler, and
// releasing the response records the host gives back.
#include <cstdlib>

#include "host/ConfigRPCTypes.h"
#include "host/DrillHoleRecords.h"
#include "host/ExportRecords.h"
#include "host/LumeLockRecords.h"
#include "host/LumeServiceGlobals.h"
#include "module/ConfigRPCRelease.h"
#include "module/SinkFSM.h"
#include "module/exports/ExportRequests.h"
#include "platform/LogWriter.h"

bool SinkFSM::GenericConfigRPCHandler(void* request, const std::string& caller,
                                      unsigned int rpcType, char*& response, size_t& responseLength,
                                      int& responseType) {
    responseType = 0;
    response = nullptr;
    responseLength = 0;

    if ((!LumeServiceGlobals::networkServicesStarted ||
         !LumeServiceGlobals::portMapperRegistered) &&
        LumeServiceGlobals::setupNWSvcCB)
        LumeServiceGlobals::setupNWSvcCB(0, 1);

    switch (rpcType) {
        case RPC_CREATE_EXPORT:
            CreateNewExport(request, caller, response, responseLength, responseType);
            break;
        case RPC_UNEXPORT:
            ::UnExport(request, caller, response, responseLength, responseType);
            break;
        case RPC_KEEP_ALIVE:
            KeepAlive(request, caller, response, responseLength, responseType);
            break;
        case RPC_FILE_LOCK:
            HandleLockRequest(request, response, responseLength, responseType, caller);
            break;
        case RPC_DRILL_HOLE:
            HandleDrillHoleRequest(request, response, responseLength, responseType, caller);
            break;
        default:
            OXLOG(-1, 0, "SinkFSM does not support RPC type [%d]", static_cast<int>(rpcType));
            break;
    }
    return true;
}

void SinkFSM::ReleaseConfigRPCMem(int responseType, void* response) {
    switch (static_cast<unsigned int>(responseType)) {
        case RPC_UNEXPORT_RESP:
            FreeUnExportResp(response);
            break;
        case RPC_CREATE_EXPORT_RESP:
            FreeExportPathResp(response);
            break;
        case RPC_FILE_LOCK_RESP:
            FreeFileLockResp(response);
            break;
        case RPC_DRILL_HOLE_RESP:
            FreeDrillHoleResp(response);
            break;
        default:
            break;
    }
}

// Each release traces the record before deleting it: its address is not used once freed.
void FreeExportPathResp(void* record) {
    auto* response = static_cast<LumeExportPathResp*>(record);
    if (!response)
        return;
    free(response->share.path);
    free(response->message);
    OXLOG(10, 0, "LumeExportPathResp [%p] is deleted.", record);
    delete response;
}

void FreeUnExportResp(void* record) {
    auto* response = static_cast<LumeUnExportResp*>(record);
    if (!response)
        return;
    free(response->share.path);
    free(response->message);
    OXLOG(10, 0, "LumeUnExportResp [%p] is deleted.", record);
    delete response;
}

void FreeFileLockResp(void* record) {
    auto* response = static_cast<LumeLockResp*>(record);
    if (!response)
        return;
    free(response->filePath);
    free(response->exportPath);
    free(response->message);
    OXLOG(10, 0, "LumeLockResp [%p] is deleted.", record);
    delete response;
}

void FreeDrillHoleResp(void* record) {
    auto* response = static_cast<LumeSinkFSMDrillHoleResp*>(record);
    if (!response)
        return;
    free(response->sharePath);
    free(response->filePath);
    free(response->errorText);
    OXLOG(10, 0, "LumeSinkFSMDrillHoleResp [%p] is deleted.", record);
    delete response;
}
