// The mount table DUMP reports: a set of (host, path) pairs under one lock.
#include "server/mount/MountTable.h"

void MountTable::Add(const std::string& host, const std::string& path) {
    MutexLock lock(m_mutex);
    m_entries.emplace(host, path);
}

void MountTable::Remove(const std::string& host, const std::string& path) {
    MutexLock lock(m_mutex);
    m_entries.erase(Entry(host, path));
}

void MountTable::RemoveHost(const std::string& host) {
    MutexLock lock(m_mutex);
    auto first = m_entries.lower_bound(Entry(host, std::string()));
    auto last = first;
    while (last != m_entries.end() && last->first == host)
        ++last;
    m_entries.erase(first, last);
}

std::vector<MountTable::Entry> MountTable::Snapshot() const {
    MutexLock lock(m_mutex);
    return std::vector<Entry>(m_entries.begin(), m_entries.end());
}
