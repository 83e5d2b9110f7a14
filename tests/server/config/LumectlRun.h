// Runs the built lumectl as a user would and collects what it printed and
// its exit status. Arguments are passed without a shell.
// Not thread-safe: one test thread at a time.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

struct LumectlRun {
    int exitCode = -1;  // -1: it did not exit normally
    std::string out;
    std::string err;
};

// asUser: run as that uid and gid (no other groups) instead of this process's.
LumectlRun RunLumectl(const std::vector<std::string>& args,
                      std::optional<std::pair<uid_t, gid_t>> asUser = std::nullopt);
