#include "server/nfs/Nfs3FoundObjects.h"

#include <mutex>

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

void Nfs3FoundObjects::Keep(const std::string& key, const ExportPtr& exp,
                            const NameChanges::Moment& found, const Object& object,
                            unsigned long id, dev_t device) {
    NameChanges& changes = NameChanges::Process();
    if (found.era == 0 || !changes.Watched(device))
        return;
    Settle(found.era);
    std::shared_lock<std::shared_mutex> shared(m_eraMutex);
    const std::string& path = object->GetClientPath();
    changes.Note(path.substr(path.rfind('/') + 1));
    if (found.era == m_era && changes.Quiet(found))
        m_entries.Put(key, Entry{exp, found.era, object, id});
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
