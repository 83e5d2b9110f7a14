#include "locks/SinkFSMLocks.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "exports/SinkFSMExport.h"
#include "host/FileLock.h"
#include "locks/SystemErrorText.h"
#include "module/SinkFSM.h"
#include "platform/BeneathPath.h"
#include "platform/LogWriter.h"
#include "platform/UniqueFileId.h"

namespace {

// The export is going whatever happens here, so a failed release is only
// reported; the descriptor reference goes back all the same.
void ReleaseGrant(const std::string& key, int fd, bool shared, unsigned long fileId,
                  const std::string& exportPath) {
    if (ReleaseLock(fd, shared) == -1) {
        int err = errno;
        OXLOG(-1, 0,
              "ERROR: file unlock failed. Ignoring error as we are un-exporting the share. File "
              "[%s] fd [%d] Export [%s] Error [%d:%s]",
              key.c_str(), fd, exportPath.c_str(), err, SystemErrorText(err).c_str());
    } else {
        OXLOG(5, 0, "INFO: File [%s] fd [%d] unlocked.", key.c_str(), fd);
    }
    SinkFSM::GetFSM()->GetFileDescriptorCache()->Close(fd, key.c_str(), fileId);
}

// The id the descriptor cache knows the lock's file by: that of its
// descriptor, or, should that fail, of what key names beneath the export. A
// failed lookup leaves 0, which no cache entry has, so Close then only
// reports the miss.
unsigned long FileIdOf(const SinkFSMExport& exp, const std::string& key, int fd) {
    unsigned long fileId = 0;
    struct stat st;
    if (GetUniqueFileIdOfDescriptor(fd, fileId, st) == 0)
        return fileId;
    boost::shared_ptr<const BeneathRoot> root = exp.GetRoot();
    std::string relative;
    if (root && root->Relative(key, relative)) {
        UniqueFd file(root->Open(relative, O_PATH | O_NOFOLLOW));
        if (file.Valid())
            GetUniqueFileIdOfDescriptor(file.Get(), fileId, st);
    }
    return fileId;
}

void ReleaseWriteLocks(const SinkFSMExport& exp, const std::string& exportPath) {
    SinkFSM::FileLockMap& table = SinkFSM::fileLockMap;
    for (auto entry = table.begin(); entry != table.end();) {
        if (entry->second->exportPath != exportPath) {
            ++entry;
            continue;
        }
        int fd = entry->second->fd;
        ReleaseGrant(entry->first, fd, false, FileIdOf(exp, entry->first, fd), exportPath);
        entry = table.erase(entry);
    }
}

void ReleaseReadLocks(const SinkFSMExport& exp, const std::string& exportPath) {
    SinkFSM::FileReadLockMap& table = SinkFSM::fileReadLockMap;
    for (auto entry = table.begin(); entry != table.end();) {
        if (entry->second->exportPath != exportPath) {
            ++entry;
            continue;
        }
        // Every reader holds its own cache reference, so each gives one back.
        for (const auto& reader : entry->second->owners)
            ReleaseGrant(entry->first, reader.second, true,
                         FileIdOf(exp, entry->first, reader.second), exportPath);
        entry = table.erase(entry);
    }
}

}  // namespace

void ReleaseAllLocks(SinkFSMExport* exp) {
    // Keeps the walk apart from lock requests. Safe to wait here: the removal
    // paths hold only exportLifetimeCs, which no lock request takes.
    OxCriticalSectionLock noLockRequests(&SinkFSM::fileLockCSec);
    const std::string exportPath = exp->GetPath();
    ReleaseWriteLocks(*exp, exportPath);
    ReleaseReadLocks(*exp, exportPath);
}
