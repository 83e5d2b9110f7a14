#include "tests/server/nfs/InProcessServer.h"

#include <sys/stat.h>

#include "host/ConfigRPCTypes.h"
#include "host/ExportCache.h"
#include "host/LumeServiceGlobals.h"
#include "module/SinkFSM.h"
#include "platform/StateDir.h"
#include "server/lumed/DescriptorBudget.h"
#include "server/mount/Mount3Program.h"
#include "server/nfs/Nfs3Program.h"
#include "server/rpc/RpcServer.h"
#include "tests/module/ConfigCall.h"

struct InProcessServer::Parts {
    Mount3Program mount{SinkFSM::GetFSM()};
    // Sized by what the test left the process, as lumed's are at start.
    Nfs3Program nfs{SinkFSM::GetFSM(), DescriptorBudget::OfProcess().nfs};
    RpcServer server{RpcServer::Options()};
    bool started = false;
};

InProcessServer::InProcessServer(const std::string& stateDir) {
    SetPlatformStateDir(stateDir);
    LumeServiceGlobals::clientName = "media01";
    LumeServiceGlobals::networkServicesStarted = true;
    LumeServiceGlobals::portMapperRegistered = true;
    m_parts = std::make_unique<Parts>();
    m_parts->server.AddProgram(&m_parts->mount);
    m_parts->server.AddProgram(&m_parts->nfs);
    std::string error;
    m_parts->started = m_parts->server.Start(error);
}

InProcessServer::~InProcessServer() {
    m_parts->server.Stop();
    for (ExportPtr& exp : gAllExports->GetAllExports())
        gAllExports->RemoveExport(exp);
}

bool InProcessServer::Started() const {
    return m_parts->started;
}

uint16_t InProcessServer::Port() const {
    return m_parts->server.Port();
}

bool InProcessServer::Export(const std::string& path, SharePerms perms) {
    if (::mkdir(path.c_str(), 0777) != 0 || ::chmod(path.c_str(), 0777) != 0)
        return false;
    ExportRequest made(path);
    made.request.perms = perms;
    const ConfigCall call(RPC_CREATE_EXPORT, &made.request);
    return call.type == RPC_CREATE_EXPORT_RESP && call.Export().status == 0;
}
