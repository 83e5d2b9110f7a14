// lumed: the NFSv3 server. Loads the file-system module, exports the
// directories named on the command line and in its configuration file,
// makes again the exports the configuration channel had made before it last
// stopped (its descriptors shared out first: DescriptorBudget.h), serves MOUNT, NFS and the
// configuration program, removes exports that expire without a keep-alive, and on SIGINT or SIGTERM
// finishes the calls in flight, removes its exports (their records stay) and exits 0. SIGHUP
// reopens the log file and adds the configuration file's new
// [[export]]s. Under systemd it says READY=1 once it serves and STOPPING=1
// when it stops.
//
// As it starts it prints on stdout, which scripts and tests read,
//   lumed: configuration socket PATH
//   lumed: configuration on ADDRESS port PORT[ with TLS]   (when not the NFS port)
//   lumed: metrics on ADDRESS port PORT   (with --metrics)
//   lumed: exporting DIR   (for each --export and [[export]])
//   lumed: serving on ADDRESS port PORT   (last: it is ready)
// or, with --ganesha, where NFS-Ganesha serves the exports,
//   lumed: serving through NFS-Ganesha
#include <grp.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "LumeVersion.h"
#include "host/ExportCache.h"
#include "host/Ganesha.h"
#include "host/LumeServiceGlobals.h"
#include "platform/LogWriter.h"
#include "platform/OXPlatformInfo.h"
#include "platform/StateDir.h"
#include "server/config/ConfigProgram.h"
#include "server/lumed/ConfigFile.h"
#include "server/lumed/DescriptorBudget.h"
#include "server/lumed/ExportSweeper.h"
#include "server/lumed/FsmModule.h"
#include "server/lumed/LumedOptions.h"
#include "server/lumed/RpcBind.h"
#include "server/lumed/StartupExports.h"
#include "server/mount/Mount3Program.h"
#include "server/nfs/Nfs3Program.h"
#include "server/rpc/RpcServer.h"
#include "server/stats/MetricsEndpoint.h"
#include "server/stats/MetricsText.h"

namespace {

constexpr unsigned kDefaultWorkers = 8;

int Fail(const std::string& message) {
    std::fprintf(stderr, "lumed: %s\n", message.c_str());
    OXLOG(-1, 0, "%s", message.c_str());
    return 1;
}

std::string LogFilePath(const LumedOptions& options) {
    return StateDirOf(options) + "/lumed.log";
}

// The log goes to journald when it is stderr (or when asked), stamped
// there; else to the log file, logFile its sink, with errors on stderr too.
bool SetUpLog(const LumedOptions& options, std::shared_ptr<LogSink>& logFile, std::string& error) {
    TheLogWriter().SetLevel(options.logLevel);
    if (options.logStderr || StderrIsJournal()) {
        TheLogWriter().SetSink(std::make_shared<JournalLogSink>(stderr));
        return true;
    }
    try {
        logFile = std::make_shared<StreamLogSink>(LogFilePath(options));
    } catch (const std::exception& e) {
        error = std::string("cannot open the log: ") + e.what();
        return false;
    }
    TheLogWriter().SetSink(
        std::make_shared<LevelLimitSink>(0, std::make_shared<StreamLogSink>(stderr)));
    TheLogWriter().AddSink(logFile);
    return true;
}

// State dir and log: both before anything logs or reads the registry. The
// state directory must be the administrator's (StateDir.h); from here on it
// is named by its proved real path, so no link on the way is taken again.
bool SetUpState(LumedOptions& options, std::shared_ptr<LogSink>& logFile, std::string& error) {
    std::string proved, why;
    if (!ProveStateDir(StateDirOf(options), proved, why)) {
        error = "refusing the state directory " + StateDirOf(options) + ": " + why;
        return false;
    }
    options.stateDir = proved;
    SetPlatformStateDir(proved);
    if (!SetUpLog(options, logFile, error))
        return false;
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

// Exports dir as the administrator named it (where: the option or the
// file's entry, for messages); with onlyNew, not again when exported
// already. False with error "WHERE: reason".
bool CreateExport(FSM* fsm, const std::string& dir, const std::string& where,
                  const std::string& clients, SharePerms perms, bool onlyNew, std::string& error) {
    ExportDirectory opened;
    ExportPtr existing;
    bool ok = OpenExportDirectory(dir, opened, error);
    if (ok && onlyNew && gAllExports->FindExport(opened.path, existing))
        return true;
    if (!ok || !CreateStartupExport(fsm, opened, clients, perms, error)) {
        error = where + ": " + error;
        return false;
    }
    std::printf("lumed: exporting %s\n", opened.path.c_str());
    return true;
}

bool CreateFileExport(FSM* fsm, const ConfigExport& entry, const LumedOptions& options,
                      bool onlyNew, std::string& error) {
    return CreateExport(fsm, entry.dir,
                        options.configPath + ":" + std::to_string(entry.line) + ": dir",
                        entry.clients.value_or(options.clients),
                        entry.perms.value_or(options.perms), onlyNew, error);
}

bool CreateExports(FSM* fsm, const LumedOptions& options, std::string& error) {
    for (const std::string& dir : options.exports)
        if (!CreateExport(fsm, dir, "--export", options.clients, options.perms, false, error))
            return false;
    for (const ConfigExport& entry : options.fileExports)
        if (!CreateFileExport(fsm, entry, options, false, error))
            return false;
    return true;
}

// SIGHUP: the configuration file's [[export]]s that are not exported yet
// are made; nothing else of the file is taken again, nothing is removed.
void AddNewFileExports(FSM* fsm, const LumedOptions& options) {
    LumedOptions fresh;
    std::string error;
    if (options.configPath.empty())
        return;
    if (!LoadConfigFile(options.configPath, fresh, error)) {
        OXLOG(-1, 0, "Exports unchanged: %s.", error.c_str());
        return;
    }
    for (const ConfigExport& entry : fresh.fileExports)
        if (!CreateFileExport(fsm, entry, options, true, error))
            OXLOG(-1, 0, "%s", error.c_str());
    std::fflush(stdout);
}

// SIGHUP: a new log file in the place of the old one (logrotate renamed it).
void ReopenLog(const LumedOptions& options, std::shared_ptr<LogSink>& logFile) {
    if (!logFile)
        return;
    try {
        std::shared_ptr<LogSink> fresh = std::make_shared<StreamLogSink>(LogFilePath(options));
        TheLogWriter().ReplaceSink(logFile, fresh);
        logFile = fresh;
    } catch (const std::exception& e) {
        OXLOG(-1, 0, "Log file kept: %s", e.what());
    }
}

// Blocks the stop signals and SIGHUP in every thread (threads inherit the
// mask) so that only the main thread's sigwait sees them.
sigset_t BlockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

// The configuration program's own server, when it does not share the NFS
// port: loopback unless --config-bind says otherwise; TLS required when
// configured. Null with error set.
std::unique_ptr<RpcServer> StartConfigServer(const LumedOptions& options,
                                             const DescriptorBudget& budget, ConfigProgram& config,
                                             std::string& error) {
    RpcServer::Options serverOptions;
    serverOptions.maxConnections = budget.configConnections;
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
std::unique_ptr<RpcServer> StartLocalConfigServer(const LumedOptions& options,
                                                  const DescriptorBudget& budget, gid_t adminGroup,
                                                  ConfigProgram& config, std::string& error) {
    RpcServer::Options serverOptions;
    serverOptions.maxConnections = budget.configConnections;
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

// lumed's own NFS service: MOUNT and NFS on one server, and the
// configuration program too when it shares the NFS port.
struct NfsService {
    NfsService(FSM* fsm, const RpcServer::Options& options, const Nfs3Limits& limits)
        : server(options), mount(fsm), nfs(fsm, limits) {
        server.AddProgram(&mount);
        server.AddProgram(&nfs);
        served = {{MOUNT_PROGRAM, MOUNT_V3}, {nfs.Number(), nfs.HighVersion()}};
    }
    // The programs die before the server: no call may be running in them.
    ~NfsService() { server.Stop(); }
    RpcServer server;
    Mount3Program mount;
    Nfs3Program nfs;
    std::vector<std::pair<uint32_t, uint32_t>> served;
};

std::unique_ptr<NfsService> MakeNfsService(FSM* fsm, const LumedOptions& options,
                                           const DescriptorBudget& budget, ConfigProgram& config) {
    RpcServer::Options serverOptions;
    serverOptions.bindAddress = options.bindAddress;
    serverOptions.port = static_cast<uint16_t>(options.port);
    serverOptions.workers = WorkerCount(options);
    serverOptions.maxConnections = budget.nfsConnections;
    serverOptions.maxConnectionsPerAddress = options.maxConnectionsPerAddress;
    std::unique_ptr<NfsService> service(new NfsService(fsm, serverOptions, budget.nfs));
    if (ConfigSharesNfsPort(options)) {
        service->server.AddProgram(&config);
        service->served.emplace_back(config.Number(), config.HighVersion());
    }
    return service;
}

// The metrics endpoint when asked for; null with error set when it cannot
// start, and null with error empty when not asked for.
std::unique_ptr<MetricsEndpoint> StartMetrics(const LumedOptions& options, std::string& error) {
    if (!options.metricsAddress)
        return nullptr;
    std::unique_ptr<MetricsEndpoint> metrics(
        new MetricsEndpoint([] { return MetricsText(CallStats::Process().Snapshot()); }));
    if (!metrics->Start(*options.metricsAddress, static_cast<uint16_t>(options.metricsPort), error))
        return nullptr;
    std::printf("lumed: metrics on %s port %u\n", options.metricsAddress->c_str(), metrics->Port());
    return metrics;
}

// With NFS-Ganesha: find what it still has from an earlier run before any
// export is made. False with error set when it cannot be asked.
bool JoinGanesha(std::string& error) {
    LumeServiceGlobals::isGanesha = true;
    if (AdoptGaneshaExports(error))
        return true;
    error = "cannot start with --ganesha: " + error;
    return false;
}

// Waits for a stop signal, answering SIGHUPs meanwhile; the signal.
int AwaitStop(FSM* fsm, const LumedOptions& options, const sigset_t& signals,
              std::shared_ptr<LogSink>& logFile) {
    for (;;) {
        int signal = 0;
        sigwait(&signals, &signal);
        if (signal != SIGHUP)
            return signal;
        ReopenLog(options, logFile);
        AddNewFileExports(fsm, options);
        OXLOG(1, 0, "SIGHUP: log reopened, configuration's exports re-read.");
    }
}

// Serves until a stop signal; programs and servers are gone on return, so
// nothing uses the module afterwards. The process's exit code.
int Serve(FSM* fsm, const LumedOptions& options, const DescriptorBudget& budget,
          const sigset_t& stopSignals, std::shared_ptr<LogSink>& logFile) {
    std::string error;
    gid_t adminGroup;
    if (!AdminGroup(options, adminGroup, error))
        return Fail(error);
    if (options.ganesha && !JoinGanesha(error))
        return Fail(error);
    ConfigProgram config(fsm, adminGroup);
    std::unique_ptr<NfsService> nfs;
    if (!options.ganesha)
        nfs = MakeNfsService(fsm, options, budget, config);
    std::unique_ptr<RpcServer> configServer;
    std::unique_ptr<RpcServer> localConfigServer =
        StartLocalConfigServer(options, budget, adminGroup, config, error);
    if (!localConfigServer ||
        (!ConfigSharesNfsPort(options) &&
         !(configServer = StartConfigServer(options, budget, config, error)))) {
        nfs.reset();
        return Fail("configuration channel: " + error);
    }
    std::unique_ptr<MetricsEndpoint> metrics = StartMetrics(options, error);
    if (!metrics && !error.empty()) {
        nfs.reset();
        return Fail(error);
    }
    LumeServiceGlobals::networkServicesStarted = true;
    const bool exported = CreateExports(fsm, options, error);
    if (exported)
        RestoreSavedExports(fsm);
    // NFS clients are let in only now: a handle from before a restart finds
    // its export from the first call on.
    if (!exported || (nfs && !nfs->server.Start(error))) {
        nfs.reset();
        configServer.reset();
        localConfigServer.reset();
        fsm->FinalizeExports();
        return Fail(error);
    }
    std::unique_ptr<RpcBindRegistration> rpcbind;
    if (nfs && options.rpcbind)
        rpcbind.reset(new RpcBindRegistration(nfs->served, nfs->server.Port()));
    if (options.ganesha)
        DropUnadoptedGaneshaExports();
    ExportSweeper sweeper(fsm, options.minuteSeconds);
    sweeper.Start();
    if (nfs)
        std::printf("lumed: serving on %s port %u\n", options.bindAddress.c_str(),
                    nfs->server.Port());
    else
        std::printf("lumed: serving through NFS-Ganesha\n");
    std::fflush(stdout);
    sd_notify(0, "READY=1");

    int signal = AwaitStop(fsm, options, stopSignals, logFile);
    sd_notify(0, "STOPPING=1");
    OXLOG(1, 0, "Signal %d: stopping.", signal);
    sweeper.Stop();
    metrics.reset();
    configServer.reset();
    localConfigServer.reset();
    nfs.reset();
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
    if (options.help) {
        std::printf("%s\n%s", kLumedUsage, kLumedHelp);
        return 0;
    }
    if (options.version) {
        std::printf("lumed %s\n", LUME_VERSION);
        return 0;
    }
    if (options.checkConfig) {
        std::printf("lumed: %s\n",
                    options.configPath.empty()
                        ? "no configuration file; the options are valid"
                        : ("configuration " + options.configPath + " is valid").c_str());
        return 0;
    }
    sigset_t stopSignals = BlockStopSignals();
    std::shared_ptr<LogSink> logFile;
    if (!SetUpState(options, logFile, error))
        return Fail(error);
    std::string modulePath = options.modulePath.empty() ? LUMED_DEFAULT_MODULE : options.modulePath;
    FSM* fsm = LoadFsmModule(modulePath, error);
    if (!fsm)
        return Fail(error);
    // Before any export is made, restored ones included.
    const DescriptorBudget budget = DescriptorBudget::AtStart();
    budget.ApplyToExports();
    int code = Serve(fsm, options, budget, stopSignals, logFile);
    // The module hands over its object once unloaded; the host deletes it.
    fsm->UnloadFSM();
    delete fsm;
    if (code == 0)
        std::printf("lumed: stopped\n");
    return code;
}
