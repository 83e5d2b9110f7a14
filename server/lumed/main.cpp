// lumed: the NFSv3 server. Loads the file-system module, exports the
// directories named on the command line and makes again the exports the
// configuration channel had made before it last stopped, serves MOUNT, NFS
// and the configuration program, removes exports that expire without a
// keep-alive, and on SIGINT or SIGTERM finishes the calls in flight,
// removes its exports (their records stay) and exits 0.
//
// Once ready it prints on stdout, which scripts and tests read,
//   lumed: configuration socket PATH
//   lumed: configuration on ADDRESS port PORT[ with TLS]   (when not the NFS port)
//   lumed: serving on ADDRESS port PORT
#include <grp.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/LumeServiceGlobals.h"
#include "platform/LogWriter.h"
#include "platform/OXPlatformInfo.h"
#include "platform/StateDir.h"
#include "server/config/ConfigProgram.h"
#include "server/lumed/ExportSweeper.h"
#include "server/lumed/FsmModule.h"
#include "server/lumed/LumedOptions.h"
#include "server/lumed/RpcBind.h"
#include "server/lumed/StartupExports.h"
#include "server/mount/Mount3Program.h"
#include "server/nfs/Nfs3Program.h"
#include "server/rpc/RpcServer.h"

namespace {

constexpr unsigned kDefaultWorkers = 8;

int Fail(const std::string& message) {
    std::fprintf(stderr, "lumed: %s\n", message.c_str());
    OXLOG(-1, 0, "%s", message.c_str());
    return 1;
}

// State dir and log: both before anything logs or reads the registry.
bool SetUpState(const LumedOptions& options, std::string& error) {
    std::string dir = StateDirOf(options);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        error = "cannot create the state directory " + dir + ": " + ec.message();
        return false;
    }
    SetPlatformStateDir(dir);
    TheLogWriter().SetLevel(options.logLevel);
    try {
        TheLogWriter().AddSink(std::make_shared<StreamLogSink>(dir + "/lumed.log"));
    } catch (const std::exception& e) {
        error = std::string("cannot open the log: ") + e.what();
        return false;
    }
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof(host) - 1) == 0)
        LumeServiceGlobals::clientName = host;
    return true;
}

unsigned WorkerCount(const LumedOptions& options) {
    if (options.workers)
        return *options.workers;
    unsigned fromRegistry = 0;
    if (OXPlatformInfo().getNumber("Lume", "nMaxNFSRPCThread", &fromRegistry) && fromRegistry > 0)
        return fromRegistry;
    return kDefaultWorkers;
}

bool CreateExports(FSM* fsm, const LumedOptions& options, std::string& error) {
    for (const std::string& dir : options.exports) {
        char real[PATH_MAX];
        if (!::realpath(dir.c_str(), real) || !std::filesystem::is_directory(real)) {
            error = "not a directory: " + dir;
            return false;
        }
        if (!CreateStartupExport(fsm, real, options.clients, options.perms, error))
            return false;
        std::printf("lumed: exporting %s\n", real);
    }
    return true;
}

// Blocks the stop signals in every thread (threads inherit the mask) so that
// only the main thread's sigwait sees them.
sigset_t BlockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

// The configuration program's own server, when it does not share the NFS
// port: loopback unless --config-bind says otherwise; TLS required when
// configured. Null with error set.
std::unique_ptr<RpcServer> StartConfigServer(const LumedOptions& options, ConfigProgram& config,
                                             std::string& error) {
    RpcServer::Options serverOptions;
    serverOptions.bindAddress = options.configBind.value_or("127.0.0.1");
    serverOptions.port = static_cast<uint16_t>(options.configPort.value_or(0));
    serverOptions.workers = 2;
    if (options.Tls() &&
        !(serverOptions.tls = TlsContext::Make(TlsContext::Server, options.tlsCertificate,
                                               options.tlsKey, options.tlsCa, error)))
        return nullptr;
    std::unique_ptr<RpcServer> server(new RpcServer(serverOptions));
    server->AddProgram(&config);
    if (!server->Start(error))
        return nullptr;
    std::printf("lumed: configuration on %s port %u%s\n", serverOptions.bindAddress.c_str(),
                server->Port(), options.Tls() ? " with TLS" : "");
    return server;
}

// The configuration program on the local socket, where callers are proved
// by their peer credentials. Null with error set.
std::unique_ptr<RpcServer> StartLocalConfigServer(const LumedOptions& options, gid_t adminGroup,
                                                  ConfigProgram& config, std::string& error) {
    RpcServer::Options serverOptions;
    serverOptions.unixPath = StateDirOf(options) + "/lumed.sock";
    serverOptions.unixGroup = adminGroup;
    serverOptions.workers = 2;
    std::unique_ptr<RpcServer> server(new RpcServer(serverOptions));
    server->AddProgram(&config);
    if (!server->Start(error))
        return nullptr;
    std::printf("lumed: configuration socket %s\n", serverOptions.unixPath.c_str());
    return server;
}

// The group --admin-group names; (gid_t)-1 for none. False when unknown.
bool AdminGroup(const LumedOptions& options, gid_t& gid, std::string& error) {
    gid = static_cast<gid_t>(-1);
    if (options.adminGroup.empty())
        return true;
    struct group* found = ::getgrnam(options.adminGroup.c_str());
    if (!found) {
        error = "no such group: " + options.adminGroup;
        return false;
    }
    gid = found->gr_gid;
    return true;
}

// Serves until a stop signal; programs and servers are gone on return, so
// nothing uses the module afterwards. The process's exit code.
int Serve(FSM* fsm, const LumedOptions& options, const sigset_t& stopSignals) {
    RpcServer::Options serverOptions;
    serverOptions.bindAddress = options.bindAddress;
    serverOptions.port = static_cast<uint16_t>(options.port);
    serverOptions.workers = WorkerCount(options);
    RpcServer server(serverOptions);
    Mount3Program mount(fsm);
    server.AddProgram(&mount);
    std::vector<std::pair<uint32_t, uint32_t>> served = {{MOUNT_PROGRAM, MOUNT_V3}};
    Nfs3Program nfs(fsm);
    server.AddProgram(&nfs);
    served.emplace_back(nfs.Number(), nfs.HighVersion());
    std::string error;
    gid_t adminGroup;
    if (!AdminGroup(options, adminGroup, error))
        return Fail(error);
    ConfigProgram config(fsm, adminGroup);
    const bool configOnNfsPort = ConfigSharesNfsPort(options);
    if (configOnNfsPort) {
        server.AddProgram(&config);
        served.emplace_back(config.Number(), config.HighVersion());
    }
    if (!server.Start(error))
        return Fail(error);
    std::unique_ptr<RpcServer> configServer;
    std::unique_ptr<RpcServer> localConfigServer =
        StartLocalConfigServer(options, adminGroup, config, error);
    if (!localConfigServer ||
        (!configOnNfsPort && !(configServer = StartConfigServer(options, config, error)))) {
        server.Stop();
        return Fail("configuration channel: " + error);
    }
    LumeServiceGlobals::networkServicesStarted = true;
    std::unique_ptr<RpcBindRegistration> rpcbind;
    if (options.rpcbind)
        rpcbind.reset(new RpcBindRegistration(served, server.Port()));
    if (!CreateExports(fsm, options, error)) {
        server.Stop();
        configServer.reset();
        localConfigServer.reset();
        fsm->FinalizeExports();
        return Fail(error);
    }
    RestoreSavedExports(fsm);
    ExportSweeper sweeper(fsm, options.minuteSeconds);
    sweeper.Start();
    std::printf("lumed: serving on %s port %u\n", options.bindAddress.c_str(), server.Port());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    OXLOG(1, 0, "Signal %d: stopping.", signal);
    sweeper.Stop();
    configServer.reset();
    localConfigServer.reset();
    server.Stop();
    rpcbind.reset();
    LumeServiceGlobals::networkServicesStarted = false;
    fsm->FinalizeExports();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    LumedOptions options;
    std::string error;
    if (!ParseLumedOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "lumed: %s\n%s", error.c_str(), kLumedUsage);
        return 2;
    }
    sigset_t stopSignals = BlockStopSignals();
    if (!SetUpState(options, error))
        return Fail(error);
    std::string modulePath = options.modulePath.empty() ? LUMED_DEFAULT_MODULE : options.modulePath;
    FSM* fsm = LoadFsmModule(modulePath, error);
    if (!fsm)
        return Fail(error);
    int code = Serve(fsm, options, stopSignals);
    // The module hands over its object once unloaded; the host deletes it.
    fsm->UnloadFSM();
    delete fsm;
    if (code == 0)
        std::printf("lumed: stopped\n");
    return code;
}
