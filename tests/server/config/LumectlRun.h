// Runs the built lumectl as a user would and collects what it printed and
// its exit status. Arguments are passed without a shell.
// Not thread-safe: one test thread at a time.
#pragma once

#include <string>
#include <vector>

struct LumectlRun {
    int exitCode = -1;  // -1: it did not exit normally
    std::string out;
    std::string err;
};

LumectlRun RunLumectl(const std::vector<std::string>& args);
