// The host's export table, gAllExports, by share id and by path.
#include "host/ExportCache.h"

// Never freed: exports left in the table may have their code in a module
// that is unloaded before static destructors run.
ExportCache* gAllExports = new ExportCache();

bool ExportCache::FindExport(uint32_t shareId, ExportPtr& exp) const {
    ReaderLock guard(m_mutex);
    auto it = m_byId.find(shareId);
    if (it == m_byId.end())
        return false;
    exp = it->second;
    return true;
}

bool ExportCache::FindExport(const std::string& path, ExportPtr& exp) const {
    ReaderLock guard(m_mutex);
    auto it = m_byPath.find(path);
    if (it == m_byPath.end())
        return false;
    exp = it->second;
    return true;
}

bool ExportCache::AddExport(const ExportPtr& exp) {
    if (!exp)
        return false;
    const uint32_t shareId = exp->GetShareId();
    const std::string path = exp->GetPath();
    WriterLock guard(m_mutex);
    if (m_byId.count(shareId) != 0 || m_byPath.count(path) != 0)
        return false;
    m_byId.emplace(shareId, exp);
    m_byPath.emplace(path, exp);
    return true;
}

bool ExportCache::RemoveExport(const ExportPtr& exp) {
    if (!exp)
        return false;
    const uint32_t shareId = exp->GetShareId();
    const std::string path = exp->GetPath();
    // Declared before the guard: the table's references are dropped after
    // the lock is released, so the export's destructor runs unlocked.
    ExportPtr droppedById;
    ExportPtr droppedByPath;
    WriterLock guard(m_mutex);
    auto byId = m_byId.find(shareId);
    if (byId == m_byId.end() || byId->second != exp)
        return false;
    droppedById = std::move(byId->second);
    m_byId.erase(byId);
    auto byPath = m_byPath.find(path);
    if (byPath != m_byPath.end() && byPath->second == droppedById) {
        droppedByPath = std::move(byPath->second);
        m_byPath.erase(byPath);
    }
    return true;
}

std::vector<ExportPtr> ExportCache::GetAllExports() const {
    ReaderLock guard(m_mutex);
    std::vector<ExportPtr> all;
    all.reserve(m_byId.size());
    for (const auto& entry : m_byId)
        all.push_back(entry.second);
    return all;
}

size_t ExportCache::Size() const {
    ReaderLock guard(m_mutex);
    return m_byId.size();
}
