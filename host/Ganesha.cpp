// Driving NFS-Ganesha's exports: adding, updating and withdrawing an export,
// adopting an earlier run's exports at start, and the test seam.
#include "host/Ganesha.h"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "host/GaneshaBus.h"
#include "host/GaneshaExportBlock.h"
#include "platform/AtomicFile.h"
#include "platform/LogWriter.h"
#include "platform/ThreadSafety.h"

namespace {

// Share id -> the path Ganesha serves it from, for the exports an earlier
// run handed Ganesha and no create has taken back yet.
Mutex adoptionMutex;
std::map<uint32_t, std::string> adoptable GUARDED_BY(adoptionMutex);

bool TakeAdoptable(uint32_t shareId) {
    MutexLock guard(adoptionMutex);
    return adoptable.erase(shareId) > 0;
}

GaneshaExportFields FieldsOf(const Export& exp) {
    GaneshaExportFields fields;
    fields.shareId = exp.GetShareId();
    fields.sharePath = exp.GetPath();
    if (!exp.GetOptionalParam("RealPath", fields.realPath))
        fields.realPath = fields.sharePath;
    fields.perms = exp.GetSharePerms();
    exp.GetAllowedClients(fields.clients);
    return fields;
}

// Writes the block and has Ganesha add it, or update it when Ganesha has
// the export already (an adopted one, or an update of an existing share).
int Publish(ExportPtr& exp, bool update) {
    if (!exp) {
        OXLOG(-1, 0, "No export to hand to NFS-Ganesha.");
        return -1;
    }
    const GaneshaExportFields fields = FieldsOf(*exp);
    const char* verb = update ? "update" : "create";
    std::string file, reason;
    if (!WriteGaneshaExportFile(fields, file, reason)) {
        OXLOG(-1, 0, "Cannot %s the NFS-Ganesha export of [%s]: %s", verb, fields.sharePath.c_str(),
              reason.c_str());
        return -1;
    }
    const std::string expression = GaneshaExportExpression(fields.shareId);
    GaneshaBus bus;
    GaneshaBusResult result =
        update ? bus.UpdateExport(file, expression) : bus.AddExport(file, expression);
    if (result.ok) {
        OXLOG(1, 0, "NFS-Ganesha export %u of [%s] %s: %s", fields.shareId,
              fields.sharePath.c_str(), update ? "updated" : "added", result.text.c_str());
        return 0;
    }
    OXLOG(-1, 0, "NFS-Ganesha did not %s export %u of [%s]: %s", verb, fields.shareId,
          fields.sharePath.c_str(), result.text.c_str());
    if (!update) {
        // An add that went unanswered may still happen; an add Ganesha
        // refused leaves its export of that id (maybe the site's) alone.
        if (!result.refused)
            bus.RemoveExport(static_cast<uint16_t>(fields.shareId));
        RemoveGaneshaExportFile(fields.shareId, reason);
    }
    return -1;
}

// Removes Ganesha's export and the block file; the file goes even when
// Ganesha cannot be asked, so that no later start adopts what it lists.
int Withdraw(uint32_t shareId) {
    GaneshaBusResult result = GaneshaBus().RemoveExport(static_cast<uint16_t>(shareId));
    std::string reason;
    const bool fileGone = RemoveGaneshaExportFile(shareId, reason);
    if (!fileGone)
        OXLOG(-1, 0, "NFS-Ganesha export %u: %s", shareId, reason.c_str());
    if (!result.ok) {
        OXLOG(-1, 0, "NFS-Ganesha did not remove export %u: %s", shareId, result.text.c_str());
        return -1;
    }
    OXLOG(1, 0, "NFS-Ganesha export %u removed.", shareId);
    return fileGone ? 0 : -1;
}

// An adopted export that cannot be made again is withdrawn: the host will
// not have it, so Ganesha must not serve it, nor a later start adopt it.
int DefaultCreate(ExportPtr& exp) {
    const bool adopted = exp && TakeAdoptable(exp->GetShareId());
    const int result = Publish(exp, adopted);
    if (result != 0 && adopted)
        Withdraw(exp->GetShareId());
    return result;
}

int DefaultUpdate(ExportPtr& exp) {
    return Publish(exp, true);
}

int DefaultManage(GaneshaCtrlCmd command, uint32_t shareId) {
    if (command != GANESHA_EXPORT_REMOVE) {
        OXLOG(-1, 0, "NFS-Ganesha command %d on share %u is not one this host carries out.",
              static_cast<int>(command), shareId);
        return -1;
    }
    return Withdraw(shareId);
}

GaneshaSeam::Calls Defaults() {
    return GaneshaSeam::Calls{DefaultCreate, DefaultUpdate, DefaultManage};
}

// Function-local so that a call during static initialisation finds it built.
GaneshaSeam::Calls& Current() {
    static GaneshaSeam::Calls calls = Defaults();
    return calls;
}

// The Path line of a block file this host wrote; empty when unreadable.
std::string PathInBlockFile(uint32_t shareId) {
    std::string text;
    if (!ReadWholeFile(GaneshaExportFilePath(shareId), text))
        return std::string();
    std::istringstream in(text);
    const std::string prefix = "\tPath = \"";
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0 && line.size() > prefix.size() + 1)
            return line.substr(prefix.size(), line.size() - prefix.size() - 2);
    return std::string();
}

// The block files of exports Ganesha no longer has.
void DeleteStaleBlockFiles() REQUIRES(adoptionMutex) {
    const std::filesystem::path dir = std::filesystem::path(GaneshaExportFilePath(0)).parent_path();
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("export-", 0) != 0)
            continue;
        const auto id = static_cast<uint32_t>(std::strtoul(name.c_str() + 7, nullptr, 10));
        if (GaneshaExportFilePath(id) == entry.path().string() && !adoptable.count(id))
            std::filesystem::remove(entry.path(), ec);
    }
}

}  // namespace

int CreateGaneshaExport(ExportPtr& exp) {
    return Current().create(exp);
}

int UpdateGaneshaExport(ExportPtr& exp) {
    return Current().update(exp);
}

int ManageGaneshaExport(GaneshaCtrlCmd command, uint32_t shareId) {
    return Current().manage(command, shareId);
}

bool AdoptGaneshaExports(std::string& error) {
    std::vector<GaneshaExportEntry> exports;
    GaneshaBusResult result = GaneshaBus().ShowExports(exports);
    if (!result.ok) {
        error = result.text;
        return false;
    }
    MutexLock guard(adoptionMutex);
    adoptable.clear();
    // Ours only when this host's file says Ganesha serves the same path
    // under that id: a site's own export of the id is never touched.
    for (const GaneshaExportEntry& entry : exports) {
        const std::string path = PathInBlockFile(entry.id);
        if (entry.id != 0 && !path.empty() && path == entry.path)
            adoptable[entry.id] = path;
    }
    OXLOG(1, 0, "NFS-Ganesha has %zu exports, %zu of them from an earlier run.", exports.size(),
          adoptable.size());
    DeleteStaleBlockFiles();
    return true;
}

void DropUnadoptedGaneshaExports() {
    std::map<uint32_t, std::string> rest;
    {
        MutexLock guard(adoptionMutex);
        rest.swap(adoptable);
    }
    for (const auto& entry : rest) {
        OXLOG(1, 0, "NFS-Ganesha export %u of [%s] is no longer made; removing it.", entry.first,
              entry.second.c_str());
        Withdraw(entry.first);
    }
}

namespace GaneshaSeam {

void Set(const Calls& calls) {
    if (calls.create)
        Current().create = calls.create;
    if (calls.update)
        Current().update = calls.update;
    if (calls.manage)
        Current().manage = calls.manage;
}

void Reset() {
    Current() = Defaults();
}

}  // namespace GaneshaSeam
