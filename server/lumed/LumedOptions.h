// lumed's command line.
//
//   lumed [--export DIR...] [--clients LIST] [--perms N]
//         [--port N] [--bind ADDR] [--state-dir DIR] [--module PATH]
//         [--log-level N] [--workers N] [--max-connections-per-address N]
//         [--no-rpcbind]
//         [--config-bind ADDR] [--config-port N] [--minute-seconds N]
//         [--admin-group GROUP] [--tls-cert FILE --tls-key FILE --tls-ca FILE]
//         [--ganesha] [--log-stderr] [--config FILE] [--check-config]
//         [--metrics [ADDR:]PORT]
//   lumed --version
//
// Without --export lumed serves the exports made later through the
// configuration channel.
// --clients and --perms apply to every --export; a --clients list with an
// entry that is no client, or with none, is refused naming the entry. --port 0 picks a free
// port; the port served is printed on stdout once lumed is ready.
// The configuration program shares the NFS port when NFS is bound to a
// loopback address and neither --config-bind nor --config-port is given;
// otherwise it has a server of its own (default 127.0.0.1, a free port).
// The configuration program also listens on the local socket
// STATE_DIR/lumed.sock (mode 0600; 0660 and group GROUP with --admin-group),
// where root and the group's members are this machine.
// With --tls-cert, --tls-key and --tls-ca (PEM files: lumed's certificate,
// its key, the CA that issues its callers' certificates) the configuration
// program has its own server, by default on 127.0.0.1, and every caller
// there takes up TLS with a client certificate of that CA, whose subject's
// common name is the caller's client name. Without them --config-bind must
// be a loopback address, and callers over TCP are nobody in particular.
// With --ganesha lumed serves no NFS itself: NFS-Ganesha, reached on the
// system bus, serves the exports, and --port, --bind, --workers and
// --no-rpcbind have no effect; the configuration program has its own server.
// --metrics serves the call statistics over HTTP (GET /metrics, the
// Prometheus text format) on ADDR (an IPv4 or [IPv6] literal; 127.0.0.1
// when only PORT is given); port 0 picks a free one, printed once ready.
// --minute-seconds shortens the minute of export expiry intervals (tests).
// --config FILE (default /etc/lumed/lumed.toml when it exists) is read
// first and the flags override it (ConfigFile.h); --check-config only
// validates. --log-stderr writes the log to stderr in journald's form
// instead of the log file (as when journald is lumed's stderr).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/SharePerms.h"

// An [[export]] of the configuration file; unset fields take --clients
// and --perms.
struct ConfigExport {
    std::string dir;
    int line = 0;  // where it starts in the file, for messages
    std::optional<std::string> clients;
    std::optional<SharePerms> perms;
};

struct LumedOptions {
    std::vector<std::string> exports;
    std::string clients = "*";
    SharePerms perms = SHARE_PERM_READ | SHARE_PERM_WRITE;
    unsigned port = 2049;
    std::string bindAddress = "127.0.0.1";
    std::string stateDir;    // empty: the build's default
    std::string modulePath;  // empty: the built module
    int logLevel = 1;
    std::optional<unsigned> workers;            // unset: registry, else 8
    unsigned maxConnectionsPerAddress = 64;     // NFS connections of one client address
    bool rpcbind = true;                        // register with rpcbind when one runs
    bool ganesha = false;                       // NFS-Ganesha serves the exports
    std::optional<std::string> configBind;      // set: the configuration program's own address
    std::optional<unsigned> configPort;         // set: the configuration program's own port
    unsigned minuteSeconds = 60;                // length of an expiry "minute"
    std::string adminGroup;                     // empty: only root administers
    std::string tlsCertificate, tlsKey, tlsCa;  // all or none: the channel requires TLS
    std::vector<ConfigExport> fileExports;      // the configuration file's [[export]]s
    bool logStderr = false;                     // log to stderr for journald, no log file
    std::string configPath;                     // the file read; empty: none
    bool checkConfig = false;                   // validate, then exit
    bool version = false;                       // print the version, then exit
    bool help = false;                          // print kLumedHelp, then exit
    std::optional<std::string> metricsAddress;  // set: serve metrics there
    unsigned metricsPort = 0;

    bool Tls() const { return !tlsCertificate.empty(); }
};

// The state directory the options name, or the build's default.
std::string StateDirOf(const LumedOptions& options);

// Where lumed looks for its configuration file when --config is not given.
extern const char* const kLumedDefaultConfig;

// True and options filled from the configuration file and the flags (read
// with CLI11); else false and error says what is wrong.
bool ParseLumedOptions(int argc, char** argv, LumedOptions& options, std::string& error);

// Sets what flag name ("--port") sets from its value's text, as the command
// line would; false when the name takes no value or the value is invalid.
bool ApplyLumedOption(const std::string& name, const std::string& value, LumedOptions& options);

// Whether the configuration program is served on the NFS port.
bool ConfigSharesNfsPort(const LumedOptions& options);

extern const char* const kLumedUsage;
// What lumed --help prints (and its man page shows): the usage, then each option.
extern const char* const kLumedHelp;
