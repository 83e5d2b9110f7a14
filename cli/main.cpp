// lumectl: the management client of lumed's configuration channel.
// lumectl --help describes the commands and the exit status.
#include <limits.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "cli/ConfigClient.h"
#include "cli/LumectlCommand.h"
#include "cli/LumectlCommands.h"
#include "cli/LumectlReport.h"

namespace {

constexpr int kUsageError = 2;

std::string ThisHostName() {
    char host[HOST_NAME_MAX + 1] = {};
    return ::gethostname(host, sizeof(host) - 1) == 0 ? host : "localhost";
}

}  // namespace

int main(int argc, char** argv) {
    LumectlParse parse = ParseLumectlCommandLine(argc, argv);
    if (parse.outcome == LumectlParse::Help) {
        std::cout << parse.text;
        return 0;
    }
    if (parse.outcome == LumectlParse::UsageError) {
        std::cerr << "lumectl: " << parse.text << "\n"
                  << kLumectlUsage << "Try 'lumectl --help' for more information.\n";
        return kUsageError;
    }
    const LumectlCommand& command = parse.command;
    std::string name = command.clientName.empty() ? ThisHostName() : command.clientName;
    ConfigClient client;
    LumectlReport report;
    if (client.Connect(command.server, command.port, name, report.message))
        report = RunLumectlCommand(command, client);
    else
        report.outcome = LumectlReport::Unreachable;
    return PrintLumectlReport(report, command.json, std::cout, std::cerr);
}
