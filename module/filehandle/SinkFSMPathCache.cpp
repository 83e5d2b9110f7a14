// An export's checksum -> path map, least recently used dropped first; each
// operation holds the cache's lock.
#include "module/filehandle/SinkFSMPathCache.h"

#include <algorithm>

SinkFSMPathCache::SinkFSMPathCache(std::size_t capacity)
    : m_capacity(std::max<std::size_t>(capacity, 1)) {}

void SinkFSMPathCache::Add(unsigned long cksum, const std::string& path) {
    OxCriticalSectionLock guard(&m_lock);
    auto found = m_index.find(cksum);
    if (found != m_index.end()) {
        found->second->second = path;
        m_order.splice(m_order.begin(), m_order, found->second);
        return;
    }
    m_order.emplace_front(cksum, path);
    m_index.emplace(cksum, m_order.begin());
    if (m_order.size() > m_capacity) {
        m_index.erase(m_order.back().first);
        m_order.pop_back();
    }
}

bool SinkFSMPathCache::Find(unsigned long cksum, std::string& path) {
    OxCriticalSectionLock guard(&m_lock);
    auto found = m_index.find(cksum);
    if (found == m_index.end())
        return false;
    m_order.splice(m_order.begin(), m_order, found->second);
    path = found->second->second;  // copied under the lock: the caller never points into the map
    return true;
}

void SinkFSMPathCache::Remove(unsigned long cksum) {
    OxCriticalSectionLock guard(&m_lock);
    auto found = m_index.find(cksum);
    if (found == m_index.end())
        return;
    m_order.erase(found->second);
    m_index.erase(found);
}

void SinkFSMPathCache::Empty() {
    OxCriticalSectionLock guard(&m_lock);
    m_index.clear();
    m_order.clear();
}

std::size_t SinkFSMPathCache::Size() {
    OxCriticalSectionLock guard(&m_lock);
    return m_index.size();
}
