// lumectl's command line: the help texts and the CLI11 parser that fills a
// LumectlCommand.
#include "cli/LumectlCommand.h"

#include <CLI/CLI.hpp>
#include <map>
#include <vector>

#include "LumeVersion.h"
#include "platform/DecimalOption.h"
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
          "the share path that the other commands take. Only this machine and the\n"
          "export's creator may add clients to an existing export or change its\n"
          "perms or timeout; perms 4 is for this machine and TLS callers only.\n"
          "Options left out keep what an existing export has.\n"
          "\n"
          "  --clients LIST  who may mount it: *, addresses, CIDR ranges, host names,\n"
          "                  *.suffix, separated by commas (default: * for a new\n"
          "                  export; an existing one gains no client)\n"
          "  --perms N       1 read, 2 write, 4 root keeps its identity (default 3\n"
          "                  for a new export)\n"
          "  --timeout MIN   remove the export MIN minutes after the last export or\n"
          "                  keepalive (default 0 for a new export: never)\n"
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

// What one call carries of a path.
const CLI::Validator kSendable(
    [](std::string& text) {
        return text.size() > LUMECFG_PATHLEN
                   ? "a path longer than " + std::to_string(LUMECFG_PATHLEN) +
                         " bytes cannot be sent"
                   : std::string();
    },
    "PATH");

// HOST[:PORT]; the port stays 2049 without one.
void SetServer(const std::string& text, LumectlCommand& command) {
    const size_t colon = text.rfind(':');
    std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
    command.server = text.substr(0, colon);
    if (command.server.empty() ||
        (colon != std::string::npos && !DecimalIn<uint64_t>(0, 65535)(port).empty()))
        throw CLI::ValidationError("--server", "bad value " + text);
    if (!port.empty())
        command.port = static_cast<uint16_t>(std::stoul(port));
}

// The options that go with any command, anywhere on the line. TLS options
// go with --server, the CA with any of them, the certificate with its key.
void AddGlobals(CLI::App& app, LumectlCommand& c) {
    app.add_option("--socket", c.socket)->transform(kNonEmptyText);
    CLI::Option* server = app.add_option_function<std::string>(
        "--server", [&c](const std::string& text) { SetServer(text, c); });
    CLI::Option* ca = app.add_option("--tls-ca", c.tlsCa)->transform(kNonEmptyText)->needs(server);
    CLI::Option* cert = app.add_option("--tls-cert", c.tlsCertificate)->transform(kNonEmptyText);
    CLI::Option* key = app.add_option("--tls-key", c.tlsKey)->transform(kNonEmptyText);
    cert->needs(ca)->needs(key);
    key->needs(ca)->needs(cert);
    app.add_flag("--json", c.json);
}

// A command's -h and --help print its help as soon as they are read,
// before any value is checked or anything required is missed.
void AddHelp(CLI::App& app, const char* help) {
    app.set_help_flag();
    app.add_flag_callback("-h,--help", [help] { throw CLI::CallForHelp(help, 0); })
        ->trigger_on_parse();
}

// Every command as a CLI11 subcommand that sets the verb and takes the
// verb's positionals; then each one's own options.
void AddVerbs(CLI::App& app, LumectlCommand& c) {
    for (const auto& [name, info] : Verbs()) {
        CLI::App* sub = app.add_subcommand(name);
        sub->callback([&c, verb = info.verb] { c.verb = verb; });
        AddHelp(*sub, info.help);
        if (info.positionals > 0)
            sub->add_option(info.verb == LumectlVerb::Export ? "PATH" : "SHARE", c.path)
                ->required()
                ->check(kSendable);
        if (info.positionals > 1)
            sub->add_option("FILE", c.file)->required()->check(kSendable);
    }
    CLI::App* exportVerb = app.get_subcommand("export");
    exportVerb->add_option("--clients", c.clients);
    exportVerb->add_option("--perms", c.perms)->transform(DecimalIn<uint64_t>(0, 7));
    exportVerb->add_option("--timeout", c.timeoutMinutes)
        ->transform(DecimalIn<uint64_t>(0, UINT32_MAX));
    exportVerb->add_option("--job-id", c.jobId)->transform(DecimalIn<uint64_t>(0, UINT64_MAX));
    exportVerb->add_flag("--unique", c.unique);
    CLI::App* lock = app.get_subcommand("lock");
    lock->add_option("--owner", c.owner)->required()->transform(DecimalIn<uint64_t>(0, UINT64_MAX));
    CLI::Option_group* mode = lock->add_option_group("mode");
    mode->add_flag("--read", c.read);
    mode->add_flag("--write");
    mode->require_option(1);
    app.get_subcommand("unlock")
        ->add_option("--owner", c.owner)
        ->required()
        ->transform(DecimalIn<uint64_t>(0, UINT64_MAX));
    // Offsets and lengths are signed 64-bit in the file system.
    CLI::App* drill = app.get_subcommand("drill-hole");
    drill->add_option("--offset", c.offset)
        ->required()
        ->transform(DecimalIn<uint64_t>(0, INT64_MAX));
    drill->add_option("--length", c.length)
        ->required()
        ->transform(DecimalIn<uint64_t>(0, INT64_MAX));
    app.get_subcommand("stats")
        ->add_option("--watch", c.watchSeconds)
        ->transform(DecimalIn<uint64_t>(1, 86400));
}

// The help of the command on the line, else the general help.
std::string HelpOf(const CLI::App& app) {
    const std::vector<CLI::App*> commands = app.get_subcommands();
    return commands.empty() ? kLumectlHelp : Verbs().at(commands.front()->get_name()).help;
}

// The reason for a usage error, in lumectl's words where CLI11's are vague.
std::string Reason(const CLI::App& app, const CLI::ParseError& bad) {
    if (!app.get_subcommands().empty() || !dynamic_cast<const CLI::RequiredError*>(&bad))
        return bad.what();
    for (const std::string& word : app.remaining())
        if (word[0] != '-')
            return "unknown command: " + word;
    return "no command given";
}

}  // namespace

LumectlParse ParseLumectlCommandLine(int argc, char** argv) {
    LumectlParse parse;
    CLI::App app("lumectl", "lumectl");
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.fallthrough();  // the globals after the command too
    app.require_subcommand(1);
    app.set_version_flag("--version", "lumectl " LUME_VERSION "\n")->trigger_on_parse();
    AddGlobals(app, parse.command);
    AddVerbs(app, parse.command);
    try {
        app.parse(argc, argv);
        parse.outcome = LumectlParse::Run;
    } catch (const CLI::CallForHelp& help) {  // a command's, or lumectl's own
        parse.outcome = LumectlParse::Print;
        parse.text = app.get_help_ptr()->count() > 0 ? HelpOf(app) : help.what();
    } catch (const CLI::CallForVersion& version) {
        parse.outcome = LumectlParse::Print;
        parse.text = version.what();
    } catch (const CLI::ParseError& bad) {
        parse.text = Reason(app, bad);
    }
    return parse;
}
