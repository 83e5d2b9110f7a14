// lumectl: the management client of lumed's configuration channel.
// lumectl --help describes the commands and the exit status.
#include <cstdlib>
#include <iostream>
#include <string>

#include "cli/ConfigClient.h"
#include "cli/LumectlCommand.h"
#include "cli/LumectlCommands.h"
#include "cli/LumectlReport.h"

namespace {

constexpr int kUsageError = 2;

// The local server's socket: --socket, else in $LUME_STATE_DIR, else in
// the build's state directory (lumed's default).
std::string SocketPath(const LumectlCommand& command) {
    if (!command.socket.empty())
        return command.socket;
    const char* stateDir = std::getenv("LUME_STATE_DIR");
    return std::string(stateDir && *stateDir ? stateDir : LUMECTL_DEFAULT_STATE_DIR) +
           "/lumed.sock";
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
    ConfigClient client;
    LumectlReport report;
    const bool connected = command.server.empty()
                               ? client.ConnectLocal(SocketPath(command), report.message)
                               : client.Connect(command.server, command.port, report.message);
    if (connected)
        report = RunLumectlCommand(command, client);
    else
        report.outcome = LumectlReport::Unreachable;
    return PrintLumectlReport(report, command.json, std::cout, std::cerr);
}
