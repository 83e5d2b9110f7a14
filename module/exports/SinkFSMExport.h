// The module's export: one directory on disk (the real path) served under a
// share path, with the export's root handle and its path cache, the only
// way back from a client's handle to a path.
//
// The real path differs from the share path (Export::GetPath) when the
// share name carries a uniqueness suffix. Both are kept as optional
// parameters too ("RealPath", "JobId") so that a host Export can be rebuilt
// into one of these; such a rebuilt export has no path cache, so no handle
// resolves on it. Every object under the export is resolved beneath the
// export's root descriptor (GetRoot), opened once when the root handle is
// built; the root's identity (ReadDescriptorIdentityText) is the optional
// parameter "RootIdentity", by which the host checks what was exported.
// Thread safety: built and initialised, job id included, by one thread
// before it enters the export table; afterwards only the creators and the
// reference holders change, under their own mutex (a leaf lock). The path cache locks itself.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "host/Export.h"
#include "host/LumeLockRecords.h"
#include "module/SinkFSM.h"
#include "platform/CImpersonator.h"
#include "platform/CRaError.h"
#include "platform/ThreadSafety.h"

class BeneathRoot;
class SinkFSMFileHandle;
class SinkFSMPathCache;

class SinkFSMExport : public Export {
  public:
    // A new export with an empty path cache and no root handle yet. The
    // cache holds the registry's "Lume"/"PathCacheEntries" entries when that
    // is a number above 0, else SinkFSMPathCache::kDefaultCapacity.
    SinkFSMExport(const std::string& sharePath, const std::string& realPath, SharePerms perms,
                  std::string clients, uint32_t shareId, ExportPtr& saved);
    // Rebuilds an export from a host Export and its optional parameters: no
    // path cache; the descriptor-cache flag is true only when the registry's
    // "Lume"/"NoFdCache" holds a nonzero number.
    explicit SinkFSMExport(const Export& other);
    // A copy is a rebuild too.
    SinkFSMExport(const SinkFSMExport& other) : SinkFSMExport(static_cast<const Export&>(other)) {}
    ~SinkFSMExport() override;

    void GetFileHandle(const CRaIPAddr& client, nfs_fh3& fh) override;
    int GetFSModuleType() const override;
    bool LoadOnRestart() const override { return false; }
    bool isLumeFDCacheSupported() const override { return m_fdCacheSupported; }

    // Checks (or, for an application-dumps directory, creates) the real path
    // as the export user and builds the root handle. 0 on success; 10 when
    // the directory is missing or cannot be made; 50 when the root handle
    // cannot be built or the identity switch fails (errno EACCES then).
    // error holds the failure text. A missing dumps directory is made a
    // name at a time with no symbolic link followed (CRaDirectory::Create),
    // as the directory maker; the root is opened with no link followed.
    int InitExportFileHandle(std::string& error);
    // Who makes a missing application-dumps directory: the export user
    // unless set here, before InitExportFileHandle.
    void SetDirectoryMaker(const OxUserToken& maker) { m_directoryMaker = maker; }
    bool SetupImpersonation() { return true; }
    // Also stored as the optional parameter "JobId", in decimal.
    void SetJobId(unsigned long id);
    unsigned long GetJobId() const { return m_jobId; }
    // The proved client names that asked for this export; they may manage
    // it. An empty (unproved) name is never recorded.
    void AddCreator(const std::string& client);
    bool HasCreator(const std::string& client) const;
    // Who holds each reference, in the order taken ("" for nobody in
    // particular), for the quotas (ExportQuota.h). A dropped reference is
    // caller's own latest when it holds one, else the latest of all, as
    // SavedExports drops them.
    void AddReference(const std::string& caller);
    void DropReference(const std::string& caller);
    size_t ReferencesOf(const std::string& caller) const;
    std::string GetRealPath() const { return m_realPath; }
    // Empty when the export has none.
    boost::shared_ptr<SinkFSMPathCache> GetPathCache() const { return m_pathCache; }
    // The descriptor of the real path that every object under the export is
    // resolved beneath; empty until the root handle is built.
    boost::shared_ptr<const BeneathRoot> GetRoot() const { return m_root; }
    // "MountPath: <share path>RealPath: <real path>"
    std::string ToStr() const;

    // The lock service on a file under this export (locks/). self is this
    // export's own shared pointer; exportPath and filePath are the request's
    // as the handler prepared them. Each fills the response and runs with
    // SinkFSM::fileLockCSec held by the lock request handler.
    bool LockFile(ExportPtr& self, const std::string& exportPath, const std::string& filePath,
                  unsigned long long lockOwner, LumeLockResp* response, bool readLock)
        REQUIRES(SinkFSM::fileLockCSec);
    bool UnLockFile(ExportPtr& self, const std::string& exportPath, const std::string& filePath,
                    unsigned long long lockOwner, LumeLockResp* response)
        REQUIRES(SinkFSM::fileLockCSec);
    bool UpgradeLock(ExportPtr& self, const std::string& exportPath, const std::string& filePath,
                     unsigned long long lockOwner, LumeLockResp* response,
                     SinkFSM::FileReadLockMap::iterator entry) REQUIRES(SinkFSM::fileLockCSec);
    bool DowngradeLock(ExportPtr& self, const std::string& exportPath, const std::string& filePath,
                       unsigned long long lockOwner, LumeLockResp* response,
                       SinkFSM::FileLockMap::iterator entry) REQUIRES(SinkFSM::fileLockCSec);
    bool GetLockStatus(ExportPtr& self, const std::string& exportPath, const std::string& filePath,
                       unsigned long long lockOwner, LumeLockResp* response)
        REQUIRES(SinkFSM::fileLockCSec);

  private:
    // Opens the root and builds the root handle from it; false (errno set)
    // when either fails.
    bool OpenRoot();
    // CRaDirectory::Create of the real path as the directory maker.
    CRaError MakeDumpsDirectory() const;

    std::string m_realPath;
    unsigned long m_jobId = 0;
    boost::shared_ptr<SinkFSMFileHandle> m_rootHandle;
    boost::shared_ptr<SinkFSMPathCache> m_pathCache;
    boost::shared_ptr<const BeneathRoot> m_root;
    bool m_fdCacheSupported = true;
    std::optional<OxUserToken> m_directoryMaker;
    mutable Mutex m_creatorsMutex;
    std::set<std::string> m_creators GUARDED_BY(m_creatorsMutex);
    std::vector<std::string> m_referenceHolders GUARDED_BY(m_creatorsMutex);
};

// The export as this module's; null for another module's export or none.
SinkFSMExport* AsSinkFSMExport(const ExportPtr& exp);
// The job id for messages about exp; 0 when it is not this module's.
unsigned long JobIdOf(const ExportPtr& exp);
