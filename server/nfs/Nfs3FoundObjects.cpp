// The objects found by handle or by name, kept while the era of name changes stands and dropped all
// together when it moves on.
#include "server/nfs/Nfs3FoundObjects.h"

std::string Nfs3FoundObjects::HandleKey(const nfs_fh3& fh, const std::string& who) {
    std::string key(1, kByHandle);
    key.append(reinterpret_cast<const char*>(fh.data), fh.len);
    return key.append(who);
}

std::string Nfs3FoundObjects::NameKey(const char* dir, size_t dirLength, const std::string& name,
                                      const std::string& who) {
    // The directory's handle has its export's length; no name holds a NUL.
    std::string key(1, kByName);
    key.append(dir, dirLength).append(name).append(1, '\0');
    return key.append(who);
}

bool Nfs3FoundObjects::Find(const std::string& key, const ExportPtr& exp, uint64_t era,
                            Object& object, unsigned long& id) {
    if (era == 0)
        return false;
    Settle(era);
    ReaderLock shared(m_eraMutex);
    Entry entry;
    if (!For(key).Find(key, entry) || entry.era != era || entry.exp != exp)
        return false;
    object = entry.object ? entry.object : entry.named.lock();
    id = entry.id;
    return bool(object);
}

void Nfs3FoundObjects::Keep(const std::string& key, const ExportPtr& exp,
                            const NameChanges::Moment& found, const Object& object,
                            unsigned long id, dev_t device) {
    NameChanges& changes = NameChanges::Process();
    if (found.era == 0 || !changes.Watched(device))
        return;
    Settle(found.era);
    const std::string& path = object->GetClientPath();
    if (path.size() > kLongestPathKept)
        return;
    ReaderLock shared(m_eraMutex);
    changes.Note(path.substr(path.rfind('/') + 1));
    if (found.era != m_era || !changes.Quiet(found))
        return;
    if (key[0] == kByName)
        m_byName.Put(key, Entry{exp, found.era, Object(), object, id});
    else
        m_byHandle.Put(key, Entry{exp, found.era, object, {}, id});
}

void Nfs3FoundObjects::Settle(uint64_t era) {
    {
        ReaderLock shared(m_eraMutex);
        if (era <= m_era)
            return;
    }
    WriterLock unique(m_eraMutex);
    if (era > m_era) {
        m_era = era;
        m_byHandle.Clear();
        m_byName.Clear();
    }
}
