// The lock request: check it, find its export, and run one lock operation
// with the lock tables held. Also defines the tables, in the order the
// module's static initialisation must build them.
#include <string>

#include "host/ConfigRPCTypes.h"
#include "host/ExportCache.h"
#include "host/ExportPath.h"
#include "host/LumeLockRecords.h"
#include "module/SinkFSM.h"
#include "module/exports/ExportAuthorization.h"
#include "module/exports/SinkFSMExport.h"
#include "platform/LogWriter.h"

SinkFSM::FileLockMap SinkFSM::fileLockMap;
SinkFSM::FileReadLockMap SinkFSM::fileReadLockMap;
OxCriticalSection SinkFSM::fileLockCSec;

namespace {

const char kInvalidArgument[] = "invalid argument";

std::string StoredForm(const char* path) {
    std::string out;
    ReverseNormalizeExportPath(path, out);
    return out;
}

void RefuseAsInvalid(LumeLockResp* response) {
    PopulateFileLockResponse(response, LUME_STATUS_INVALID_ARGUMENT, nullptr, nullptr,
                             kInvalidArgument, 0);
}

}  // namespace

bool SinkFSM::ValidateLockRequest(LumeLockRequest* request, LumeLockResp* response) {
    if (request->filePath && request->exportPath)
        return true;
    RefuseAsInvalid(response);
    return false;
}

bool SinkFSM::HandleLockRequest(void* requestRecord, char*& responseRecord, size_t& responseLength,
                                int& responseType, const std::string& caller) {
    // Who may, before the tables are held: the answer may take a pull from HQ.
    auto* request = static_cast<LumeLockRequest*>(requestRecord);
    ExportPtr allowed;
    if (request->exportPath && gAllExports->FindExport(StoredForm(request->exportPath), allowed) &&
        !MayManageExport(allowed, caller))
        allowed.reset();
    OxCriticalSectionLock oneRequestAtATime(&fileLockCSec);
    auto* response = new LumeLockResp();
    responseRecord = reinterpret_cast<char*>(response);
    responseType = RPC_FILE_LOCK_RESP;
    responseLength = sizeof(LumeLockResp);

    if (!ValidateLockRequest(request, response)) {
        OXLOG(-1, 0, "ERROR: invalid argument");
        return false;
    }
    const std::string exportPath = StoredForm(request->exportPath);
    const std::string filePath = StoredForm(request->filePath);
    const unsigned long long lockOwner = request->lockOwner;

    // Another module's export under the path is answered like no export:
    // none of these operations applies to it.
    ExportPtr exp;
    SinkFSMExport* sinkExport =
        gAllExports->FindExport(exportPath, exp) ? AsSinkFSMExport(exp) : nullptr;
    if (!sinkExport) {
        PopulateFileLockResponse(response, LUME_STATUS_SHARE_NOT_FOUND, filePath.c_str(),
                                 exportPath.c_str(), "share not found for given share path", 0);
        return false;
    }
    // Judged on this very export: one made meanwhile for the path is judged anew.
    if (exp != allowed) {
        PopulateFileLockResponse(response, LUME_STATUS_PATH_NOT_ALLOWED, filePath.c_str(),
                                 exportPath.c_str(), kNotAllowedText, 0);
        return false;
    }

    switch (request->operation) {
        case LUME_LOCK_WRITE:
            sinkExport->LockFile(exp, exportPath, filePath, lockOwner, response, false);
            return true;
        case LUME_LOCK_UNLOCK:
            sinkExport->UnLockFile(exp, exportPath, filePath, lockOwner, response);
            return true;
        case LUME_LOCK_STATUS:
            sinkExport->GetLockStatus(exp, exportPath, filePath, lockOwner, response);
            return true;
        case LUME_LOCK_READ:
            sinkExport->LockFile(exp, exportPath, filePath, lockOwner, response, true);
            return true;
        default:
            RefuseAsInvalid(response);
            return false;
    }
}
