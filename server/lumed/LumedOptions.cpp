// lumed's command line (CLI11) and help texts, and how the configuration file and the flags
// combine.
#include "server/lumed/LumedOptions.h"

#include <arpa/inet.h>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "host/AllowedClients.h"
#include "platform/DecimalOption.h"
#include "server/lumed/ConfigFile.h"

const char* const kLumedUsage =
    "usage: lumed [--export DIR...] [--clients LIST] [--perms N] [--port N]\n"
    "             [--bind ADDR] [--state-dir DIR] [--module PATH] [--log-level N]\n"
    "             [--workers N] [--max-connections-per-address N] [--no-rpcbind]\n"
    "             [--config-bind ADDR] [--config-port N]\n"
    "             [--minute-seconds N] [--admin-group GROUP]\n"
    "             [--tls-cert FILE --tls-key FILE --tls-ca FILE] [--ganesha]\n"
    "             [--log-stderr] [--config FILE] [--check-config]\n"
    "             [--metrics [ADDR:]PORT]\n"
    "       lumed --version\n";

const char* const kLumedHelp =
    "lumed serves directories of this machine to NFSv3 clients and takes\n"
    "exports, locks and hole punching from lumectl on its configuration channel.\n"
    "\n"
    "Options (in the configuration file, each but --config, --check-config,\n"
    "--export, --version and --help is a key: its name without the leading\n"
    "dashes, and rpcbind = false for --no-rpcbind; exports there are [[export]]\n"
    "tables of dir, clients and perms):\n"
    "  --config FILE         read options from FILE (default /etc/lumed/lumed.toml\n"
    "                        when it exists); flags override it\n"
    "  --check-config        check the configuration and the flags, then exit\n"
    "  --export DIR          export DIR at start (repeatable), with --clients LIST\n"
    "                        (default *) and --perms N (1 read, 2 write, 4 root\n"
    "                        keeps its identity; default 3)\n"
    "  --port N, --bind ADDR where NFS and MOUNT listen (default 127.0.0.1:2049)\n"
    "  --workers N           threads serving calls\n"
    "  --max-connections-per-address N\n"
    "                        NFS connections one client address may hold\n"
    "                        (default 64)\n"
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

// A client list as the exports take it: checked whole (AllowedClients::Check).
const CLI::Validator kClientList(
    [](std::string& text) {
        std::string reason;
        return AllowedClients::Check(text, reason) ? std::string() : reason;
    },
    "LIST");

// [ADDR:]PORT, ADDR an IPv4 literal or an IPv6 one in brackets.
void SetMetrics(const std::string& value, LumedOptions& options) {
    const size_t colon = value.rfind(':');
    std::string address = colon == std::string::npos ? "127.0.0.1" : value.substr(0, colon);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    std::string port = value.substr(colon == std::string::npos ? 0 : colon + 1);
    const std::string bad = DecimalIn<long>(0, 65535)(port);
    if (!bad.empty())
        throw CLI::ValidationError("--metrics", bad);
    options.metricsAddress = address;
    options.metricsPort = static_cast<unsigned>(std::stoul(port));
}

// Every flag of lumed, bound to what it sets. Given twice, a flag's last
// value wins; --export adds up.
void AddFlags(CLI::App& app, LumedOptions& o) {
    app.set_help_flag();
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Acted on where they stand, before any other value is checked.
    app.add_flag_callback("--help", [] { throw CLI::CallForHelp(); })->trigger_on_parse();
    app.add_flag_callback("--version", [] { throw CLI::CallForVersion(); })->trigger_on_parse();
    app.add_option("--config", o.configPath);
    app.add_flag("--check-config", o.checkConfig);
    app.add_option("--export", o.exports)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--clients", o.clients)->check(kClientList);
    app.add_option("--perms", o.perms)->transform(DecimalIn<long>(0, 7));
    app.add_option("--port", o.port)->transform(DecimalIn<long>(0, 65535));
    app.add_option("--bind", o.bindAddress);
    app.add_option("--state-dir", o.stateDir);
    app.add_option("--module", o.modulePath);
    app.add_option("--log-level", o.logLevel)->transform(DecimalIn<long>(-1, 10));
    app.add_option("--workers", o.workers)->transform(DecimalIn<long>(1, 1024));
    app.add_option("--max-connections-per-address", o.maxConnectionsPerAddress)
        ->transform(DecimalIn<long>(1, 65536));
    app.add_flag("--no-rpcbind{false}", o.rpcbind);
    app.add_flag("--ganesha", o.ganesha);
    app.add_flag("--log-stderr", o.logStderr);
    app.add_option("--config-bind", o.configBind);
    app.add_option("--config-port", o.configPort)->transform(DecimalIn<long>(0, 65535));
    app.add_option("--minute-seconds", o.minuteSeconds)->transform(DecimalIn<long>(1, 3600));
    app.add_option("--admin-group", o.adminGroup)->transform(kNonEmptyText);
    app.add_option("--tls-cert", o.tlsCertificate)->transform(kNonEmptyText);
    app.add_option("--tls-key", o.tlsKey)->transform(kNonEmptyText);
    app.add_option("--tls-ca", o.tlsCa)->transform(kNonEmptyText);
    app.add_option_function<std::string>("--metrics",
                                         [&o](const std::string& v) { SetMetrics(v, o); });
}

// The flags of argv into options; false and error when one is bad.
bool ParseFlags(int argc, const char* const* argv, LumedOptions& options, std::string& error) {
    CLI::App app("lumed", "lumed");
    AddFlags(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        options.help = true;
    } catch (const CLI::CallForVersion&) {
        options.version = true;
    } catch (const CLI::ParseError& bad) {
        error = bad.what();
        return false;
    }
    return true;
}

}  // namespace

bool ApplyLumedOption(const std::string& name, const std::string& value, LumedOptions& options) {
    // One word, so that a value starting with a dash is still a value.
    const std::string flag = name + "=" + value;
    const char* argv[] = {"lumed", flag.c_str()};
    std::string error;
    return ParseFlags(2, argv, options, error);
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

bool ParseLumedOptions(int argc, char** argv, LumedOptions& options, std::string& error) {
    LumedOptions flags;
    if (!ParseFlags(argc, argv, flags, error))
        return false;
    // Neither needs a configuration, not even a readable one.
    if (flags.help || flags.version) {
        options.help = flags.help;
        options.version = flags.version;
        return true;
    }
    if (flags.configPath.empty() && ::access(kLumedDefaultConfig, F_OK) == 0)
        flags.configPath = kLumedDefaultConfig;
    options.configPath = flags.configPath;
    // The file first, then the flags again over it, so that every flag wins.
    if (!options.configPath.empty() && !LoadConfigFile(options.configPath, options, error))
        return false;
    return ParseFlags(argc, argv, options, error) && Consistent(options, error);
}
