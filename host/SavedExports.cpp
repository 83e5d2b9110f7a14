// The records of the exports the configuration channel made, in the state
// store's "exports" table.
#include "host/SavedExports.h"

#include <functional>
#include <memory>
#include <sstream>

#include "host/ExportCache.h"
#include "host/ExportPath.h"
#include "platform/LogWriter.h"
#include "platform/StateStore.h"

namespace {

const char kTableName[] = "exports";

std::string StoredForm(const std::string& sharePath) {
    std::string stored;
    ReverseNormalizeExportPath(sharePath, stored);
    return stored;
}

// "perms timeout job-id references clients"
std::string Encode(const SavedExport& saved) {
    std::ostringstream out;
    out << saved.perms << ' ' << saved.timeoutMinutes << ' ' << saved.jobId << ' '
        << saved.references << ' ' << saved.clients;
    return out.str();
}

SavedExport Decode(const std::string& sharePath, const std::string& value) {
    SavedExport saved;
    std::istringstream in(value);
    if (in >> saved.perms >> saved.timeoutMinutes >> saved.jobId >> saved.references &&
        in.get() == ' ')
        std::getline(in, saved.clients, '\0');
    else
        saved.references = 0;
    saved.sharePath = sharePath;
    return saved;
}

// Runs change on the share's record (absent: references 0) and keeps what
// it leaves, or erases it when it leaves no reference or the share has no
// export now.
void Update(const std::string& sharePath, const std::function<void(SavedExport&)>& change) {
    std::shared_ptr<StateStore> store = StateStore::Get();
    unsigned table = 0;
    if (!store || !store->Table(kTableName, table))
        return;
    const std::string key = StoredForm(sharePath);
    ExportPtr exp;
    const bool exported = gAllExports->FindExport(key, exp);
    bool written = store->Write([&](StateStore::Writer& w) {
        std::string value;
        SavedExport saved;
        saved.sharePath = key;
        if (w.Find(table, key, value))
            saved = Decode(key, value);
        if (exported)
            change(saved);
        if (!exported || saved.references == 0)
            return w.Erase(table, key);
        saved.clients.clear();
        exp->GetAllowedClients(saved.clients);
        saved.perms = exp->GetSharePerms();
        saved.timeoutMinutes = static_cast<unsigned>(exp->GetExpiryInterval() / 60);
        return w.Put(table, key, Encode(saved));
    });
    if (!written)
        OXLOG(-1, 0, "The record of export [%s] was not updated.", key.c_str());
}

}  // namespace

Mutex& SavedExports::Lock() {
    static Mutex* lock = new Mutex;  // never freed, like the export table
    return *lock;
}

void SavedExports::Referenced(const std::string& sharePath, uint64_t jobId) {
    Update(sharePath, [jobId](SavedExport& saved) {
        if (saved.references++ == 0)
            saved.jobId = jobId;
    });
}

void SavedExports::Unreferenced(const std::string& sharePath) {
    Update(sharePath, [](SavedExport& saved) {
        if (saved.references > 0)
            --saved.references;
    });
}

void SavedExports::Removed(const std::string& sharePath) {
    Update(sharePath, [](SavedExport&) {});
}

std::vector<SavedExport> SavedExports::All() {
    std::vector<SavedExport> all;
    std::shared_ptr<StateStore> store = StateStore::Get();
    unsigned table = 0;
    if (store && store->Table(kTableName, table))
        store->ForEach(table, [&](const std::string& key, const std::string& value) {
            all.push_back(Decode(key, value));
        });
    return all;
}

void SavedExports::Drop(const std::string& sharePath) {
    std::shared_ptr<StateStore> store = StateStore::Get();
    unsigned table = 0;
    if (store && store->Table(kTableName, table))
        store->Erase(table, StoredForm(sharePath));
}
