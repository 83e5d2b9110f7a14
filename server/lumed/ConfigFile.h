// lumed's configuration file, TOML read with toml++: each flag of
// LumedOptions.h but --config, --check-config, --export, --version and
// --help is a key named as the flag without its leading dashes, with a
// value of the flag's type, and the exports are an array of tables:
//
//   port = 2049                  # integers as integers
//   bind = "127.0.0.1"           # texts as strings
//   rpcbind = false              # --no-rpcbind; ganesha, log-stderr likewise
//   [[export]]
//   dir = "/srv/data"            # required
//   clients = "10.0.0.0/8"       # optional: else clients (or --clients)
//   perms = 1                    # optional: else perms (or --perms)
//
// A file is taken whole or not at all: bad TOML, an unknown key, a value
// of the wrong type or out of its flag's range, a client list (clients,
// export.clients) with an entry that is no client or with none is refused,
// the message naming the file, the line and the key.
#pragma once

#include <string>

#include "server/lumed/LumedOptions.h"

// True with the file's settings stored in options; else false, error says
// "FILE:LINE: KEY: reason" (or why the file cannot be read) and options
// may be partly set.
bool LoadConfigFile(const std::string& path, LumedOptions& options, std::string& error);
