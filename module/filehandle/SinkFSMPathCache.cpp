// An export's checksum -> path map; each operation holds the cache's lock.
#include "module/filehandle/SinkFSMPathCache.h"

void SinkFSMPathCache::Add(unsigned long cksum, const std::string& path) {
    OxCriticalSectionLock guard(&m_lock);
    m_map[cksum] = path;
}

bool SinkFSMPathCache::Find(unsigned long cksum, std::string& path) {
    OxCriticalSectionLock guard(&m_lock);
    auto found = m_map.find(cksum);
    if (found == m_map.end())
        return false;
    path = found->second;  // copied under the lock: the caller never points into the map
    return true;
}

void SinkFSMPathCache::Remove(unsigned long cksum) {
    OxCriticalSectionLock guard(&m_lock);
    m_map.erase(cksum);
}

void SinkFSMPathCache::Empty() {
    OxCriticalSectionLock guard(&m_lock);
    m_map.clear();
}
