// A lumed of the test's own (its state directory, its local socket), and
// lumectl against it: on the local socket, as this machine, or over TCP, as
// a caller the server knows no name for.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/server/LumedProcess.h"
#include "tests/support/TempDir.h"

// The built lumectl run as a user would (arguments passed without a shell):
// its exit status (-1: it did not exit normally) and what it printed. One
// test thread at a time.
struct LumectlRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// asUser: run as that uid and gid (no other groups) instead of this process's.
inline LumectlRun RunLumectl(const std::vector<std::string>& args,
                             std::optional<std::pair<uid_t, gid_t>> asUser = std::nullopt) {
    TempDir outputs;
    const std::string out = outputs / "out", err = outputs / "err";
    std::vector<std::string> all = {LUMECTL_BINARY};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr))
            ::_exit(127);
        if (asUser && (::setgroups(0, nullptr) != 0 || ::setgid(asUser->second) != 0 ||
                       ::setuid(asUser->first) != 0))
            ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    LumectlRun run;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    run.out = ReadFile(out);
    run.err = ReadFile(err);
    return run;
}

class LumedFixture : public ::testing::Test {
  protected:
    // Stopped before any directory it serves goes.
    void TearDown() override { m_lumed.Stop(); }
    void StartLumed(const std::vector<std::string>& exports,
                    const std::vector<std::string>& extraArgs = {}) {
        ASSERT_TRUE(m_lumed.Start({exports, m_state.Path(), extraArgs})) << m_lumed.Output();
    }
    // The port of lumed's line "lumed: WHAT on 127.0.0.1 port N[AFTER]"; "" when none.
    std::string PrintedPort(const std::string& what, const std::string& after = "") const {
        std::smatch match;
        const std::string& out = m_lumed.Output();
        std::regex_search(out, match,
                          std::regex("lumed: " + what + " on 127\\.0\\.0\\.1 port (\\d+)" + after));
        return match.empty() ? "" : match[1].str();
    }
    std::string Socket() const { return m_state.Path() + "/lumed.sock"; }
    LumectlRun Ctl(std::vector<std::string> args) {
        args.insert(args.begin(), {"--socket", Socket()});
        return RunLumectl(args);
    }
    LumectlRun Remote(std::vector<std::string> args) {
        args.insert(args.begin(), {"--server", "127.0.0.1:" + std::to_string(m_lumed.Port())});
        return RunLumectl(args);
    }
    // A new directory that root-squashed NFS callers may write to.
    std::string NewDir(const std::string& name) {
        ::chmod(m_dirs.Path().c_str(), 0755);  // squashed callers pass through
        std::string dir = m_dirs.RealPath() + "/" + name;
        std::filesystem::create_directory(dir);
        ::chmod(dir.c_str(), 0777);
        return dir;
    }

    TempDir m_dirs, m_state;
    LumedProcess m_lumed;
};
