// lumed's command line.
//
//   lumed --export DIR [--export DIR...] [--clients LIST] [--perms N]
//         [--port N] [--bind ADDR] [--state-dir DIR] [--module PATH]
//         [--log-level N] [--workers N] [--no-rpcbind]
//
// --clients and --perms apply to every --export. --port 0 picks a free
// port; the port served is printed on stdout once lumed is ready.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "host/SharePerms.h"

struct LumedOptions {
    std::vector<std::string> exports;
    std::string clients = "*";
    SharePerms perms = SHARE_PERM_READ | SHARE_PERM_WRITE;
    unsigned port = 2049;
    std::string bindAddress = "127.0.0.1";
    std::string stateDir;    // empty: the build's default
    std::string modulePath;  // empty: the built module
    int logLevel = 1;
    std::optional<unsigned> workers;  // unset: registry, else 8
    bool rpcbind = true;              // register with rpcbind when one runs
};

// True and options filled; else false and error says what is wrong.
bool ParseLumedOptions(int argc, char** argv, LumedOptions& options, std::string& error);

extern const char* const kLumedUsage;
