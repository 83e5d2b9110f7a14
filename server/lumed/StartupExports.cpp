// The exports lumed makes at start: the --export and [[export]] directories, and those the
// configuration channel had recorded.
#include "server/lumed/StartupExports.h"

#include <vector>

#include "host/ExportPath.h"
#include "host/LumeServiceGlobals.h"
#include "host/SavedExports.h"
#include "platform/LogWriter.h"
#include "platform/ThreadSafety.h"
#include "server/config/ConfigRequests.h"

namespace {

std::vector<char> Writable(const std::string& text) {
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

// One create of dir as this machine; false with error set when refused.
bool CreateAsThisMachine(FSM* fsm, const std::string& dir, const SavedExport& how,
                         std::string& error) {
    std::vector<char> path = Writable(dir), clientText = Writable(how.clients);
    char* clientsField = clientText.data();
    lumecfg_export_args args{};
    args.timeout = how.timeoutMinutes;
    args.path = path.data();
    args.clients = &clientsField;
    args.perms = how.perms;
    args.job_id = how.jobId;

    bool ok = false;
    auto check = [&](lumecfg_export_res& result) {
        ok = result.status == 0;
        if (!ok) {
            error = "cannot export " + dir + ": status " + std::to_string(result.status) + ", " +
                    (result.message ? *result.message : "no response");
        }
    };
    if (!RequestCreateExport(fsm, args, LumeServiceGlobals::clientName, check))
        error = "cannot export " + dir + ": status -1, no response";
    return ok;
}

}  // namespace

bool CreateStartupExport(FSM* fsm, const std::string& dir, const std::string& clients,
                         SharePerms perms, std::string& error) {
    SavedExport how;
    how.clients = clients;
    how.perms = perms;  // and no timeout: never expires
    if (!CreateAsThisMachine(fsm, dir, how, error))
        return false;
    OXLOG(1, 0, "Exported %s to clients [%s] with permissions %d.", dir.c_str(), clients.c_str(),
          perms);
    return true;
}

void RestoreSavedExports(FSM* fsm) {
    // Channel calls may already arrive: they wait until every record is made.
    MutexLock guard(SavedExports::Lock());
    for (const SavedExport& saved : SavedExports::All()) {
        std::string dir, error = "no reference recorded";
        NormalizeExportPath(saved.sharePath, dir);
        uint32_t made = 0;
        while (made < saved.references && CreateAsThisMachine(fsm, dir, saved, error))
            ++made;
        if (made > 0 && made == saved.references) {
            OXLOG(1, saved.jobId, "Export [%s] made again with %u references.", dir.c_str(), made);
            continue;
        }
        OXLOG(-1, saved.jobId, "Recorded export [%s]: %s.", dir.c_str(), error.c_str());
        if (made == 0)
            SavedExports::Drop(saved.sharePath);
    }
}
