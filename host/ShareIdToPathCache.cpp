// Share ids: those allocated in this process, and the state store's lasting
// path <-> id tables.
#include "host/ShareIdToPathCache.h"

#include <cstdlib>
#include <map>
#include <memory>

#include "platform/LogWriter.h"
#include "platform/StateStore.h"
#include "platform/ThreadSafety.h"

namespace {

const char kIdsTable[] = "share-ids";      // path -> id
const char kPathsTable[] = "share-paths";  // id -> path
const char kMarkTable[] = "share-id-mark";
const char kNextKey[] = "next";  // in kMarkTable: the lowest id never handed out

// The ids allocated in this process.
struct Table {
    Mutex mutex;
    std::map<std::string, uint32_t> idByPath GUARDED_BY(mutex);
    std::map<uint32_t, std::string> pathById GUARDED_BY(mutex);
};

// Never freed: a module may free ids while static destructors run.
Table& TheTable() {
    static Table* table = new Table();
    return *table;
}

uint64_t Number(const std::string& text) {
    return std::strtoull(text.c_str(), nullptr, 10);
}

// The path's stored id, else a new one stored for good; 0 when the store
// fails or no id is left.
uint32_t StoredId(const Table& table, const std::string& path) REQUIRES(table.mutex) {
    std::shared_ptr<StateStore> store = StateStore::Get();
    unsigned ids = 0, paths = 0, mark = 0;
    if (!store || !store->Table(kIdsTable, ids) || !store->Table(kPathsTable, paths) ||
        !store->Table(kMarkTable, mark))
        return 0;
    uint64_t id = 0;
    bool stored = store->Write([&](StateStore::Writer& w) REQUIRES(table.mutex) {
        std::string text;
        if (w.Find(ids, path, text))
            return (id = Number(text)) != 0;
        uint64_t next = w.Find(mark, kNextKey, text) ? Number(text) : 1;
        // Ids live in this process came from another state directory.
        while (next <= UINT32_MAX && table.pathById.count(static_cast<uint32_t>(next)) != 0)
            ++next;
        if (next > UINT32_MAX)
            return false;
        id = next;
        const std::string idText = std::to_string(id);
        return w.Put(ids, path, idText) && w.Put(paths, idText, path) &&
               w.Put(mark, kNextKey, std::to_string(id + 1));
    });
    return stored ? static_cast<uint32_t>(id) : 0;
}

// The path's allocated id, else its stored or a new one when allocate is
// set, else 0.
uint32_t IdOfPath(Table& table, const std::string& path, bool allocate) REQUIRES(table.mutex) {
    auto it = table.idByPath.find(path);
    if (it != table.idByPath.end())
        return it->second;
    uint32_t id = allocate ? StoredId(table, path) : 0;
    if (id == 0 || !table.pathById.emplace(id, path).second)
        return 0;
    table.idByPath.emplace(path, id);
    return id;
}

}  // namespace

uint32_t ShareIdToPathCache::GetShareIdForPath(const std::string& path, bool allocate,
                                               bool /*persistent*/) {
    uint32_t id = 0;
    {
        Table& table = TheTable();
        MutexLock guard(table.mutex);
        id = IdOfPath(table, path, allocate);
    }
    // Logged after unlocking, so that the table is not held for the write.
    if (id == 0 && allocate)
        OXLOG(-1, 0, "No share id for the path [%s].", path.c_str());
    return id;
}

bool ShareIdToPathCache::GetPathForShareId(uint32_t shareId, std::string& path) {
    Table& table = TheTable();
    MutexLock guard(table.mutex);
    auto it = table.pathById.find(shareId);
    if (it == table.pathById.end())
        return false;
    path = it->second;
    return true;
}

void ShareIdToPathCache::FreeShareId(uint32_t shareId, bool /*persistent*/) {
    Table& table = TheTable();
    MutexLock guard(table.mutex);
    auto it = table.pathById.find(shareId);
    if (it == table.pathById.end())
        return;
    table.idByPath.erase(it->second);
    table.pathById.erase(it);
}
