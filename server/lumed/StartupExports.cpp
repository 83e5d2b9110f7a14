#include "server/lumed/StartupExports.h"

#include <vector>

#include "host/LumeServiceGlobals.h"
#include "platform/LogWriter.h"
#include "server/config/ConfigRequests.h"

namespace {
std::vector<char> Writable(const std::string& text) {
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}
}  // namespace

bool CreateStartupExport(FSM* fsm, const std::string& dir, const std::string& clients,
                         SharePerms perms, std::string& error) {
    std::vector<char> path = Writable(dir), clientText = Writable(clients);
    char* clientsField = clientText.data();
    lumecfg_export_args args{};
    args.timeout = 0;  // never expires
    args.path = path.data();
    args.clients = &clientsField;
    args.perms = perms;

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
    if (ok)
        OXLOG(1, 0, "Exported %s to clients [%s] with permissions %d.", dir.c_str(),
              clients.c_str(), perms);
    return ok;
}
