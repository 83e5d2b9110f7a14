#include "server/nfs/Nfs3FoundObjects.h"

#include <mutex>

#include "platform/NameChanges.h"

bool Nfs3FoundObjects::Find(const std::string& key, const ExportPtr& exp, uint64_t era,
                            Object& object, unsigned long& id) {
    if (era == 0)
        return false;
    Settle(era);
    std::shared_lock<std::shared_mutex> shared(m_eraMutex);
    Entry entry;
    if (!m_entries.Find(key, entry) || entry.era != era || entry.exp != exp)
        return false;
    object = entry.object;
    id = entry.id;
    return true;
}

void Nfs3FoundObjects::Keep(const std::string& key, const ExportPtr& exp, uint64_t era,
                            const Object& object, unsigned long id, dev_t device) {
    if (era == 0 || !NameChanges::Process().Watched(device))
        return;
    Settle(era);
    std::shared_lock<std::shared_mutex> shared(m_eraMutex);
    if (era == m_era)  // a call of an older era finished late
        m_entries.Put(key, Entry{exp, era, object, id});
}

void Nfs3FoundObjects::Settle(uint64_t era) {
    {
        std::shared_lock<std::shared_mutex> shared(m_eraMutex);
        if (era <= m_era)
            return;
    }
    std::unique_lock<std::shared_mutex> unique(m_eraMutex);
    if (era > m_era) {
        m_era = era;
        m_entries.Clear();
    }
}
