// The lock operations of an export: lock, unlock, upgrade, downgrade and
// status on one file, run by the lock request handler with
// SinkFSM::fileLockCSec held. Lock and unlock work as the export's user.
// A request's path is resolved once, beneath the export, to the file's
// identity, which keys the tables. Unlock and status by a path that no
// longer resolves fall back to the grants taken under that very path.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>
#include <string>

#include <boost/make_shared.hpp>

#include "host/FileLock.h"
#include "host/LumeLockRecords.h"
#include "module/SinkFSM.h"
#include "module/backend/SinkBkEndObj.h"
#include "module/exports/ExportFilePath.h"
#include "module/exports/SinkFSMExport.h"
#include "platform/CImpersonator.h"
#include "platform/ErrorText.h"
#include "platform/LogWriter.h"
#include "platform/OxException.h"

namespace {

// One request as the operations see it: who asks, about which file, and
// where the answer goes. Every fill of the answer copies both paths.
struct LockCall {
    ExportPtr& self;
    const std::string& exportPath;
    const std::string& filePath;
    unsigned long long owner;
    LumeLockResp* response;
    unsigned long jobId;
    std::string path;  // the full path, for messages and records
    std::string key;   // the file's place in the lock tables, once resolved

    const char* File() const { return filePath.c_str(); }
    void Reply(LumeStatus status, const char* message, unsigned long long replyOwner) const {
        PopulateFileLockResponse(response, status, filePath.c_str(), exportPath.c_str(), message,
                                 replyOwner);
    }
};

// How a step under the export user's identity ended: refused (result
// false), answered in full (result true), or a lock taken or given back
// that the caller reports once the identity is restored.
enum class Outcome { kRefused, kAnswered, kChanged };

SinkFSMFileDescriptorCache& DescriptorCache() {
    return *SinkFSM::GetFSM()->GetFileDescriptorCache();
}

// The normalised full path. False when the path leaves the export, which is
// refused before anything is touched.
bool MakePath(const SinkFSMExport& exp, LockCall& call) {
    if (ExportFilePath(exp.GetRealPath(), call.filePath, call.path))
        return true;
    OXLOG(-1, call.jobId, "ERROR: File [%s] is outside export [%s]. Request refused.", call.File(),
          call.exportPath.c_str());
    call.Reply(LUME_STATUS_INVALID_ARGUMENT, kPathOutsideExport, 0);
    return false;
}

bool ImpersonationFailed(const LockCall& call) {
    OXLOG(-1, 0, "Impersonation failed.");
    call.Reply(LUME_STATUS_IMPERSONATION_FAILED, "Impersonation Failed", call.owner);
    errno = EACCES;
    return false;
}

Outcome NoObject(const LockCall& call) {
    OXLOG(-1, 0, "ERROR: Failed to allocate backend object for [%s].", call.File());
    call.Reply(LUME_STATUS_FAILURE, "No Memory.", 0);
    return Outcome::kRefused;
}

// Found only beneath the export, through no symbolic link; not initialised
// when the path does not resolve now, null when it could not be allocated.
// A resolved object's identity becomes the call's key.
std::unique_ptr<SinkBkEndObj> Resolve(LockCall& call) {
    std::unique_ptr<SinkBkEndObj> object(new (std::nothrow) SinkBkEndObj(call.self, call.path));
    if (object && object->IsInitSuccess())
        call.key = LockKey(object->GetFileChecksum());
    return object;
}

// Runs step under the export user's identity, which ends before the
// caller reports. errno is what step left, whatever switching back did to
// it. False when the identity could not be taken on.
template <typename Step>
bool AsExportUser(const SinkFSMExport& exp, Step step, Outcome& outcome)
    REQUIRES(SinkFSM::fileLockCSec) {
    int err = 0;
    try {
        CImpersonator asExportUser(exp.GetImpersUserToken(), false);
        outcome = step();
        err = errno;
    } catch (const OxException&) {
        return false;
    }
    errno = err;
    return true;
}

Outcome RefuseMissingFile(const LockCall& call) {
    int err = errno;
    OXLOG(-1, call.jobId, "ERROR: Given file [%s] not found under export [%s]. Error [%d:%s]",
          call.File(), call.exportPath.c_str(), err, ErrorText(err).c_str());
    call.Reply(LUME_STATUS_FILE_NOT_FOUND, "Given file path not found", 0);
    errno = err;
    return Outcome::kRefused;
}

Outcome ToOutcome(bool result) {
    return result ? Outcome::kAnswered : Outcome::kRefused;
}

// A lock request on a write-locked file.
Outcome LockWriteLocked(SinkFSMExport& exp, const LockCall& call,
                        SinkFSM::FileLockMap::iterator entry, bool readLock)
    REQUIRES(SinkFSM::fileLockCSec) {
    unsigned long long holder = entry->second->lockOwner;
    if (holder != call.owner) {
        OXLOG(-1, call.jobId, "ERROR: File [%s] is write locked by other lockOwner [%llu].",
              call.File(), holder);
        call.Reply(LUME_STATUS_LOCKED_BY_OTHER, "File is write locked", holder);
        return Outcome::kRefused;
    }
    if (readLock)
        return ToOutcome(exp.DowngradeLock(call.self, call.exportPath, call.filePath, call.owner,
                                           call.response, entry));
    OXLOG(1, call.jobId, "INFO: File [%s] is write locked by same owner [%llu].", call.File(),
          call.owner);
    call.Reply(LUME_STATUS_LOCK_GRANTED, "File is write locked", call.owner);
    return Outcome::kAnswered;
}

// A write request on a read-locked file: only a lone reader asking for
// itself gets it, by conversion.
Outcome WriteOnReadLocked(SinkFSMExport& exp, const LockCall& call,
                          SinkFSM::FileReadLockMap::iterator entry)
    REQUIRES(SinkFSM::fileLockCSec) {
    const auto& owners = entry->second->owners;
    unsigned long long first = owners.begin()->first;
    if (owners.size() > 1) {
        OXLOG(-1, call.jobId, "ERROR: File [%s] is read locked by other lockOwners.", call.File());
        call.Reply(LUME_STATUS_LOCKED_BY_OTHER, "File is read locked", first);
        return Outcome::kRefused;
    }
    if (first == call.owner)
        return ToOutcome(exp.UpgradeLock(call.self, call.exportPath, call.filePath, call.owner,
                                         call.response, entry));
    OXLOG(-1, call.jobId, "ERROR: File [%s] is read locked by lock owner [%llu].", call.File(),
          first);
    call.Reply(LUME_STATUS_LOCKED_BY_OTHER, "File is read locked", first);
    return Outcome::kRefused;
}

void RecordGrant(const LockCall& call, int fd, bool readLock) REQUIRES(SinkFSM::fileLockCSec) {
    if (!readLock) {
        SinkFSM::fileLockMap[call.key] =
            boost::make_shared<SinkFSMLockInfo>(fd, call.owner, call.exportPath, call.path);
        return;
    }
    auto& readers = SinkFSM::fileReadLockMap[call.key];
    if (!readers)
        readers = boost::make_shared<SinkFSMReadLockInfo>(call.exportPath);
    readers->owners[call.owner] = SinkFSMReadGrant{fd, call.exportPath, call.path};
}

// Opens the file through the descriptor cache and locks that descriptor;
// the descriptor stays open for the grant's record.
Outcome OpenAndLock(const LockCall& call, const SinkBkEndObj& object, bool readLock)
    REQUIRES(SinkFSM::fileLockCSec) {
    unsigned long fileId = object.GetFileChecksum();
    int fd = DescriptorCache().Open(object.GetDescriptor(), call.path.c_str(), O_RDWR, fileId);
    if (fd < 0) {
        int err = errno;
        OXLOG(-1, call.jobId, "ERROR: Failed to open given file [%s]. Error [%d:%s]", call.File(),
              err, ErrorText(err).c_str());
        call.Reply(LUME_STATUS_FAILURE, "failed to open the file", 0);
        errno = err;
        return Outcome::kRefused;
    }
    if (GetLock(fd, readLock) == -1) {
        int err = errno;
        // A conflict's holder is not one of this service's owners.
        bool conflict = err == EAGAIN || err == EACCES;
        OXLOG(-1, call.jobId, "ERROR: System lockf failed for given file [%s]. Error [%d:%s]",
              call.File(), err, ErrorText(err).c_str());
        const std::string message = "lockf failed. " + ErrorText(err);
        call.Reply(conflict ? LUME_STATUS_LOCKED_BY_OTHER : LUME_STATUS_FAILURE, message.c_str(),
                   conflict ? ~0ULL : 0);
        DescriptorCache().Close(fd, call.path.c_str(), fileId);
        errno = err;
        return Outcome::kRefused;
    }
    RecordGrant(call, fd, readLock);
    return Outcome::kChanged;
}

Outcome LockAsExportUser(SinkFSMExport& exp, LockCall& call, bool readLock)
    REQUIRES(SinkFSM::fileLockCSec) {
    std::unique_ptr<SinkBkEndObj> object = Resolve(call);
    if (object && !object->IsInitSuccess())
        return RefuseMissingFile(call);
    if (!object)
        return NoObject(call);

    auto written = SinkFSM::fileLockMap.find(call.key);
    if (written != SinkFSM::fileLockMap.end())
        return LockWriteLocked(exp, call, written, readLock);
    auto read = SinkFSM::fileReadLockMap.find(call.key);
    if (read != SinkFSM::fileReadLockMap.end()) {
        if (!readLock)
            return WriteOnReadLocked(exp, call, read);
        if (read->second->owners.count(call.owner) != 0) {
            OXLOG(1, call.jobId, "INFO: File [%s] is read locked by same lock owner [%llu].",
                  call.File(), call.owner);
            call.Reply(LUME_STATUS_LOCK_GRANTED, nullptr, call.owner);
            return Outcome::kAnswered;
        }
    }
    return OpenAndLock(call, *object, readLock);
}

// Gives up the OS lock on fd and this grant's descriptor reference. The
// release's result does not matter: the record is gone either way.
void ReleaseGrant(const LockCall& call, const std::string& key, int fd, bool shared) {
    ReleaseLock(fd, shared);
    DescriptorCache().Close(fd, call.path.c_str(), LockKeyFileId(key));
}

// Takes the requester's grant out of a read record; the next record.
SinkFSM::FileReadLockMap::iterator DropReader(const LockCall& call,
                                              SinkFSM::FileReadLockMap::iterator entry)
    REQUIRES(SinkFSM::fileLockCSec) {
    auto& owners = entry->second->owners;
    auto mine = owners.find(call.owner);
    int fd = mine->second.fd;
    owners.erase(mine);
    if (owners.empty()) {
        ReleaseGrant(call, entry->first, fd, true);
        return SinkFSM::fileReadLockMap.erase(entry);
    }
    // The readers left share this descriptor and its lock, so only this
    // reader's cache reference goes back.
    DescriptorCache().Close(fd, call.path.c_str(), LockKeyFileId(entry->first));
    return std::next(entry);
}

Outcome NotLocked(const LockCall& call) {
    OXLOG(-1, call.jobId, "ERROR: File [%s] not locked.", call.File());
    call.Reply(LUME_STATUS_FILE_NOT_LOCKED, "File not locked", 0);
    return Outcome::kRefused;
}

Outcome UnlockWriteLocked(const LockCall& call, SinkFSM::FileLockMap::iterator entry)
    REQUIRES(SinkFSM::fileLockCSec) {
    unsigned long long holder = entry->second->lockOwner;
    if (holder != call.owner) {
        OXLOG(-1, call.jobId, "ERROR: File [%s] not write locked by owner id [%llu].", call.File(),
              call.owner);
        call.Reply(LUME_STATUS_NOT_LOCK_OWNER, "Caller did not write lock the file", holder);
        return Outcome::kRefused;
    }
    ReleaseGrant(call, entry->first, entry->second->fd, false);
    SinkFSM::fileLockMap.erase(entry);
    return Outcome::kChanged;
}

Outcome UnlockReadLocked(const LockCall& call, SinkFSM::FileReadLockMap::iterator entry)
    REQUIRES(SinkFSM::fileLockCSec) {
    if (entry->second->owners.count(call.owner) == 0) {
        OXLOG(-1, call.jobId, "ERROR: File [%s] not owned by owner id [%llu].", call.File(),
              call.owner);
        call.Reply(LUME_STATUS_NOT_LOCK_OWNER, "Caller did not read lock the file", 0);
        return Outcome::kRefused;
    }
    DropReader(call, entry);
    return Outcome::kChanged;
}

// Whether a grant was taken through this request's export and path.
bool TakenHere(const LockCall& call, const std::string& exportPath, const std::string& takenUnder) {
    return exportPath == call.exportPath && takenUnder == call.path;
}

// The path no longer names what it named (removed, or renamed away), so
// the requester's grants taken under that very path are what it gives
// back: every one of them, as each file it named then is out of reach by
// that name.
Outcome UnlockTakenHere(const LockCall& call) REQUIRES(SinkFSM::fileLockCSec) {
    bool released = false;
    SinkFSM::FileLockMap& written = SinkFSM::fileLockMap;
    for (auto entry = written.begin(); entry != written.end();) {
        const SinkFSMLockInfo& record = *entry->second;
        if (record.lockOwner != call.owner ||
            !TakenHere(call, record.exportPath, record.takenUnder)) {
            ++entry;
            continue;
        }
        ReleaseGrant(call, entry->first, record.fd, false);
        entry = written.erase(entry);
        released = true;
    }
    SinkFSM::FileReadLockMap& read = SinkFSM::fileReadLockMap;
    for (auto entry = read.begin(); entry != read.end();) {
        auto mine = entry->second->owners.find(call.owner);
        if (mine == entry->second->owners.end() ||
            !TakenHere(call, mine->second.exportPath, mine->second.takenUnder)) {
            ++entry;
            continue;
        }
        entry = DropReader(call, entry);
        released = true;
    }
    return released ? Outcome::kChanged : NotLocked(call);
}

Outcome UnlockAsExportUser(LockCall& call) REQUIRES(SinkFSM::fileLockCSec) {
    std::unique_ptr<SinkBkEndObj> object = Resolve(call);
    if (!object)
        return NoObject(call);
    if (!object->IsInitSuccess())
        return UnlockTakenHere(call);
    auto written = SinkFSM::fileLockMap.find(call.key);
    if (written != SinkFSM::fileLockMap.end())
        return UnlockWriteLocked(call, written);
    auto read = SinkFSM::fileReadLockMap.find(call.key);
    if (read != SinkFSM::fileReadLockMap.end())
        return UnlockReadLocked(call, read);
    return NotLocked(call);
}

// The holder of a grant taken under the request's path, for a status query
// by a path that no longer resolves; false when there is none.
bool HolderTakenHere(const LockCall& call, unsigned long long& holder)
    REQUIRES(SinkFSM::fileLockCSec) {
    for (const auto& entry : SinkFSM::fileLockMap) {
        if (TakenHere(call, entry.second->exportPath, entry.second->takenUnder)) {
            holder = entry.second->lockOwner;
            return true;
        }
    }
    for (const auto& entry : SinkFSM::fileReadLockMap) {
        for (const auto& reader : entry.second->owners) {
            if (TakenHere(call, reader.second.exportPath, reader.second.takenUnder)) {
                holder = reader.first;
                return true;
            }
        }
    }
    return false;
}

// One holder is named: the writer, or the first reader met.
bool HolderOf(const std::string& key, unsigned long long& holder) REQUIRES(SinkFSM::fileLockCSec) {
    auto written = SinkFSM::fileLockMap.find(key);
    if (written != SinkFSM::fileLockMap.end()) {
        holder = written->second->lockOwner;
        return true;
    }
    auto read = SinkFSM::fileReadLockMap.find(key);
    if (read == SinkFSM::fileReadLockMap.end())
        return false;
    holder = read->second->owners.begin()->first;
    return true;
}

bool ReportGranted(const LockCall& call) {
    call.Reply(LUME_STATUS_LOCK_GRANTED, nullptr, call.owner);
    OXLOG(2, call.jobId, "INFO: lock granted for file [%s] to owner id [%llu].", call.File(),
          call.owner);
    return true;
}

// A conversion the system refused: the caller's lock has been given up
// entirely rather than left half converted (the grant in hand, its path not
// walked again), and the reply names the failure with the conversion's own
// error.
bool ConversionFailed(const LockCall& call, int err) {
    OXLOG(2, call.jobId, "INFO: unlock successful for file [%s].", call.File());
    OXLOG(-1, call.jobId, "ERROR: System fcntl failed for file [%s]. Error [%d:%s]", call.File(),
          err, ErrorText(err).c_str());
    call.Reply(LUME_STATUS_FAILURE, "fcntl failed", 0);
    errno = err;
    return false;
}

}  // namespace

bool SinkFSMExport::LockFile(ExportPtr& self, const std::string& exportPath,
                             const std::string& filePath, unsigned long long lockOwner,
                             LumeLockResp* response, bool readLock) {
    LockCall call{self, exportPath, filePath, lockOwner, response, GetJobId(), {}, {}};
    if (!MakePath(*this, call))
        return false;
    Outcome outcome = Outcome::kRefused;
    auto lock = [&]() REQUIRES(SinkFSM::fileLockCSec) {
        return LockAsExportUser(*this, call, readLock);
    };
    if (!AsExportUser(*this, lock, outcome))
        return ImpersonationFailed(call);
    if (outcome != Outcome::kChanged)
        return outcome == Outcome::kAnswered;
    return ReportGranted(call);
}

bool SinkFSMExport::UnLockFile(ExportPtr& self, const std::string& exportPath,
                               const std::string& filePath, unsigned long long lockOwner,
                               LumeLockResp* response) {
    LockCall call{self, exportPath, filePath, lockOwner, response, GetJobId(), {}, {}};
    if (!MakePath(*this, call))
        return false;
    Outcome outcome = Outcome::kRefused;
    auto unlock = [&]() REQUIRES(SinkFSM::fileLockCSec) { return UnlockAsExportUser(call); };
    if (!AsExportUser(*this, unlock, outcome))
        return ImpersonationFailed(call);
    if (outcome != Outcome::kChanged)
        return outcome == Outcome::kAnswered;
    call.Reply(LUME_STATUS_UNLOCKED, nullptr, lockOwner);
    OXLOG(2, call.jobId, "INFO: unlock successful for file [%s].", call.File());
    return true;
}

// The grant keeps its descriptor, export and the path it was first taken
// under.
bool SinkFSMExport::UpgradeLock(ExportPtr& self, const std::string& exportPath,
                                const std::string& filePath, unsigned long long lockOwner,
                                LumeLockResp* response, SinkFSM::FileReadLockMap::iterator entry) {
    const SinkFSMReadGrant grant = entry->second->owners.begin()->second;
    LockCall call{self,     exportPath, filePath,         lockOwner,
                  response, GetJobId(), grant.takenUnder, entry->first};
    if (GetLock(grant.fd, false) == -1) {
        int err = errno;
        DropReader(call, entry);
        return ConversionFailed(call, err);
    }
    entry->second->owners.erase(lockOwner);
    if (entry->second->owners.empty())
        SinkFSM::fileReadLockMap.erase(entry);
    SinkFSM::fileLockMap[call.key] = boost::make_shared<SinkFSMLockInfo>(
        grant.fd, lockOwner, grant.exportPath, grant.takenUnder);
    return ReportGranted(call);
}

bool SinkFSMExport::DowngradeLock(ExportPtr& self, const std::string& exportPath,
                                  const std::string& filePath, unsigned long long lockOwner,
                                  LumeLockResp* response, SinkFSM::FileLockMap::iterator entry) {
    const SinkFSMLockInfo& held = *entry->second;
    const SinkFSMReadGrant grant{held.fd, held.exportPath, held.takenUnder};
    LockCall call{self,     exportPath, filePath,         lockOwner,
                  response, GetJobId(), grant.takenUnder, entry->first};
    if (GetLock(grant.fd, true) == -1) {
        int err = errno;
        UnlockWriteLocked(call, entry);
        return ConversionFailed(call, err);
    }
    SinkFSM::fileLockMap.erase(entry);
    auto readers = boost::make_shared<SinkFSMReadLockInfo>(grant.exportPath);
    readers->owners[lockOwner] = grant;
    SinkFSM::fileReadLockMap[call.key] = readers;
    return ReportGranted(call);
}

// Asks no identity of the export's user: the file is only resolved (an
// O_PATH descriptor), never opened for reading or writing.
bool SinkFSMExport::GetLockStatus(ExportPtr& self, const std::string& exportPath,
                                  const std::string& filePath, unsigned long long lockOwner,
                                  LumeLockResp* response) {
    LockCall call{self, exportPath, filePath, lockOwner, response, GetJobId(), {}, {}};
    if (!MakePath(*this, call))
        return false;
    std::unique_ptr<SinkBkEndObj> object = Resolve(call);
    if (!object) {
        NoObject(call);
        return true;
    }
    unsigned long long holder = 0;
    bool locked =
        object->IsInitSuccess() ? HolderOf(call.key, holder) : HolderTakenHere(call, holder);
    if (!locked) {
        OXLOG(2, call.jobId, "INFO: File [%s] not locked.", call.File());
        call.Reply(LUME_STATUS_FILE_NOT_LOCKED, nullptr, 0);
        return true;
    }
    call.Reply(LUME_STATUS_FILE_LOCKED, nullptr, holder);
    OXLOG(2, call.jobId, "INFO: File [%s] is locked by owner [%llu].", call.File(), holder);
    return true;
}
