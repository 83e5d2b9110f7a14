// The exports lumed makes by itself: the --export and [[export]]
// directories, and those the configuration channel had recorded.
#include "server/lumed/StartupExports.h"

#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "host/ExportCache.h"
#include "host/ExportPath.h"
#include "host/LumeServiceGlobals.h"
#include "host/SavedExports.h"
#include "platform/BeneathPath.h"
#include "platform/FileIdentity.h"
#include "platform/LogWriter.h"
#include "platform/ThreadSafety.h"
#include "server/config/ConfigRequests.h"

namespace {

const char kNotTheOneExported[] = "its directory is no longer the one exported.";

std::vector<char> Writable(const std::string& text) {
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

// One create of path as caller; false with error set when refused, else
// sharePath set to the share the module made or found.
bool CreateAs(FSM* fsm, const std::string& path, const std::string& caller, const SavedExport& how,
              std::string& sharePath, std::string& error) {
    std::vector<char> pathText = Writable(path), clientText = Writable(how.clients);
    char* clientsField = clientText.data();
    unsigned timeout = how.timeoutMinutes;
    int perms = how.perms;
    lumecfg_export_args args{};
    args.timeout = &timeout;
    args.path = pathText.data();
    args.clients = &clientsField;
    args.perms = &perms;
    args.job_id = how.jobId;

    bool ok = false;
    error = "status -1, no response";
    RequestCreateExport(fsm, args, caller, [&](lumecfg_export_res& result) {
        ok = result.status == 0 && result.share.path;
        if (ok)
            sharePath = *result.share.path;
        else
            error = "status " + std::to_string(result.status) + ", " +
                    (result.message ? *result.message : "no message");
    });
    return ok;
}

// Takes back the reference a create of ours added, as this machine.
void UnexportOnce(FSM* fsm, const std::string& sharePath) {
    std::vector<char> pathText = Writable(sharePath);
    lumecfg_share_args args{};
    args.path = pathText.data();
    RequestUnexport(fsm, args, LumeServiceGlobals::clientName, [](lumecfg_unexport_res&) {});
}

// Whether the share's export has its root in the directory of identity.
bool Serves(const std::string& sharePath, const std::string& identity) {
    std::string stored, root;
    ReverseNormalizeExportPath(sharePath, stored);
    ExportPtr exp;
    return !identity.empty() && gAllExports->FindExport(stored, exp) && exp &&
           exp->GetOptionalParam("RootIdentity", root) && root == identity;
}

enum class Made { kYes, kRefused, kElsewhere };

// A create of path as caller, kept only when its export serves the
// directory of identity: the module resolves path afresh, and what it found
// may not be what was checked.
Made CreateChecked(FSM* fsm, const std::string& path, const std::string& caller,
                   const SavedExport& how, const std::string& identity, std::string& error) {
    std::string sharePath;
    if (!CreateAs(fsm, path, caller, how, sharePath, error))
        return Made::kRefused;
    if (Serves(sharePath, identity))
        return Made::kYes;
    UnexportOnce(fsm, sharePath);
    return Made::kElsewhere;
}

std::string CreatorName(const std::string& creator) {
    return creator.empty() ? "nobody in particular" : creator;
}

// Why the record cannot be made again as it stands; "" when it may be.
std::string Unrestorable(const SavedExport& saved) {
    if (saved.creators.empty())
        return "its record is unreadable or of an earlier version.";
    ExportDirectory now;
    std::string error;
    if (!OpenExportDirectory(saved.realPath, now, error) || now.identity != saved.rootIdentity)
        return kNotTheOneExported;
    return "";
}

// Makes the record's references again as their creators; one log line.
void Restore(FSM* fsm, const SavedExport& saved) REQUIRES(SavedExports::Lock()) {
    std::string dir;
    NormalizeExportPath(saved.sharePath, dir);
    std::string why = Unrestorable(saved), refusal;
    std::vector<std::string> refused;
    uint32_t made = 0;
    for (size_t i = 0; why.empty() && i < saved.creators.size(); ++i) {
        const std::string& creator = saved.creators[i];
        std::string error;
        const Made result = CreateChecked(fsm, dir, creator, saved, saved.rootIdentity, error);
        if (result == Made::kYes) {
            ++made;
        } else if (result == Made::kElsewhere) {
            why = kNotTheOneExported;
        } else {
            refused.push_back(creator);
            refusal = "its creator [" + CreatorName(creator) + "] was refused: " + error;
        }
    }
    if (why.empty() && made == 0)
        why = refusal;
    if (!why.empty()) {
        for (; made > 0; --made)
            UnexportOnce(fsm, dir);
        OXLOG(-1, saved.jobId, "Recorded export [%s] not made again: %s", dir.c_str(), why.c_str());
        SavedExports::Drop(saved.sharePath);
        return;
    }
    for (const std::string& creator : refused)
        SavedExports::Unreferenced(saved.sharePath, creator);
    if (refused.empty())
        OXLOG(1, saved.jobId, "Export [%s] made again with %u references.", dir.c_str(), made);
    else
        OXLOG(-1, saved.jobId, "Export [%s] made again with %u of %zu references: %s", dir.c_str(),
              made, saved.creators.size(), refusal.c_str());
}

}  // namespace

bool OpenExportDirectory(const std::string& dir, ExportDirectory& opened, std::string& error) {
    const BeneathRoot root(dir);
    if (!root.Valid()) {
        const int err = errno;
        char real[PATH_MAX];
        if (err == ELOOP)
            error = dir + " has a symbolic link on its path; name the directory itself" +
                    (::realpath(dir.c_str(), real) ? std::string(": ") + real : std::string());
        else if (err == ENOENT || err == ENOTDIR)
            error = "not a directory: " + dir;
        else
            error = "cannot open " + dir + ": " + std::strerror(err);
        return false;
    }
    std::error_code ec;
    opened.path = std::filesystem::read_symlink(DescriptorPath(root.Fd()), ec).string();
    if (ec || ReadDescriptorIdentityText(root.Fd(), opened.identity) != 0) {
        error = "cannot tell which directory " + dir +
                " is: " + (ec ? ec.message() : std::string(std::strerror(errno)));
        return false;
    }
    return true;
}

bool CreateStartupExport(FSM* fsm, const ExportDirectory& dir, const std::string& clients,
                         SharePerms perms, std::string& error) {
    SavedExport how;
    how.clients = clients;
    how.perms = perms;  // and no timeout: never expires
    switch (
        CreateChecked(fsm, dir.path, LumeServiceGlobals::clientName, how, dir.identity, error)) {
        case Made::kYes:
            OXLOG(1, 0, "Exported %s to clients [%s] with permissions %d.", dir.path.c_str(),
                  clients.c_str(), perms);
            return true;
        case Made::kRefused:
            error = "cannot export " + dir.path + ": " + error;
            return false;
        case Made::kElsewhere:
            error = dir.path + " changed while it was being exported";
            return false;
    }
    return false;
}

void RestoreSavedExports(FSM* fsm) {
    // Channel calls may already arrive: they wait until every record is made.
    MutexLock guard(SavedExports::Lock());
    for (const SavedExport& saved : SavedExports::All())
        Restore(fsm, saved);
}
