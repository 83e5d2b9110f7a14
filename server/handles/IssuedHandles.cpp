// The handles given out, recorded in the state store's "issued-handles" table, with the most
// recently used pairs kept in memory.
#include "server/handles/IssuedHandles.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/StateStore.h"
#include "platform/UniqueFileId.h"

namespace {

std::string IdValue(unsigned long id) {
    return std::string(reinterpret_cast<const char*>(&id), sizeof(id));
}

std::string Key(const nfs_fh3& fh) {
    return std::string(reinterpret_cast<const char*>(fh.data),
                       std::min<size_t>(fh.len, LUME_NFS3_FHSIZE));
}

// The store's table of handles; false (logged by the store) without one.
bool Table(std::shared_ptr<StateStore>& store, unsigned& table) {
    store = StateStore::Get();
    return store && store->Table("issued-handles", table);
}

}  // namespace

IssuedHandles& IssuedHandles::Process() {
    static auto* handles = new IssuedHandles;  // never freed: used until exit
    return *handles;
}

void IssuedHandles::Record(const nfs_fh3& fh, unsigned long id) {
    const std::string key = Key(fh);
    unsigned long known = 0;
    if (m_recent.Find(key, known) && known == id)
        return;
    std::shared_ptr<StateStore> store;
    unsigned table = 0;
    const std::string value = IdValue(id);
    std::string kept;
    const bool tabled = Table(store, table);
    // One the store holds already costs no write, so no commit that a full
    // store would refuse.
    const bool held = tabled && store->Find(table, key, kept) && kept == value;
    if (!held && (!tabled || !store->Put(table, key, value))) {
        m_recent.Put(key, id);  // good until a restart; the store logged why
        return;
    }
    // Known in memory once kept in the store (in a batch, once it commits:
    // the batch's own writes are found above before they are kept).
    StateStore::AfterCommit([this, key, id] { m_recent.Put(key, id); });
}

bool IssuedHandles::Lookup(const nfs_fh3& fh, unsigned long& id) {
    const std::string key = Key(fh);
    if (m_recent.Find(key, id))
        return true;
    std::shared_ptr<StateStore> store;
    unsigned table = 0;
    std::string value;
    if (!Table(store, table) || !store->Find(table, key, value) || value.size() != sizeof(id))
        return false;
    std::memcpy(&id, value.data(), sizeof(id));
    m_recent.Put(key, id);
    return true;
}

void IssuedHandles::Drop(const nfs_fh3& fh, unsigned long id) {
    const std::string key = Key(fh);
    std::shared_ptr<StateStore> store;
    unsigned table = 0;
    std::string value;
    m_recent.Erase(key);
    if (Table(store, table) && store->Find(table, key, value) && value == IdValue(id))
        store->Erase(table, key);
}

size_t IssuedHandles::Sweep(size_t count) {
    std::shared_ptr<StateStore> store;
    unsigned table = 0;
    if (count == 0 || !Table(store, table))
        return 0;
    std::string from;
    {
        MutexLock guard(m_sweepMutex);
        from = m_sweptTo;
    }
    std::vector<std::pair<std::string, std::string>> seen;  // handle, id
    store->Scan(table, from, count, [&seen](const std::string& key, const std::string& value) {
        seen.emplace_back(key, value);
    });
    size_t forgotten = 0;
    for (const auto& [key, value] : seen) {
        unsigned long id = 0;
        if (value.size() == sizeof(id))
            std::memcpy(&id, value.data(), sizeof(id));
        if (value.size() == sizeof(id) && UniqueFileIdKnown(id))
            continue;
        m_recent.Erase(key);
        forgotten += store->Erase(table, key);
    }
    MutexLock guard(m_sweepMutex);
    m_sweptTo = seen.size() < count ? "" : seen.back().first;
    return forgotten;
}
