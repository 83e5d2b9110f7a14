// The create-export, unexport and keep-alive requests, and the host's
// removal of an export.
#include "module/exports/ExportRequests.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "host/ConfigRPCTypes.h"
#include "host/ExportCache.h"
#include "host/ExportPath.h"
#include "host/ExportRecords.h"
#include "host/Ganesha.h"
#include "host/LumeServiceGlobals.h"
#include "host/LumeStatus.h"
#include "host/ShareIdToPathCache.h"
#include "module/exports/ExportAuthorization.h"
#include "module/exports/ExportQuota.h"
#include "module/exports/RpcThreadCount.h"
#include "module/exports/SinkFSMExport.h"
#include "module/locks/SinkFSMLocks.h"
#include "platform/LogWriter.h"
#include "platform/PathContainment.h"
#include "platform/PathUtil.h"
#include "platform/SystemInfo.h"

OxCriticalSection exportSerializeCs;
OxCriticalSection exportLifetimeCs;
unsigned long long shareSequencer = 0;

namespace {

const char* OrEmpty(const char* text) {
    return text ? text : "";
}

void Refuse(LumeExportPathResp* response, LumeStatus status, const std::string& message) {
    response->status = static_cast<uint16_t>(status);
    response->message = strdup(message.c_str());
}

// The requested path in stored form with runs of '/' collapsed.
std::string SharePathOf(const std::string& requested) {
    std::string sharePath;
    ReverseNormalizeExportPath(requested, sharePath);
    RemoveDuplicates(sharePath, '/');
    return sharePath;
}

std::string RealPathOf(const std::string& sharePath) {
    if (!sharePath.empty() && sharePath[0] == '\\')
        return "\\" + sharePath;
    return sharePath;
}

std::string UniqueSuffix() {
    unsigned long long sequence;
    {
        OxCriticalSectionLock guard(&exportSerializeCs);
        sequence = ++shareSequencer;
    }
    char suffix[64];
    snprintf(suffix, sizeof suffix, "_%llu_%llu", GetRand64(), sequence);
    return suffix;
}

// Whom an unproved caller's missing dumps directory is made as: nobody,
// with no groups.
const OxUserToken kNobody{65534, 65534, {}};

// The clients of a new export whose request names none.
const char kEveryClient[] = "*";

// Refuses, before anything is made, what no caller may ask (a client list
// that is not one) and what an unproved caller may not: keeping root, which
// only this machine and proved peers may give NFS clients.
bool CheckRequest(const LumeExportPath& request, const std::string& caller,
                  LumeExportPathResp* response) {
    if ((request.perms & SHARE_PERM_ROOT) && caller.empty()) {
        OXLOG(1, request.jobId, "An unproved caller may not keep root (perms %d).", request.perms);
        Refuse(response, LUME_STATUS_PATH_NOT_ALLOWED, kNotAllowedText);
        return false;
    }
    std::string reason;
    if (request.clients && !AllowedClients::Check(request.clients, reason)) {
        OXLOG(1, request.jobId, "Bad client list: %s.", reason.c_str());
        Refuse(response, LUME_STATUS_INVALID_ARGUMENT, "Bad client list: " + reason + ".");
        return false;
    }
    return true;
}

// Builds the export and its root handle. Empty, with the response refused,
// when the directory or its handle cannot be had.
ExportPtr BuildExport(const LumeExportPath& request, const std::string& caller,
                      const std::string& sharePath, const std::string& realPath, uint32_t shareId,
                      LumeExportPathResp* response) {
    ExportPtr none;
    SinkFSMExport* created =
        new SinkFSMExport(sharePath, realPath, request.perms,
                          request.clients ? request.clients : kEveryClient, shareId, none);
    // The path was authorised for the caller; what it makes there is made
    // as the caller, so an unproved one makes nothing root could not.
    if (caller.empty())
        created->SetDirectoryMaker(kNobody);
    std::string error;
    int status = created->InitExportFileHandle(error);
    if (status != 0) {
        OXLOG(1, request.jobId,
              "Failed to create file handle. Failing export creation. Export Path [%s].",
              realPath.c_str());
        Refuse(response, status, error);
        delete created;
        return ExportPtr();
    }
    ExportPtr exp(created);
    exp->SetExpiryInterval(request.timeout);
    exp->SetNfsVersions("3");
    created->SetJobId(shareId);
    return exp;
}

// Registers a new export with NFS-Ganesha where the host serves NFS through
// it; on failure takes it out again.
bool PublishToGanesha(ExportPtr& exp, LumeExportPathResp* response) {
    if (!LumeServiceGlobals::isGanesha || CreateGaneshaExport(exp) == 0)
        return true;
    gAllExports->RemoveExport(exp);
    ShareIdToPathCache::FreeShareId(exp->GetShareId(), false);
    Refuse(response, LUME_STATUS_NFS_EXPORT_FAILED, "Creation of NFS export failed.");
    return false;
}

// What a request asks of an export that exists already.
struct ExportChange {
    std::string newClients;  // entries the export does not have yet; "" none
    bool perms = false;
    bool timeout = false;

    bool Any() const { return !newClients.empty() || perms || timeout; }
    // "clients", "perms and timeout", "clients, perms and timeout" ...
    std::string What() const {
        std::vector<std::string> parts;
        if (!newClients.empty())
            parts.push_back("clients");
        if (perms)
            parts.push_back("perms");
        if (timeout)
            parts.push_back("timeout");
        std::string what;
        for (size_t i = 0; i < parts.size(); ++i)
            what += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
        return what;
    }
};

// An omitted client list asks for no client.
ExportChange ChangeOf(const ExportPtr& exp, const LumeExportPath& request) {
    ExportChange change;
    if (request.clients) {
        std::string current;
        exp->GetAllowedClients(current);
        AllowedClients asked;
        asked.Fill(request.clients);
        asked.Remove(current);
        change.newClients = asked.ToString();
    }
    change.perms = request.perms != exp->GetSharePerms();
    change.timeout = static_cast<time_t>(request.timeout) * 60 != exp->GetExpiryInterval();
    return change;
}

// Applies a change whole or not at all: clients and perms go to Ganesha
// first where it serves NFS, and are taken back when it refuses them.
bool ApplyChange(ExportPtr& exp, const LumeExportPath& request, const ExportChange& change,
                 LumeExportPathResp* response) {
    const SharePerms permsBefore = exp->GetSharePerms();
    exp->FillAllowedClients(change.newClients);
    exp->SetSharePerms(request.perms);
    bool published = !LumeServiceGlobals::isGanesha ||
                     (change.newClients.empty() && !change.perms) || UpdateGaneshaExport(exp) == 0;
    if (!published) {
        exp->RemoveAllowedClients(change.newClients);
        exp->SetSharePerms(permsBefore);
        Refuse(response, LUME_STATUS_NFS_EXPORT_FAILED, "Creation of NFS export failed.");
        return false;
    }
    if (change.timeout)
        exp->SetExpiryInterval(request.timeout);
    return true;
}

// A request for an export that exists adds a reference to it. Only who may
// change the export (MayChangeExport) may add clients or change its perms
// or timeout; anyone else who may export the path may only ask for it as
// it is.
bool Reuse(ExportPtr& exp, const LumeExportPath& request, const std::string& caller,
           LumeExportPathResp* response) {
    const ExportChange change = ChangeOf(exp, request);
    if (!change.Any())
        return true;
    if (MayChangeExport(exp, caller)) {
        OXLOG(1, JobIdOf(exp), "Export [%s] changes its %s.", exp->GetPath().c_str(),
              change.What().c_str());
        return ApplyChange(exp, request, change, response);
    }
    const std::string why = "Share [" + exp->GetPath() + "] is exported with other " +
                            change.What() + "; only this machine or its creator may change them.";
    OXLOG(1, request.jobId, "%s", why.c_str());
    Refuse(response, LUME_STATUS_PATH_NOT_ALLOWED, why);
    return false;
}

}  // namespace

void CreateNewExport(void* requestRecord, const std::string& caller, char*& responseRecord,
                     size_t& responseLength, int& responseType) {
    const LumeExportPath& request = *static_cast<const LumeExportPath*>(requestRecord);
    responseLength = sizeof(LumeExportPathResp);
    responseType = RPC_CREATE_EXPORT_RESP;
    LumeExportPathResp* response = new LumeExportPathResp();
    responseRecord = reinterpret_cast<char*>(response);
    OXLOG(10, 0, "LumeExportPathResp [%p] is created.", static_cast<void*>(response));
    OXLOG(1, request.jobId, "Export Request [%s]", LumeExportPathtoStr(request).c_str());
    if (!CheckRequest(request, caller, response))
        return;

    const std::string requested = OrEmpty(request.path);
    std::string sharePath = SharePathOf(requested);
    // Judged as it will be served: resolved once, and served as resolved.
    const std::string realPath = ResolveExistingPart(RealPathOf(sharePath));
    if (realPath.empty()) {
        OXLOG(1, request.jobId, "Export path [%s] cannot be resolved.", sharePath.c_str());
        Refuse(response, LUME_STATUS_EXPORT_PATH_FAILED, "Export path does not exist.");
        return;
    }
    if (!IsThisMachine(caller) && !IsAllowedToExport(realPath, caller)) {
        OXLOG(1, request.jobId, "Export path [%s] is not in allowed paths.", realPath.c_str());
        Refuse(response, LUME_STATUS_PATH_NOT_ALLOWED, kNotAllowedText);
        return;
    }
    if (request.uniqueName)
        sharePath += UniqueSuffix();

    OxCriticalSectionLock lifetime(&exportLifetimeCs);
    // Judged before a share id is drawn: a refused path leaves nothing.
    ExportPtr exp;
    gAllExports->FindExport(sharePath, exp);
    if (const QuotaRefusal* refusal = AdmitReference(caller, exp, request.jobId)) {
        Refuse(response, refusal->status, refusal->text);
        return;
    }
    uint32_t shareId = ShareIdToPathCache::GetShareIdForPath(sharePath, true, false);
    if (gAllExports->FindExport(shareId, exp) && exp) {
        if (!Reuse(exp, request, caller, response))
            return;
        exp->IncrRefCount();
        if (SinkFSMExport* sinkExport = AsSinkFSMExport(exp))
            sinkExport->AddReference(caller);
        exp->SetLastAccessTime(time(nullptr));  // a use, as a keep-alive is
    } else {
        exp = BuildExport(request, caller, sharePath, realPath, shareId, response);
        if (!exp)
            return;
        gAllExports->AddExport(exp);
        OXLOG(1, JobIdOf(exp), "Adding export [%s : %s] first time.", requested.c_str(),
              sharePath.c_str());
        exp->IncrRefCount();
        if (SinkFSMExport* sinkExport = AsSinkFSMExport(exp)) {
            sinkExport->AddCreator(caller);
            sinkExport->AddReference(caller);
        }
        if (!PublishToGanesha(exp, response))
            return;
    }
    ExportToLumeShare(exp, response->share);
    UpdateNFSRpcThreadCount();
}

namespace {

std::string RequestedSharePath(void* requestRecord) {
    std::string sharePath;
    ReverseNormalizeExportPath(OrEmpty(static_cast<const LumeExportPath*>(requestRecord)->path),
                               sharePath);
    return sharePath;
}

}  // namespace

void UnExport(void* requestRecord, const std::string& caller, char*& responseRecord,
              size_t& responseLength, int& responseType) {
    responseLength = sizeof(LumeUnExportResp);
    responseType = RPC_UNEXPORT_RESP;
    LumeUnExportResp* response = new LumeUnExportResp();
    responseRecord = reinterpret_cast<char*>(response);
    OXLOG(10, 0, "LumeUnExportResp [%p] is created.", static_cast<void*>(response));

    // Only reverse-normalised: the share path is the one the create response gave.
    const std::string sharePath = RequestedSharePath(requestRecord);
    OXLOG(1, 0, "UnExport Request [%s]", sharePath.c_str());

    OxCriticalSectionLock lifetime(&exportLifetimeCs);
    ExportPtr exp;
    if (!gAllExports->FindExport(sharePath, exp) || !exp) {
        OXLOG(1, 0, "Given share [%s] is not found in export table.", sharePath.c_str());
        response->status = LUME_STATUS_SHARE_NOT_EXPORTED;
        response->message = strdup("Share not exported.");
        return;
    }
    if (!MayManageExport(exp, caller)) {
        response->status = LUME_STATUS_PATH_NOT_ALLOWED;
        response->message = strdup(kNotAllowedText);
        return;
    }
    if (SinkFSMExport* sinkExport = AsSinkFSMExport(exp))
        sinkExport->DropReference(caller);
    if (exp->DecrRefCount() == 0) {
        if (LumeServiceGlobals::isGanesha)
            ManageGaneshaExport(GANESHA_EXPORT_REMOVE, exp->GetShareId());
        OXLOG(1, 0, "Share [%s] is being unexported. Will force unmount any lingering clients.",
              sharePath.c_str());
        ShareIdToPathCache::FreeShareId(exp->GetShareId(), false);
        if (SinkFSMExport* sinkExport = AsSinkFSMExport(exp))
            ReleaseAllLocks(sinkExport);
        gAllExports->RemoveExport(exp);
    }
    ExportToLumeShare(exp, response->share);
}

void KeepAlive(void* requestRecord, const std::string& caller, char*& responseRecord,
               size_t& responseLength, int& responseType) {
    responseLength = 0;
    responseType = 0;
    responseRecord = nullptr;

    const std::string sharePath = RequestedSharePath(requestRecord);
    OXLOG(2, 0, "KepAlive Request [%s]", sharePath.c_str());
    ExportPtr exp;
    if (gAllExports->FindExport(sharePath, exp) && exp) {
        if (MayManageExport(exp, caller))
            exp->SetLastAccessTime(time(nullptr));
    } else {
        OXLOG(1, 0, "Given share [%s] is not found in export table.", sharePath.c_str());
    }
}

void RemoveExport(ExportPtr& exp) {
    const std::string path = exp->GetPath();
    OxCriticalSectionLock lifetime(&exportLifetimeCs);
    // Another removal may have won the race (an unexport request while the
    // host's sweep held this export): tearing it down again would free a
    // share id and release locks that may now belong to a new export of the
    // same path.
    ExportPtr current;
    if (!gAllExports->FindExport(exp->GetShareId(), current) || current != exp) {
        OXLOG(1, 0, "Export [%s] is no longer in the export table; nothing to remove.",
              path.c_str());
        return;
    }
    OXLOG(1, 0, "Share [%s] is being unexported. Will force unmount any lingering clients.",
          path.c_str());
    ShareIdToPathCache::FreeShareId(exp->GetShareId(), false);
    if (SinkFSMExport* sinkExport = AsSinkFSMExport(exp))
        ReleaseAllLocks(sinkExport);
    if (LumeServiceGlobals::isGanesha)
        ManageGaneshaExport(GANESHA_EXPORT_REMOVE, exp->GetShareId());
    gAllExports->RemoveExport(exp);
    OXLOG(1, JobIdOf(exp), "Export [%s] is removed from global export cache.", path.c_str());
}
