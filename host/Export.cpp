// The host's export: the fields every module's export shares, and its
// reference count.
#include "host/Export.h"

#include "host/LumeServiceGlobals.h"
#include "platform/LogWriter.h"

Export::Export(const std::string& path, SharePerms perms, const std::string& clients,
               uint32_t shareId, ExportPtr& saved)
    : m_shareId(shareId),
      m_path(path),
      m_saved(saved),
      m_userToken(LumeServiceGlobals::exportUserToken),
      m_perms(perms) {
    // Not through the virtual: a derived export is not built yet.
    m_clients.Fill(clients);
}

Export::Export(const Export& other)
    : m_shareId(other.m_shareId),
      m_path(other.m_path),
      m_saved(other.m_saved),
      m_userToken(other.m_userToken),
      m_refCount(other.m_refCount.load()),
      m_expirySeconds(other.m_expirySeconds.load()),
      m_lastAccess(other.m_lastAccess.load()) {
    MutexLock guard(other.m_mutex);
    m_perms = other.m_perms;
    m_clients = other.m_clients;
    m_nfsVersions = other.m_nfsVersions;
    m_optionalParams = other.m_optionalParams;
}

Export::~Export() {}

SharePerms Export::GetSharePerms() const {
    MutexLock guard(m_mutex);
    return m_perms;
}

void Export::SetSharePerms(SharePerms perms) {
    MutexLock guard(m_mutex);
    m_perms = perms;
}

void Export::RemoveAllowedClients(const std::string& clients) {
    MutexLock guard(m_mutex);
    m_clients.Remove(clients);
}

void Export::FillAllowedClients(const std::string& clients) {
    MutexLock guard(m_mutex);
    m_clients.Fill(clients);
}

void Export::GetAllowedClients(std::string& clients) const {
    MutexLock guard(m_mutex);
    clients = m_clients.ToString();
}

bool Export::Authorize(const OXIPAddr& address, const std::string& hostName) const {
    MutexLock guard(m_mutex);
    return m_clients.Admits(address, hostName);
}

bool Export::Authorize(const std::vector<OXIPAddr>& addresses, const std::string& hostName) const {
    MutexLock guard(m_mutex);
    for (const OXIPAddr& address : addresses) {
        if (m_clients.Admits(address, ""))
            return true;
    }
    return m_clients.Admits(OXIPAddr(), hostName);
}

uint32_t Export::IncrRefCount() {
    return m_refCount.fetch_add(1) + 1;
}

uint32_t Export::DecrRefCount() {
    uint32_t current = m_refCount.load();
    // compare_exchange_weak reloads current on failure.
    while (current > 0 && !m_refCount.compare_exchange_weak(current, current - 1)) {
    }
    if (current == 0) {
        OXLOG(3, 0, "Reference count of share %u already 0 (path [%s]).", m_shareId,
              m_path.c_str());
        return 0;
    }
    return current - 1;
}

void Export::SetExpiryInterval(unsigned minutes) {
    m_expirySeconds.store(static_cast<time_t>(minutes) * 60);
    m_lastAccess.store(time(nullptr));
}

bool Export::IsExpired(time_t now) const {
    time_t interval = m_expirySeconds.load();
    return interval > 0 && now - m_lastAccess.load() >= interval;
}

void Export::SetNfsVersions(const std::string& versions) {
    MutexLock guard(m_mutex);
    m_nfsVersions = versions;
}

std::string Export::GetNfsVersions() const {
    MutexLock guard(m_mutex);
    return m_nfsVersions;
}

void Export::SetOptionalParam(const std::string& key, const std::string& value) {
    MutexLock guard(m_mutex);
    m_optionalParams[key] = value;
}

bool Export::GetOptionalParam(const std::string& key, std::string& value) const {
    MutexLock guard(m_mutex);
    auto it = m_optionalParams.find(key);
    if (it == m_optionalParams.end())
        return false;
    value = it->second;
    return true;
}
