#include "cli/LumectlCommand.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <vector>

#include "server/protocol/lumecfg.h"

const char* const kLumectlUsage =
    "usage: lumectl [--socket PATH | --server HOST[:PORT] [--tls-ca FILE\n"
    "               [--tls-cert FILE --tls-key FILE]]] [--json] COMMAND [ARGS]\n";

const char* const kLumectlHelp =
    "usage: lumectl [--socket PATH | --server HOST[:PORT] [--tls-ca FILE\n"
    "               [--tls-cert FILE --tls-key FILE]]] [--json] COMMAND [ARGS]\n"
    "\n"
    "Manage the exports, file locks and holes of a lumed server.\n"
    "\n"
    "Commands:\n"
    "  export PATH       export a directory, or add a reference to its export\n"
    "  unexport SHARE    drop one reference; the last one removes the export\n"
    "  keepalive SHARE   restart the expiry interval of an export\n"
    "  lock SHARE FILE   take a read or write lock for a lock owner\n"
    "  unlock SHARE FILE give back a lock owner's lock\n"
    "  lock-status SHARE FILE\n"
    "                    show who holds the lock of a file\n"
    "  drill-hole SHARE FILE\n"
    "                    give back the storage of a byte range; the size stays\n"
    "  list              show every export with its references, expiry and locks\n"
    "  locks SHARE       show the lock owners of an export and their files\n"
    "  stats             show the server's calls per procedure, export and connection\n"
    "\n"
    "SHARE is the share path that export printed; FILE is relative to it.\n"
    "\n"
    "Options:\n"
    "  --socket PATH         the local server's socket (default: lumed.sock in\n"
    "                        $LUME_STATE_DIR, else in the build's state\n"
    "                        directory); root and the server's admin group act\n"
    "                        as this machine there\n"
    "  --server HOST[:PORT]  call over TCP instead (port 2049 by default); the\n"
    "                        server then knows no name for the caller\n"
    "  --tls-ca FILE         with --server: take up TLS, and trust the server\n"
    "                        only with a certificate of this CA (PEM) that\n"
    "                        names HOST\n"
    "  --tls-cert FILE, --tls-key FILE\n"
    "                        this client's certificate and key (PEM); the\n"
    "                        server knows the caller by its common name\n"
    "  --json                print one JSON object on stdout, for scripts\n"
    "  --help                this help; lumectl COMMAND --help for a command's\n"
    "  --version             the version, as lumed --version prints it\n"
    "\n"
    "Exit status:\n"
    "  0  the server did what was asked\n"
    "  1  the server refused (its status and message are printed)\n"
    "  2  usage error\n"
    "  3  the server could not be reached or did not answer the call\n"
    "  4  TLS failed: either side refused the other's certificate, or the\n"
    "     server does not offer TLS\n";

namespace {

struct VerbInfo {
    LumectlVerb verb;
    int positionals;  // SHARE/PATH, then FILE
    const char* help;
};

const std::map<std::string, VerbInfo>& Verbs() {
    static const std::map<std::string, VerbInfo> verbs = {
        {"export",
         {LumectlVerb::Export, 1,
          "usage: lumectl export PATH [--clients LIST] [--perms N] [--timeout MIN]\n"
          "                      [--job-id N] [--unique]\n"
          "\n"
          "Export the directory PATH, or add a reference to its export, and print\n"
          "the share path that the other commands take.\n"
          "\n"
          "  --clients LIST  who may mount it: *, addresses, CIDR ranges, host names,\n"
          "                  *.suffix, separated by commas (default *)\n"
          "  --perms N       1 read, 2 write, 4 root keeps its identity (default 3)\n"
          "  --timeout MIN   remove the export MIN minutes after the last export or\n"
          "                  keepalive (default 0: never)\n"
          "  --job-id N      tag the server's log messages of this request\n"
          "  --unique        make the share path unique with a suffix\n"}},
        {"unexport",
         {LumectlVerb::Unexport, 1,
          "usage: lumectl unexport SHARE\n"
          "\n"
          "Drop one reference to the export SHARE; the last one removes it.\n"}},
        {"keepalive",
         {LumectlVerb::KeepAlive, 1,
          "usage: lumectl keepalive SHARE\n"
          "\n"
          "Restart the expiry interval of the export SHARE. The server does not\n"
          "answer whether SHARE exists.\n"}},
        {"lock",
         {LumectlVerb::Lock, 2,
          "usage: lumectl lock SHARE FILE --owner N (--read | --write)\n"
          "\n"
          "Take a shared (--read) or exclusive (--write) lock on FILE for lock owner\n"
          "N. An owner holding a read lock upgrades it with --write; one holding a\n"
          "write lock downgrades it with --read.\n"}},
        {"unlock",
         {LumectlVerb::Unlock, 2,
          "usage: lumectl unlock SHARE FILE --owner N\n"
          "\n"
          "Give back the lock that owner N holds on FILE.\n"}},
        {"lock-status",
         {LumectlVerb::LockStatus, 2,
          "usage: lumectl lock-status SHARE FILE\n"
          "\n"
          "Show whether FILE is locked, and by which owner.\n"}},
        {"drill-hole",
         {LumectlVerb::DrillHole, 2,
          "usage: lumectl drill-hole SHARE FILE --offset N --length N\n"
          "\n"
          "Give back the storage of LENGTH bytes of FILE from OFFSET on. The file\n"
          "keeps its size; the range reads as zeros.\n"}},
        {"list",
         {LumectlVerb::List, 0,
          "usage: lumectl list\n"
          "\n"
          "Show every export: share path, real path, share id, clients, perms,\n"
          "references, seconds until it expires (or never), job id and the number\n"
          "of locks held through it. Only this machine may list.\n"}},
        {"locks",
         {LumectlVerb::Locks, 1,
          "usage: lumectl locks SHARE\n"
          "\n"
          "Show each lock held through the export SHARE: its owner, whether it is a\n"
          "read or a write lock, and the file. At most 1024 are shown, with a count\n"
          "of the rest. Only this machine may list.\n"}},
        {"stats",
         {LumectlVerb::Stats, 0,
          "usage: lumectl stats [--watch SECONDS]\n"
          "\n"
          "Show what the server's calls came to since it started: per procedure\n"
          "(NFS, MOUNT, configuration) the calls, errors, latency percentiles in\n"
          "microseconds and bytes in and out; then NFS calls per export; then the\n"
          "open connections and their calls.\n"
          "\n"
          "  --watch SECONDS  show them again every SECONDS until interrupted\n"}},
    };
    return verbs;
}

bool ParseUnsigned(const std::string& text, uint64_t high, uint64_t& value) {
    if (text.empty() || text[0] == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed > high)
        return false;
    value = parsed;
    return true;
}

bool ParseServer(const std::string& text, LumectlCommand& command) {
    size_t colon = text.rfind(':');
    command.server = text.substr(0, colon);
    uint64_t port = command.port;
    if (colon != std::string::npos && !ParseUnsigned(text.substr(colon + 1), 65535, port))
        return false;
    command.port = static_cast<uint16_t>(port);
    return !command.server.empty();
}

LumectlParse Usage(const std::string& what) {
    LumectlParse parse;
    parse.text = what;
    return parse;
}

// A command option that takes a value; false when the name is not one or
// the value is bad.
bool ApplyValue(const std::string& name, const std::string& value, LumectlCommand& command) {
    uint64_t number = 0;
    if (name == "--clients") {
        command.clients = value;
        return true;
    }
    if (name == "--job-id")
        return ParseUnsigned(value, UINT64_MAX, command.jobId);
    if (name == "--owner")
        return ParseUnsigned(value, UINT64_MAX, command.owner);
    // Offsets and lengths are signed 64-bit in the file system.
    if (name == "--offset")
        return ParseUnsigned(value, INT64_MAX, command.offset);
    if (name == "--length")
        return ParseUnsigned(value, INT64_MAX, command.length);
    if (name == "--perms" && ParseUnsigned(value, 7, number)) {
        command.perms = static_cast<int32_t>(number);
        return true;
    }
    if (name == "--watch" && ParseUnsigned(value, 86400, number) && number > 0) {
        command.watchSeconds = static_cast<uint32_t>(number);
        return true;
    }
    if (name == "--timeout" && ParseUnsigned(value, UINT32_MAX, number)) {
        command.timeoutMinutes = static_cast<uint32_t>(number);
        return true;
    }
    return false;
}

// Which command options each verb takes; flags take no value.
const std::map<LumectlVerb, std::vector<std::string>>& Allowed() {
    static const std::map<LumectlVerb, std::vector<std::string>> allowed = {
        {LumectlVerb::Export, {"--clients", "--perms", "--timeout", "--job-id", "--unique"}},
        {LumectlVerb::Unexport, {}},
        {LumectlVerb::KeepAlive, {}},
        {LumectlVerb::Lock, {"--owner", "--read", "--write"}},
        {LumectlVerb::Unlock, {"--owner"}},
        {LumectlVerb::LockStatus, {}},
        {LumectlVerb::DrillHole, {"--offset", "--length"}},
        {LumectlVerb::List, {}},
        {LumectlVerb::Locks, {}},
        {LumectlVerb::Stats, {"--watch"}},
    };
    return allowed;
}

bool IsAllowed(LumectlVerb verb, const std::string& name) {
    for (const std::string& option : Allowed().at(verb))
        if (option == name)
            return true;
    return false;
}

// What a verb needs beyond its positionals; empty when all is there.
std::string Missing(LumectlVerb verb, const std::vector<std::string>& seen) {
    auto has = [&](const char* name) {
        for (const std::string& option : seen)
            if (option == name)
                return true;
        return false;
    };
    if ((verb == LumectlVerb::Lock || verb == LumectlVerb::Unlock) && !has("--owner"))
        return "--owner N is required";
    if (verb == LumectlVerb::Lock && has("--read") == has("--write"))
        return "exactly one of --read and --write is required";
    if (verb == LumectlVerb::DrillHole && (!has("--offset") || !has("--length")))
        return "--offset N and --length N are required";
    return "";
}

struct Split {
    std::vector<std::string> positionals;
    std::vector<std::pair<std::string, std::string>> options;  // name, value ("" for flags)
    bool help = false;
};

bool IsFlag(const std::string& name) {
    return name == "--json" || name == "--unique" || name == "--read" || name == "--write" ||
           name == "--help" || name == "-h";
}

// Separates options from positionals; false and error when an option lacks its value.
bool SplitArguments(int argc, char** argv, Split& split, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') {
            split.positionals.push_back(arg);
        } else if (arg == "--help" || arg == "-h") {
            split.help = true;
        } else if (IsFlag(arg)) {
            split.options.emplace_back(arg, "");
        } else if (i + 1 < argc) {
            split.options.emplace_back(arg, argv[++i]);
        } else {
            error = "option " + arg + " needs a value";
            return false;
        }
    }
    return true;
}

// TLS options go with --server, the CA with any of them, the certificate
// with its key; false and error otherwise.
bool TlsOptionsHold(const LumectlCommand& command, std::string& error) {
    const bool any =
        !command.tlsCa.empty() || !command.tlsCertificate.empty() || !command.tlsKey.empty();
    if (any && command.server.empty())
        error = "the --tls options go with --server";
    else if (any && command.tlsCa.empty())
        error = "--tls-ca is needed to check the server's certificate";
    else if (command.tlsCertificate.empty() != command.tlsKey.empty())
        error = "--tls-cert and --tls-key go together";
    return error.empty();
}

// Global options; false and error for a bad value. Command options are left.
bool ApplyGlobals(Split& split, LumectlCommand& command, std::string& error) {
    std::vector<std::pair<std::string, std::string>> rest;
    for (auto& [name, value] : split.options) {
        if (name == "--json") {
            command.json = true;
        } else if (name == "--socket" && !value.empty()) {
            command.socket = value;
        } else if ((name == "--tls-cert" || name == "--tls-key" || name == "--tls-ca") &&
                   !value.empty()) {
            (name == "--tls-cert"  ? command.tlsCertificate
             : name == "--tls-key" ? command.tlsKey
                                   : command.tlsCa) = value;
        } else if (name == "--server") {
            if (!ParseServer(value, command)) {
                error = "bad --server value: " + value;
                return false;
            }
        } else {
            rest.emplace_back(name, value);
        }
    }
    split.options = rest;
    return TlsOptionsHold(command, error);
}

bool ApplyCommandOptions(const Split& split, LumectlCommand& command,
                         std::vector<std::string>& seen, std::string& error) {
    for (const auto& [name, value] : split.options) {
        if (!IsAllowed(command.verb, name)) {
            error = "unknown option: " + name;
            return false;
        }
        seen.push_back(name);
        if (name == "--unique")
            command.unique = true;
        else if (name == "--read" || name == "--write")
            command.read = name == "--read";
        else if (!ApplyValue(name, value, command)) {
            error = "bad value for " + name + ": " + value;
            return false;
        }
    }
    return true;
}

}  // namespace

LumectlParse ParseLumectlCommandLine(int argc, char** argv) {
    Split split;
    LumectlParse parse;
    std::string error;
    if (!SplitArguments(argc, argv, split, error) || !ApplyGlobals(split, parse.command, error))
        return Usage(error);
    if (split.positionals.empty()) {
        if (!split.help)
            return Usage("no command given");
        parse.outcome = LumectlParse::Help;
        parse.text = kLumectlHelp;
        return parse;
    }
    auto found = Verbs().find(split.positionals[0]);
    if (found == Verbs().end())
        return Usage("unknown command: " + split.positionals[0]);
    const VerbInfo& info = found->second;
    if (split.help) {
        parse.outcome = LumectlParse::Help;
        parse.text = info.help;
        return parse;
    }
    LumectlCommand& command = parse.command;
    command.verb = info.verb;
    if (static_cast<int>(split.positionals.size()) != info.positionals + 1)
        return Usage("wrong number of arguments for " + split.positionals[0]);
    if (info.positionals > 0)
        command.path = split.positionals[1];
    if (info.positionals > 1)
        command.file = split.positionals[2];
    if (command.path.size() > LUMECFG_PATHLEN || command.file.size() > LUMECFG_PATHLEN)
        return Usage("a path longer than " + std::to_string(LUMECFG_PATHLEN) +
                     " bytes cannot be sent");
    std::vector<std::string> seen;
    if (!ApplyCommandOptions(split, command, seen, error))
        return Usage(error);
    std::string missing = Missing(command.verb, seen);
    if (!missing.empty())
        return Usage(missing);
    parse.outcome = LumectlParse::Run;
    return parse;
}
