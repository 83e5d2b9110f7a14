#include "server/lumed/StartupExports.h"

#include <vector>

#include "host/LumeServiceGlobals.h"
#include "module/ConfigRPCTypes.h"
#include "module/ExportRecords.h"
#include "platform/LogWriter.h"

namespace {
std::vector<char> Writable(const std::string& text) {
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}
}  // namespace

bool CreateStartupExport(FSM* fsm, const std::string& dir, const std::string& clients,
                         SharePerms perms, std::string& error) {
    std::vector<char> path = Writable(dir), clientText = Writable(clients);
    LumeExportPath request{};
    request.timeout = 0;  // never expires
    request.path = path.data();
    request.clients = clientText.data();
    request.perms = perms;

    char* response = nullptr;
    size_t responseLength = 0;
    int responseType = 0;
    fsm->GenericConfigRPCHandler(&request, LumeServiceGlobals::clientName, RPC_CREATE_EXPORT,
                                 response, responseLength, responseType);
    auto* created = reinterpret_cast<LumeExportPathResp*>(response);
    bool ok =
        created && responseType == static_cast<int>(RPC_CREATE_EXPORT_RESP) && created->status == 0;
    if (!ok) {
        error = "cannot export " + dir + ": status " +
                std::to_string(created ? created->status : -1) + ", " +
                (created && created->message ? created->message : "no response");
    } else {
        OXLOG(1, 0, "Exported %s to clients [%s] with permissions %d.", dir.c_str(),
              clients.c_str(), perms);
    }
    if (response)
        fsm->ReleaseConfigRPCMem(responseType, response);
    return ok;
}
