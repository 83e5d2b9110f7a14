#include "locks/SinkFSMLocks.h"

#include <cerrno>
#include <string>

#include "exports/SinkFSMExport.h"
#include "host/FileLock.h"
#include "locks/SystemErrorText.h"
#include "module/SinkFSM.h"
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

// The id the descriptor cache knows the file by; a failed lookup leaves 0,
// which no cache entry has, so Close then only reports the miss.
unsigned long FileIdOf(const std::string& key) {
    unsigned long fileId = 0;
    GetUniqueFileId(key, fileId);
    return fileId;
}

void ReleaseWriteLocks(const std::string& exportPath) {
    SinkFSM::FileLockMap& table = SinkFSM::fileLockMap;
    for (auto entry = table.begin(); entry != table.end();) {
        if (entry->second->exportPath != exportPath) {
            ++entry;
            continue;
        }
        ReleaseGrant(entry->first, entry->second->fd, false, FileIdOf(entry->first), exportPath);
        entry = table.erase(entry);
    }
}

void ReleaseReadLocks(const std::string& exportPath) {
    SinkFSM::FileReadLockMap& table = SinkFSM::fileReadLockMap;
    for (auto entry = table.begin(); entry != table.end();) {
        if (entry->second->exportPath != exportPath) {
            ++entry;
            continue;
        }
        unsigned long fileId = FileIdOf(entry->first);
        // Every reader holds its own cache reference, so each gives one back.
        for (const auto& reader : entry->second->owners)
            ReleaseGrant(entry->first, reader.second, true, fileId, exportPath);
        entry = table.erase(entry);
    }
}

}  // namespace

void ReleaseAllLocks(SinkFSMExport* exp) {
    // Keeps the walk apart from lock requests. Safe to wait here: the removal
    // paths hold only exportLifetimeCs, which no lock request takes.
    OxCriticalSectionLock noLockRequests(&SinkFSM::fileLockCSec);
    const std::string exportPath = exp->GetPath();
    ReleaseWriteLocks(exportPath);
    ReleaseReadLocks(exportPath);
}
