// The records of the exports the configuration channel made, in the state
// store's "exports" table.
#include "host/SavedExports.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>

#include <nlohmann/json.hpp>

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

// The fields of a record, by name.
std::string Encode(const SavedExport& saved) {
    const nlohmann::json record = {
        {"realPath", saved.realPath},      {"rootIdentity", saved.rootIdentity},
        {"clients", saved.clients},        {"perms", static_cast<uint32_t>(saved.perms)},
        {"timeout", saved.timeoutMinutes}, {"jobId", saved.jobId},
        {"creators", saved.creators}};
    const std::vector<uint8_t> bytes = nlohmann::json::to_cbor(record);
    return std::string(bytes.begin(), bytes.end());
}

bool IsText(const nlohmann::json& record, const char* name) {
    return record.contains(name) && record[name].is_string();
}

bool IsNumber(const nlohmann::json& record, const char* name, uint64_t most) {
    return record.contains(name) && record[name].is_number_unsigned() &&
           record[name].get<uint64_t>() <= most;
}

// Every field there with its type, every creator a text, or no creator at all.
SavedExport Decode(const std::string& sharePath, const std::string& value) {
    SavedExport saved;
    saved.sharePath = sharePath;
    const nlohmann::json record = nlohmann::json::from_cbor(value, true, false);
    if (!record.is_object() || !IsText(record, "realPath") || !IsText(record, "rootIdentity") ||
        !IsText(record, "clients") || !IsNumber(record, "perms", UINT32_MAX) ||
        !IsNumber(record, "timeout", UINT32_MAX) || !IsNumber(record, "jobId", UINT64_MAX) ||
        !record.contains("creators") || !record["creators"].is_array())
        return saved;
    for (const nlohmann::json& creator : record["creators"])
        if (!creator.is_string())
            return saved;
    saved.realPath = record["realPath"].get<std::string>();
    saved.rootIdentity = record["rootIdentity"].get<std::string>();
    saved.clients = record["clients"].get<std::string>();
    saved.perms = static_cast<SharePerms>(record["perms"].get<uint32_t>());
    saved.timeoutMinutes = record["timeout"].get<unsigned>();
    saved.jobId = record["jobId"].get<uint64_t>();
    saved.creators = record["creators"].get<std::vector<std::string>>();
    return saved;
}

// Runs change on the share's record (absent or unreadable: no creator) and
// keeps what it leaves, or erases it when it leaves no reference or the
// share has no export now.
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
        if (!exported || saved.creators.empty())
            return w.Erase(table, key);
        saved.clients.clear();
        exp->GetAllowedClients(saved.clients);
        saved.realPath.clear();
        exp->GetOptionalParam("RealPath", saved.realPath);
        saved.rootIdentity.clear();
        exp->GetOptionalParam("RootIdentity", saved.rootIdentity);
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

void SavedExports::Referenced(const std::string& sharePath, uint64_t jobId,
                              const std::string& caller) {
    Update(sharePath, [jobId, &caller](SavedExport& saved) {
        if (saved.creators.empty())
            saved.jobId = jobId;
        saved.creators.push_back(caller);
    });
}

void SavedExports::Unreferenced(const std::string& sharePath, const std::string& caller) {
    Update(sharePath, [&caller](SavedExport& saved) {
        auto own = std::find(saved.creators.rbegin(), saved.creators.rend(), caller);
        if (own != saved.creators.rend())
            saved.creators.erase(std::next(own).base());
        else if (!saved.creators.empty())
            saved.creators.pop_back();
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
