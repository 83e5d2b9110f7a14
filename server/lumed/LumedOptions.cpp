#include "server/lumed/LumedOptions.h"

#include <arpa/inet.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "server/lumed/ConfigFile.h"

const char* const kLumedUsage =
    "usage: lumed [--export DIR...] [--clients LIST] [--perms N] [--port N]\n"
    "             [--bind ADDR] [--state-dir DIR] [--module PATH] [--log-level N]\n"
    "             [--workers N] [--no-rpcbind] [--config-bind ADDR] [--config-port N]\n"
    "             [--minute-seconds N] [--admin-group GROUP]\n"
    "             [--tls-cert FILE --tls-key FILE --tls-ca FILE] [--ganesha]\n"
    "             [--log-stderr] [--config FILE] [--check-config]\n"
    "             [--metrics [ADDR:]PORT]\n"
    "       lumed --version\n";

const char* const kLumedHelp =
    "lumed serves directories of this machine to NFSv3 clients and takes\n"
    "exports, locks and hole punching from lumectl on its configuration channel.\n"
    "\n"
    "Options (each also a key of the configuration file, without the dashes):\n"
    "  --config FILE         read options from FILE (default /etc/lumed/lumed.toml\n"
    "                        when it exists); flags override it\n"
    "  --check-config        check the configuration and the flags, then exit\n"
    "  --export DIR          export DIR at start (repeatable), with --clients LIST\n"
    "                        (default *) and --perms N (1 read, 2 write, 4 root\n"
    "                        keeps its identity; default 3)\n"
    "  --port N, --bind ADDR where NFS and MOUNT listen (default 127.0.0.1:2049)\n"
    "  --workers N           threads serving calls\n"
    "  --no-rpcbind          do not register with rpcbind\n"
    "  --state-dir DIR       state, log and lumed.sock; --module PATH the module\n"
    "  --log-level N         -1 errors only ... 10 traces; --log-stderr logs for\n"
    "                        journald on stderr instead of the log file\n"
    "  --config-bind ADDR, --config-port N\n"
    "                        the configuration channel's own TCP server\n"
    "  --admin-group GROUP   members act as this machine on lumed.sock\n"
    "  --tls-cert FILE --tls-key FILE --tls-ca FILE\n"
    "                        require TLS with client certificates of that CA\n"
    "  --ganesha             NFS-Ganesha serves the exports; lumed tells it over\n"
    "                        D-Bus\n"
    "  --metrics [ADDR:]PORT serve statistics in the Prometheus text format\n"
    "  --minute-seconds N    the length of an expiry minute (tests)\n"
    "  --version, --help\n"
    "\n"
    "SIGTERM or SIGINT stops lumed; SIGHUP reopens the log and adds the\n"
    "configuration file's new exports.\n";

const char* const kLumedDefaultConfig = "/etc/lumed/lumed.toml";

namespace {

bool ParseNumber(const std::string& text, long low, long high, long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= low && value <= high;
}

// [ADDR:]PORT, ADDR an IPv4 literal or an IPv6 one in brackets.
bool ParseMetrics(const std::string& value, LumedOptions& options) {
    const size_t colon = value.rfind(':');
    std::string address = colon == std::string::npos ? "127.0.0.1" : value.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    long port = 0;
    if (!ParseNumber(value.substr(colon == std::string::npos ? 0 : colon + 1), 0, 65535, port))
        return false;
    options.metricsAddress = address;
    options.metricsPort = static_cast<unsigned>(port);
    return true;
}

}  // namespace

bool ApplyLumedOption(const std::string& name, const std::string& value, LumedOptions& options) {
    long number = 0;
    if (name == "--export")
        options.exports.push_back(value);
    else if (name == "--clients")
        options.clients = value;
    else if (name == "--perms" && ParseNumber(value, 0, 7, number))
        options.perms = static_cast<SharePerms>(number);
    else if (name == "--port" && ParseNumber(value, 0, 65535, number))
        options.port = static_cast<unsigned>(number);
    else if (name == "--bind")
        options.bindAddress = value;
    else if (name == "--state-dir")
        options.stateDir = value;
    else if (name == "--module")
        options.modulePath = value;
    else if (name == "--log-level" && ParseNumber(value, -1, 10, number))
        options.logLevel = static_cast<int>(number);
    else if (name == "--workers" && ParseNumber(value, 1, 1024, number))
        options.workers = static_cast<unsigned>(number);
    else if (name == "--config-bind")
        options.configBind = value;
    else if (name == "--config-port" && ParseNumber(value, 0, 65535, number))
        options.configPort = static_cast<unsigned>(number);
    else if (name == "--minute-seconds" && ParseNumber(value, 1, 3600, number))
        options.minuteSeconds = static_cast<unsigned>(number);
    else if (name == "--admin-group" && !value.empty())
        options.adminGroup = value;
    else if (name == "--tls-cert" && !value.empty())
        options.tlsCertificate = value;
    else if (name == "--tls-key" && !value.empty())
        options.tlsKey = value;
    else if (name == "--tls-ca" && !value.empty())
        options.tlsCa = value;
    else if (name == "--metrics")
        return ParseMetrics(value, options);
    else
        return false;
    return true;
}

namespace {

bool IsLoopback(const std::string& address) {
    in_addr v4{};
    if (::inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return ::inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

}  // namespace

std::string StateDirOf(const LumedOptions& options) {
    return options.stateDir.empty() ? LUMED_DEFAULT_STATE_DIR : options.stateDir;
}

bool ConfigSharesNfsPort(const LumedOptions& options) {
    return !options.ganesha && !options.configBind && !options.configPort && !options.Tls() &&
           IsLoopback(options.bindAddress);
}

namespace {

// What the options allow together; false and error set when they clash.
bool Consistent(const LumedOptions& options, std::string& error) {
    const int tlsFiles =
        !options.tlsCertificate.empty() + !options.tlsKey.empty() + !options.tlsCa.empty();
    if (tlsFiles != 0 && tlsFiles != 3) {
        error = "--tls-cert, --tls-key and --tls-ca go together";
        return false;
    }
    // Callers over the network are proved by certificates or not at all.
    if (!options.Tls() && options.configBind && !IsLoopback(*options.configBind)) {
        error =
            "the configuration channel listens beyond loopback only with TLS "
            "(--tls-cert, --tls-key and --tls-ca)";
        return false;
    }
    return true;
}

}  // namespace

namespace {

struct Flag {
    std::string name, value;
};

// The flags that take no value, and what each sets.
bool ApplySwitch(const std::string& name, LumedOptions& options) {
    if (name == "--no-rpcbind")
        options.rpcbind = false;
    else if (name == "--ganesha")
        options.ganesha = true;
    else if (name == "--log-stderr")
        options.logStderr = true;
    else if (name == "--check-config")
        options.checkConfig = true;
    else if (name == "--version")
        options.version = true;
    else if (name == "--help")
        options.help = true;
    else
        return false;
    return true;
}

// The command line as flags, switches with an empty value.
bool SplitFlags(int argc, char** argv, std::vector<Flag>& flags, std::string& error) {
    LumedOptions probe;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (ApplySwitch(name, probe)) {
            flags.push_back({name, ""});
            continue;
        }
        if (i + 1 >= argc) {
            error = "missing value or unknown option: " + name;
            return false;
        }
        flags.push_back({name, argv[++i]});
    }
    return true;
}

// The configuration file to read: --config, else the default when present.
std::string ConfigPathOf(const std::vector<Flag>& flags) {
    std::string path;
    for (const Flag& flag : flags)
        if (flag.name == "--config")
            path = flag.value;
    if (path.empty() && ::access(kLumedDefaultConfig, F_OK) == 0)
        path = kLumedDefaultConfig;
    return path;
}

}  // namespace

bool ParseLumedOptions(int argc, char** argv, LumedOptions& options, std::string& error) {
    std::vector<Flag> flags;
    if (!SplitFlags(argc, argv, flags, error))
        return false;
    // Neither needs a configuration, not even a readable one.
    for (const Flag& flag : flags)
        if (flag.name == "--version" || flag.name == "--help")
            return ApplySwitch(flag.name, options);
    options.configPath = ConfigPathOf(flags);
    // The file first, so that every flag overrides it.
    if (!options.configPath.empty() && !LoadConfigFile(options.configPath, options, error))
        return false;
    for (const Flag& flag : flags) {
        if (flag.name == "--config" || ApplySwitch(flag.name, options))
            continue;
        if (!ApplyLumedOption(flag.name, flag.value, options)) {
            error = "bad option or value: " + flag.name + " " + flag.value;
            return false;
        }
    }
    return Consistent(options, error);
}
