// Whether a client may export a path (job results directory, access list,
// library mount paths) or manage an export.
#include "module/exports/ExportAuthorization.h"

#include <list>

#include "host/LumeServiceGlobals.h"
#include "module/exports/SinkFSMExport.h"
#include "platform/FileSystemAgent.h"
#include "platform/LogWriter.h"
#include "platform/MountPathPull.h"
#include "platform/OXPlatformInfo.h"
#include "platform/PathContainment.h"
#include "platform/PathUtil.h"
#include "platform/StorageClientList.h"

namespace {

std::string PathForm(const std::string& path) {
    std::string form = RemoveDoubleDots(path, '/');
    if (form.empty() || form.back() != '/')
        form += '/';
    return form;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// Both in path form. The textual test decides for ordinary paths; the
// resolved test keeps a symbolic link from leading out of the directory.
bool LiesUnder(const std::string& path, const std::string& dir) {
    if (!StartsWith(path, dir))
        return false;
    if (ResolvesWithin(path, dir))
        return true;
    OXLOG(1, 0, "Export path [%s] resolves to [%s], outside [%s].", path.c_str(),
          ResolveExistingPart(path).c_str(), ResolveExistingPart(dir).c_str());
    return false;
}

bool ClientListed(const MediaManager::StorageToClientMap& entry, const std::string& client) {
    auto clients = entry.getlistobject<OxEntities::ClientEntity>(3, 6, 182920187, 4949512, true);
    for (const OxEntities::ClientEntity& listed : clients) {
        std::string name = listed.getstring(1, 1, 305124270, 11732214);
        if (!name.empty() && SameNameIgnoringCase(name, client))
            return true;
    }
    return false;
}

}  // namespace

bool IsAllowedToExport(std::string path, const std::string& client) {
    if (path.empty()) {
        OXLOG(1, 0, "An empty export path is not allowed.");
        return false;
    }
    path = PathForm(path);

    const std::string section = "Machines\\" + LumeServiceGlobals::clientName;
    const char key[] = "dJOBRESULTSDIR";
    std::string jobResults;
    if (OXPlatformInfo().getDirectory(section, key, &jobResults)) {
        if (!jobResults.empty() && jobResults.back() != '/')
            jobResults += '/';
        if (!jobResults.empty() && LiesUnder(path, jobResults))
            return true;
    } else {
        OXLOG(-1, 0, "Failed to get JobResults folder from registry [%s/%s].", section.c_str(),
              key);
    }

    unsigned long securityFixes = 1;
    OXPlatformInfo().getNumber("Lume", "nEnableSinkSecurityFixes", &securityFixes);
    if (securityFixes != 0)
        return IsClientAllowedToExport(path, client, true);
    return IsPartOfLibraryPath(path);
}

bool IsClientAllowedToExport(const std::string& exportPath, const std::string& client,
                             bool firstPass) {
    if (!firstPass &&
        OXMMmountPath(2).pullAndSaveDataServerIPAccessList(LumeServiceGlobals::clientName) != 0) {
        OXLOG(-1, 0, "Failed to pull configuration from HQ.");
        return false;
    }
    std::string text;
    if (!OXPI_FileSystemAgent().getStorageAndAccessClientListForLume(text)) {
        OXLOG(-1, 0, "Failed to load mount paths.");
        return firstPass && IsClientAllowedToExport(exportPath, client, false);
    }
    MediaManager::StorageClientList list(10, 189);
    list.unserialize(text);  // text that does not load reads as an empty list
    auto entries =
        list.getlistobject<MediaManager::StorageToClientMap>(1, 1, 183499716, 11551355, true);
    if (entries.empty()) {
        OXLOG(1, 0, "There are no saved mount paths. Will check with HQ.");
        return firstPass && IsClientAllowedToExport(exportPath, client, false);
    }

    // The last entry that holds the path decides alone.
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        const std::string& mountPath = entry->getstringByRef(2, 2, 182920187, 3433509);
        if (mountPath.empty())
            continue;
        std::string mount = PathForm(mountPath);
        if (!LiesUnder(exportPath, mount))
            continue;
        OXLOG(1, 0, "Mount path [%s] matches requested export path [%s]", mount.c_str(),
              exportPath.c_str());
        if (ClientListed(*entry, client)) {
            OXLOG(1, 0, "Client [%s] is allowed to export [%s]", client.c_str(), mount.c_str());
            return true;
        }
        if (firstPass) {
            OXLOG(1, 0, "Client [%s] is NOT allowed to export [%s]. Will check with HQ.",
                  client.c_str(), mount.c_str());
            return IsClientAllowedToExport(exportPath, client, false);
        }
        OXLOG(1, 0, "Client [%s] is NOT allowed to export [%s].", client.c_str(), mount.c_str());
        return false;
    }

    if (firstPass) {
        OXLOG(1, 0, "There are no matching mount paths. Will check with HQ.");
        return IsClientAllowedToExport(exportPath, client, false);
    }
    OXLOG(1, 0, "There are no matching mount paths.");
    return false;
}

bool IsPartOfLibraryPath(const std::string& path) {
    std::list<OXPI_FileSystemAgent::SMountPath> mounts;
    if (!OXPI_FileSystemAgent().getAllMagneticMountPaths(&mounts)) {
        OXLOG(-1, 0, "Failed to get mount paths.");
        return false;
    }
    for (const OXPI_FileSystemAgent::SMountPath& mount : mounts) {
        if (!mount.mountPath.empty() && LiesUnder(path, PathForm(mount.mountPath)))
            return true;
    }
    return false;
}

const char kNotAllowedText[] = "This path is not in allowed paths.";

bool IsThisMachine(const std::string& caller) {
    return !caller.empty() && caller == LumeServiceGlobals::clientName;
}

bool MayManageExport(const ExportPtr& exp, const std::string& caller) {
    if (IsThisMachine(caller))
        return true;
    SinkFSMExport* sinkExport = AsSinkFSMExport(exp);
    if (!sinkExport)
        return false;
    if (sinkExport->HasCreator(caller) || IsAllowedToExport(sinkExport->GetRealPath(), caller))
        return true;
    OXLOG(1, sinkExport->GetJobId(), "Client [%s] may not manage export [%s].", caller.c_str(),
          exp->GetPath().c_str());
    return false;
}

bool MayChangeExport(const ExportPtr& exp, const std::string& caller) {
    SinkFSMExport* sinkExport = AsSinkFSMExport(exp);
    return IsThisMachine(caller) || (sinkExport && sinkExport->HasCreator(caller));
}
