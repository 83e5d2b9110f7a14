// lumectl's command line: global options, one command and its arguments.
//
//   lumectl [--socket PATH | --server HOST[:PORT] [TLS options]] [--json] COMMAND ...
//
// Without --server lumectl calls the local server on its socket, where the
// server knows who calls (root and its administrators' group act as this
// machine); --server calls over TCP, where the server proves nothing of the
// caller, unless --tls-ca is given: then lumectl takes up TLS, checks the
// server's certificate against that CA and the name in --server, and shows
// its own (--tls-cert, --tls-key), whose common name the server takes as
// the caller's name.
//
// Global options may stand anywhere on the line. Parsing (CLI11) only reads
// the line; it neither resolves names nor contacts the server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

enum class LumectlVerb {
    Export,
    Unexport,
    KeepAlive,
    Lock,
    Unlock,
    LockStatus,
    DrillHole,
    List,
    Locks,
    Stats
};

struct LumectlCommand {
    // Global options.
    std::string server;  // empty: the local socket
    uint16_t port = 2049;
    std::string socket;  // empty: the default socket
    bool json = false;
    std::string tlsCertificate, tlsKey, tlsCa;  // tlsCa set: over TLS

    LumectlVerb verb = LumectlVerb::Export;
    std::string path;  // export: the directory; otherwise the share path
    std::string file;  // lock commands and drill-hole: relative to the share
    // export
    // Unset: none named; the server gives a new export every client and
    // adds none to an existing one.
    std::optional<std::string> clients;
    std::optional<int32_t> perms;  // absent: the export's own, or the server's default
    std::optional<uint32_t> timeoutMinutes;
    uint64_t jobId = 0;
    bool unique = false;
    // lock commands
    uint64_t owner = 0;
    bool read = false;  // lock: --read, else --write
    // drill-hole
    uint64_t offset = 0;
    uint64_t length = 0;
    // stats: repeat every watchSeconds until interrupted; 0 once
    uint32_t watchSeconds = 0;
};

struct LumectlParse {
    enum Outcome { Run, Print, UsageError } outcome = UsageError;
    LumectlCommand command;
    std::string text;  // Print: the help or version to print; UsageError: what is wrong
};

LumectlParse ParseLumectlCommandLine(int argc, char** argv);

// The general help, and the usage line of the whole tool.
extern const char* const kLumectlHelp;
extern const char* const kLumectlUsage;
