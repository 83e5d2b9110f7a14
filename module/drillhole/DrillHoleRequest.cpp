// The drill-hole request: punch a hole in a file under an export, as the
// export's user, through the module's shared descriptor cache.
#include <cstring>
#include <memory>
#include <new>

#include "host/ConfigRPCTypes.h"
#include "host/DrillHoleRecords.h"
#include "host/ExportCache.h"
#include "host/ExportPath.h"
#include "host/LumeCtxt.h"
#include "module/SinkFSM.h"
#include "module/backend/SinkBkEndObj.h"
#include "module/exports/ExportAuthorization.h"
#include "module/exports/ExportFilePath.h"
#include "module/exports/SinkFSMExport.h"
#include "platform/CImpersonator.h"
#include "platform/LogWriter.h"
#include "platform/OxException.h"

namespace {

const char kShareReadOnly[] = "Share is not writable.";

void PopulateDrillHoleResponse(LumeSinkFSMDrillHoleResp* response, LumeStatus status,
                               const char* filePath, const char* sharePath, const char* errorText) {
    response->status = status;
    if (errorText)
        response->errorText = strdup(errorText);
    if (sharePath)
        response->sharePath = strdup(sharePath);
    if (filePath)
        response->filePath = strdup(filePath);
}

std::string Converted(const char* path) {
    std::string out;
    ReverseNormalizeExportPath(path ? path : "", out);
    return out;
}

}  // namespace

bool SinkFSM::HandleDrillHoleRequest(void* requestRecord, char*& responseRecord,
                                     size_t& responseLength, int& responseType,
                                     const std::string& caller) {
    const auto& request = *static_cast<const LumeSinkFSMDrillHoleReq*>(requestRecord);
    auto* response = new LumeSinkFSMDrillHoleResp();
    responseRecord = reinterpret_cast<char*>(response);
    responseType = RPC_DRILL_HOLE_RESP;
    responseLength = sizeof(LumeSinkFSMDrillHoleResp);

    const std::string sharePath = Converted(request.sharePath);
    const std::string filePath = Converted(request.filePath);
    const char* share = sharePath.c_str();
    const char* file = filePath.c_str();
    OXLOG(4, 0, "INFO: Received DrillHole in [%s:%s]. Size [%llu] Offset [%llu]", share, file,
          static_cast<unsigned long long>(request.size),
          static_cast<unsigned long long>(request.offset));

    ExportPtr exp;
    SinkFSMExport* sinkExport =
        gAllExports->FindExport(sharePath, exp) ? AsSinkFSMExport(exp) : nullptr;
    if (!sinkExport) {
        OXLOG(-1, 0, "ERROR: Failed to drill hole in [%s:%s]. Err: Share [%s] not found.", share,
              file, share);
        PopulateDrillHoleResponse(response, LUME_STATUS_SHARE_NOT_FOUND, file, share,
                                  "share not found for given share path");
        return false;
    }
    if (!MayManageExport(exp, caller)) {
        PopulateDrillHoleResponse(response, LUME_STATUS_PATH_NOT_ALLOWED, file, share,
                                  kNotAllowedText);
        return false;
    }
    // A hole changes the file: never in an export that does not allow writing.
    if (!(exp->GetSharePerms() & SHARE_PERM_WRITE)) {
        OXLOG(-1, 0, "ERROR: Failed to drill hole in [%s:%s]. Err: %s", share, file,
              kShareReadOnly);
        PopulateDrillHoleResponse(response, LUME_STATUS_FAILURE, file, share, kShareReadOnly);
        return false;
    }
    std::string absolutePath;
    if (!ExportFilePath(sinkExport->GetRealPath(), filePath, absolutePath)) {
        OXLOG(-1, 0, "ERROR: Failed to drill hole in [%s:%s]. Err: %s.", share, file,
              kPathOutsideExport);
        PopulateDrillHoleResponse(response, LUME_STATUS_INVALID_ARGUMENT, file, share,
                                  kPathOutsideExport);
        return false;
    }
    std::unique_ptr<SinkBkEndObj> object(new (std::nothrow) SinkBkEndObj(exp, absolutePath));
    if (!object) {
        OXLOG(-1, 0, "ERROR: Failed to allocate backend object for [%s].", file);
        PopulateDrillHoleResponse(response, LUME_STATUS_FAILURE, file, share, "No Memory.");
        return false;
    }

    LumeCtxt ctx(IdInfo(), exp, boost::shared_ptr<BkEndProc>());
    int status = -1;
    std::string errorText;
    const char* responseError = nullptr;
    try {
        CImpersonator impersonator(exp->GetImpersUserToken(), false);
        // An object whose file id could not be had must not reach the
        // descriptor cache under that failed id: answer as a failed open.
        if (object->IsInitSuccess())
            status = object->DrillHole(&ctx, absolutePath.c_str(),
                                       static_cast<long long>(request.offset),
                                       static_cast<long long>(request.size), errorText);
        object.reset();
        if (status != 0) {
            OXLOG(-1, 0, "ERROR: Failed to drill hole in [%s:%s]. Err [%d:%s]", share,
                  absolutePath.c_str(), status, errorText.c_str());
            responseError = errorText.c_str();
        } else {
            OXLOG(4, 0, "INFO: Successfully drilled a hole in [%s:%s]. Absolute Path [%s]", share,
                  file, absolutePath.c_str());
        }
    } catch (const OxException&) {
        object.reset();
        OXLOG(-1, 0, "Impersonation failed.");
        errno = EACCES;
        status = LUME_STATUS_IMPERSONATION_FAILED;
        responseError = "Impersonation Failed";
    }
    PopulateDrillHoleResponse(response, status, file, share, responseError);
    return true;
}
