// The host's export: one share a module serves, found by share id and path.
//
// The host keeps here what every module's export shares: share id, path,
// permissions, allowed clients, reference count, expiry interval and last
// access time, NFS versions, optional parameters and the export user whose
// identity work on the export's files takes on. A module derives its own
// export from this class and provides the pure virtual operations.
// Thread safety: counts and times are atomic; permissions, clients, versions
// and optional parameters are guarded by m_mutex (a leaf lock); share id,
// path and user token never change after construction.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "host/AllowedClients.h"
#include "host/SharePerms.h"
#include "host/nfs_fh3.h"
#include "platform/CImpersonator.h"
#include "platform/CRaIPAddr.h"
#include "platform/ThreadSafety.h"

class Export;
typedef boost::shared_ptr<Export> ExportPtr;

class Export {
  public:
    // saved: the export this one stands for across a restart, empty for a new
    // one. The export user is the host's current setting
    // (LumeServiceGlobals::exportUserToken).
    Export(const std::string& path, SharePerms perms, const std::string& clients, uint32_t shareId,
           ExportPtr& saved);
    Export(const Export& other);
    Export& operator=(const Export&) = delete;

    // Virtual slots, in order.
    virtual ~Export();
    virtual void GetFileHandle(const CRaIPAddr& client, nfs_fh3& fh) = 0;
    virtual int GetFSModuleType() const = 0;
    virtual SharePerms GetSharePerms() const;
    virtual void SetSharePerms(SharePerms perms);
    virtual void RemoveAllowedClients(const std::string& clients);
    virtual void FillAllowedClients(const std::string& clients);
    virtual void GetAllowedClients(std::string& clients) const;
    // True when the allowed clients admit the address or the host name.
    virtual bool Authorize(const OXIPAddr& address, const std::string& hostName) const;
    // True when they admit any of the addresses, or the host name.
    virtual bool Authorize(const std::vector<OXIPAddr>& addresses,
                           const std::string& hostName) const;
    virtual bool LoadOnRestart() const = 0;
    virtual bool isLumeFDCacheSupported() const = 0;

    uint32_t GetShareId() const { return m_shareId; }
    std::string GetPath() const { return m_path; }
    const ExportPtr& GetSavedExport() const { return m_saved; }

    uint32_t GetRefCount() const { return m_refCount.load(); }
    // Both return the new count. The count never goes below 0: lowering it
    // at 0 leaves 0 (two racing removals of one share must not wrap it).
    uint32_t IncrRefCount();
    uint32_t DecrRefCount();

    // Stores minutes * 60 seconds and sets the last access time to now.
    void SetExpiryInterval(unsigned minutes);
    time_t GetExpiryInterval() const { return m_expirySeconds.load(); }
    void SetLastAccessTime(time_t when) { m_lastAccess.store(when); }
    time_t GetLastAccessTime() const { return m_lastAccess.load(); }
    // True when an interval is set (0 never expires) and has passed since
    // the last access.
    bool IsExpired(time_t now) const;

    void SetNfsVersions(const std::string& versions);
    std::string GetNfsVersions() const;

    void SetOptionalParam(const std::string& key, const std::string& value);
    // True and value filled when the key is set.
    bool GetOptionalParam(const std::string& key, std::string& value) const;

    const OxUserToken& GetImpersUserToken() const { return m_userToken; }

  private:
    const uint32_t m_shareId;
    const std::string m_path;
    const ExportPtr m_saved;
    const OxUserToken m_userToken;
    std::atomic<uint32_t> m_refCount{0};
    std::atomic<time_t> m_expirySeconds{0};
    std::atomic<time_t> m_lastAccess{0};

    mutable Mutex m_mutex;
    SharePerms m_perms GUARDED_BY(m_mutex);
    AllowedClients m_clients GUARDED_BY(m_mutex);
    std::string m_nfsVersions GUARDED_BY(m_mutex);
    std::map<std::string, std::string> m_optionalParams GUARDED_BY(m_mutex);
};
