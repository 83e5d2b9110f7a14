// What one lumectl command came to, and how it is printed: one readable
// line (the result on stdout, a refusal on stderr), or with --json one
// object on stdout either way. The exit status follows the outcome.
#pragma once

#include <nlohmann/json.hpp>

#include <iosfwd>
#include <string>

struct LumectlReport {
    enum Outcome { Done = 0, Refused = 1, Unreachable = 3, Untrusted = 4 } outcome = Done;
    std::string command;  // "export", "lock", ...
    int status = 0;       // the server's status (Done/Refused)
    std::string message;  // the server's text, or why the server was not reached
    std::string line;     // Done: the readable result
    nlohmann::json fields = nlohmann::json::object();  // share, paths, owner...
};

// Prints the report; returns the exit status.
int PrintLumectlReport(const LumectlReport& report, bool json, std::ostream& out,
                       std::ostream& err);
