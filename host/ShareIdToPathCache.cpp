#include "host/ShareIdToPathCache.h"

#include <map>
#include <mutex>

#include "platform/LogWriter.h"

namespace {

struct Table {
    std::mutex mutex;  // guards the members below
    std::map<std::string, uint32_t> idByPath;
    std::map<uint32_t, std::string> pathById;
    uint32_t next = 1;  // the next id to try; wraps round, skipping 0
};

// Never freed: a module may free ids while static destructors run.
Table& TheTable() {
    static Table* table = new Table();
    return *table;
}

// The next id not in use, or 0 when every id is; table.mutex held.
uint32_t AllocateId(Table& table) {
    for (uint64_t tries = 0; tries <= UINT32_MAX; ++tries) {
        uint32_t candidate = table.next++;
        if (candidate != 0 && table.pathById.count(candidate) == 0)
            return candidate;
    }
    return 0;
}

// The path's id, else a new one when allocate is set, else 0; table.mutex held.
uint32_t IdOfPath(Table& table, const std::string& path, bool allocate) {
    auto it = table.idByPath.find(path);
    if (it != table.idByPath.end())
        return it->second;
    uint32_t id = allocate ? AllocateId(table) : 0;
    if (id != 0) {
        table.idByPath.emplace(path, id);
        table.pathById.emplace(id, path);
    }
    return id;
}

}  // namespace

uint32_t ShareIdToPathCache::GetShareIdForPath(const std::string& path, bool allocate,
                                               bool /*persistent*/) {
    uint32_t id = 0;
    {
        Table& table = TheTable();
        std::lock_guard<std::mutex> guard(table.mutex);
        id = IdOfPath(table, path, allocate);
    }
    // Logged after unlocking: the table lock stays a leaf.
    if (id == 0 && allocate)
        OXLOG(-1, 0, "No share id left for the path [%s].", path.c_str());
    return id;
}

bool ShareIdToPathCache::GetPathForShareId(uint32_t shareId, std::string& path) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> guard(table.mutex);
    auto it = table.pathById.find(shareId);
    if (it == table.pathById.end())
        return false;
    path = it->second;
    return true;
}

void ShareIdToPathCache::FreeShareId(uint32_t shareId, bool /*persistent*/) {
    Table& table = TheTable();
    std::lock_guard<std::mutex> guard(table.mutex);
    auto it = table.pathById.find(shareId);
    if (it == table.pathById.end())
        return;
    table.idByPath.erase(it->second);
    table.pathById.erase(it);
}
