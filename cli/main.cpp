// lumectl: the management client of lumed's configuration channel.
// lumectl --help describes the commands and the exit status.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

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

bool Connect(const LumectlCommand& command, ConfigClient& client, std::string& error) {
    if (command.server.empty())
        return client.ConnectLocal(SocketPath(command), error);
    if (command.tlsCa.empty())
        return client.Connect(command.server, command.port, error);
    return client.ConnectTls(command.server, command.port, command.tlsCertificate, command.tlsKey,
                             command.tlsCa, error);
}

}  // namespace

int main(int argc, char** argv) {
    // A server that hangs up shows as a failed call, not as a killed lumectl.
    std::signal(SIGPIPE, SIG_IGN);
    LumectlParse parse = ParseLumectlCommandLine(argc, argv);
    if (parse.outcome == LumectlParse::Print) {
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
    if (!Connect(command, client, report.message)) {
        report.outcome = client.TlsFailed() ? LumectlReport::Untrusted : LumectlReport::Unreachable;
        return PrintLumectlReport(report, command.json, std::cout, std::cerr);
    }
    // stats --watch repeats until interrupted, or until a call fails.
    for (;;) {
        report = RunLumectlCommand(command, client);
        const int status = PrintLumectlReport(report, command.json, std::cout, std::cerr);
        if (command.watchSeconds == 0 || report.outcome != LumectlReport::Done)
            return status;
        std::cout << std::endl;
        std::this_thread::sleep_for(std::chrono::seconds(command.watchSeconds));
    }
}
