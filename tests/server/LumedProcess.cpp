#include "tests/server/LumedProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/TempDir.h"

namespace {
constexpr int kReadyWaitMs = 30000;
constexpr int kPollMs = 100;
constexpr int kStopPolls = 300;  // 30 seconds for a clean exit
const char kReadyPrefix[] = "lumed: serving on ";

// execv's view of args, which outlive it.
std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return argv;
}
}  // namespace

LumedProcess::~LumedProcess() {
    Stop();
}

bool LumedProcess::Start(const Config& config) {
    m_output.clear();  // a restart reads its own ready line
    m_stateDir = config.stateDir;
    std::vector<std::string> args = {LUMED_BINARY,    "--port",      "0",
                                     "--bind",        "127.0.0.1",   "--state-dir",
                                     config.stateDir, "--no-rpcbind"};
    for (const std::string& dir : config.exports)
        args.insert(args.end(), {"--export", dir});
    args.insert(args.end(), config.extraArgs.begin(), config.extraArgs.end());
    std::vector<char*> argv = Argv(args);

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        m_output = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        // A test that dies (a sanitizer's abort, ctest's timeout) takes its
        // server with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        const struct rlimit limit = {m_descriptorLimit.value_or(0), m_descriptorLimit.value_or(0)};
        if (m_descriptorLimit && ::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    m_stdout = pipeFds[0];
    if (m_pid < 0 || !AwaitReady()) {
        Stop();
        m_output = "lumed did not become ready; it printed:\n" + m_output;
        return false;
    }
    return true;
}

bool LumedProcess::AwaitReady() {
    for (int waited = 0; waited < kReadyWaitMs; waited += kPollMs) {
        pollfd p{m_stdout, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0)
            continue;
        char buffer[4096];
        ssize_t got = ::read(m_stdout, buffer, sizeof(buffer));
        if (got <= 0)
            return false;  // lumed exited before it was ready
        m_output.append(buffer, static_cast<size_t>(got));
        size_t at = m_output.find(kReadyPrefix);
        size_t end = at == std::string::npos ? at : m_output.find('\n', at);
        if (end == std::string::npos)
            continue;
        size_t port = m_output.rfind(" port ", end);
        m_port = static_cast<uint16_t>(std::atoi(m_output.c_str() + port + 6));
        return m_port != 0;
    }
    return false;
}

int LumedProcess::Stop(int signal) {
    if (m_pid <= 0)
        return -1;
    ::kill(m_pid, signal);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < kStopPolls && (done = ::waitpid(m_pid, &status, WNOHANG)) == 0; ++i)
        ::usleep(kPollMs * 1000);
    if (done == 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
    char buffer[4096];
    // The write end closed with lumed, so this ends.
    for (ssize_t got; (got = ::read(m_stdout, buffer, sizeof(buffer))) > 0;)
        m_output.append(buffer, static_cast<size_t>(got));
    ::close(m_stdout);
    m_stdout = -1;
    return status;
}

ProgramRun RunProgram(std::vector<std::string> args,
                      std::optional<std::pair<uid_t, gid_t>> asUser) {
    TempDir outputs;
    const std::string out = outputs / "out", err = outputs / "err";
    std::vector<char*> argv = Argv(args);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr))
            ::_exit(127);
        if (asUser && (::setgroups(0, nullptr) != 0 || ::setgid(asUser->second) != 0 ||
                       ::setuid(asUser->first) != 0))
            ::_exit(127);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ProgramRun run;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    run.out = ReadFile(out);
    run.err = ReadFile(err);
    return run;
}

size_t LumedProcess::AnonymousKiB() const {
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    std::string key;
    size_t kib = 0;
    while (m_pid > 0 && status >> key && key != "RssAnon:")
        status.ignore(4096, '\n');
    status >> kib;
    return kib;
}

size_t LumedProcess::StoreBytes() const {
    struct stat st;
    return ::stat((m_stateDir + "/store/data.mdb").c_str(), &st) == 0
               ? static_cast<size_t>(st.st_size)
               : 0;
}
