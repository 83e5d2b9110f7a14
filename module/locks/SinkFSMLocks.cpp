// Releasing an export's locks when it goes, and the copy of every lock for
// the host's listings.
#include "module/locks/SinkFSMLocks.h"

#include <cerrno>
#include <string>

#include "host/FileLock.h"
#include "module/SinkFSM.h"
#include "module/exports/SinkFSMExport.h"
#include "platform/ErrorText.h"
#include "platform/LogWriter.h"

namespace {

// The export is going whatever happens here, so a failed release is only
// reported; the descriptor reference goes back all the same. path is the
// one the grant was taken under.
void ReleaseGrant(const std::string& path, int fd, bool shared, unsigned long fileId,
                  const std::string& exportPath) {
    if (ReleaseLock(fd, shared) == -1) {
        int err = errno;
        OXLOG(-1, 0,
              "ERROR: file unlock failed. Ignoring error as we are un-exporting the share. File "
              "[%s] fd [%d] Export [%s] Error [%d:%s]",
              path.c_str(), fd, exportPath.c_str(), err, ErrorText(err).c_str());
    } else {
        OXLOG(5, 0, "INFO: File [%s] fd [%d] unlocked.", path.c_str(), fd);
    }
    SinkFSM::GetFSM()->GetFileDescriptorCache()->Close(fd, path.c_str(), fileId);
}

void ReleaseWriteLocks(const std::string& exportPath) REQUIRES(SinkFSM::fileLockCSec) {
    SinkFSM::FileLockMap& table = SinkFSM::fileLockMap;
    for (auto entry = table.begin(); entry != table.end();) {
        const SinkFSMLockInfo& record = *entry->second;
        if (record.exportPath != exportPath) {
            ++entry;
            continue;
        }
        ReleaseGrant(record.takenUnder, record.fd, false, LockKeyFileId(entry->first), exportPath);
        entry = table.erase(entry);
    }
}

// Readers through other exports keep the file's shared lock: only this
// export's readers' cache references go back.
void LeaveReadLock(SinkFSMReadLockInfo& record, unsigned long fileId,
                   const std::string& exportPath) {
    SinkFSMFileDescriptorCache& cache = *SinkFSM::GetFSM()->GetFileDescriptorCache();
    for (auto reader = record.owners.begin(); reader != record.owners.end();) {
        if (reader->second.exportPath != exportPath) {
            ++reader;
            continue;
        }
        cache.Close(reader->second.fd, reader->second.takenUnder.c_str(), fileId);
        reader = record.owners.erase(reader);
    }
}

void ReleaseReadLocks(const std::string& exportPath) REQUIRES(SinkFSM::fileLockCSec) {
    SinkFSM::FileReadLockMap& table = SinkFSM::fileReadLockMap;
    for (auto entry = table.begin(); entry != table.end();) {
        const auto& owners = entry->second->owners;
        const unsigned long fileId = LockKeyFileId(entry->first);
        size_t mine = 0;
        for (const auto& reader : owners)
            mine += reader.second.exportPath == exportPath;
        if (mine < owners.size()) {
            LeaveReadLock(*entry->second, fileId, exportPath);
            ++entry;
            continue;
        }
        // Every reader holds its own cache reference, so each gives one back.
        for (const auto& reader : owners)
            ReleaseGrant(reader.second.takenUnder, reader.second.fd, true, fileId, exportPath);
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

std::vector<HeldLock> SnapshotLocks() {
    OxCriticalSectionLock noLockRequests(&SinkFSM::fileLockCSec);
    std::vector<HeldLock> locks;
    for (const auto& entry : SinkFSM::fileLockMap) {
        const SinkFSMLockInfo& record = *entry.second;
        locks.push_back({record.exportPath, record.lockOwner, false, record.takenUnder});
    }
    for (const auto& entry : SinkFSM::fileReadLockMap)
        for (const auto& reader : entry.second->owners)
            locks.push_back(
                {reader.second.exportPath, reader.first, true, reader.second.takenUnder});
    return locks;
}
