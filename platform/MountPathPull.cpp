// OXMMmountPath: the pull of this machine's access list from HQ's folder.
#include "platform/MountPathPull.h"

#include <cerrno>
#include <cstring>

#include "platform/AtomicFile.h"
#include "platform/Directory.h"
#include "platform/FileSystemAgent.h"
#include "platform/LogWriter.h"
#include "platform/OXPlatformInfo.h"
#include "platform/StateDir.h"
#include "platform/StorageClientList.h"

namespace {

constexpr int kDataServerIPAccessList = 2;

// A client name becomes a file name: it must not climb out of the folder.
bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace

OXMMmountPath::OXMMmountPath(int kind) : m_kind(kind) {}

int OXMMmountPath::pullAndSaveDataServerIPAccessList(const std::string& clientName) {
    if (m_kind != kDataServerIPAccessList) {
        OXLOG(-1, 0, "No list of kind [%d] is kept on this machine.", m_kind);
        return EINVAL;
    }
    std::string folder;
    if (!OXPlatformInfo().getDirectory("Lume", "dHQConfigDir", &folder) || folder.empty()) {
        OXLOG(-1, 0, "No HQ configuration folder is set [Lume/dHQConfigDir].");
        return ENOENT;
    }
    if (!IsPlainFileName(clientName)) {
        OXLOG(-1, 0, "Client name [%s] cannot name an HQ configuration file.", clientName.c_str());
        return EINVAL;
    }
    std::string source = folder + "/" + clientName + ".json";
    std::string text;
    if (!ReadWholeFile(source, text)) {
        int err = errno;
        OXLOG(-1, 0, "Cannot read HQ configuration [%s]: %s", source.c_str(), strerror(err));
        return err;
    }
    MediaManager::StorageClientList list;
    if (!list.unserialize(text)) {
        OXLOG(-1, 0, "HQ configuration [%s] is not an access list.", source.c_str());
        return EINVAL;
    }
    CRaError made = CRaDirectory::Create(GetPlatformStateDir(), true);
    std::string target = OXPI_FileSystemAgent::SavedAccessListPath();
    if (made.IsError() || !ReplaceFileAtomically(target, text)) {
        int err = made.IsError() ? FXErrorUtil::GetErrNo(made) : errno;
        OXLOG(-1, 0, "Cannot save the access list [%s]: %s", target.c_str(), strerror(err));
        return err;
    }
    OXLOG(1, 0, "Saved the access list pulled from HQ [%s].", source.c_str());
    return 0;
}
