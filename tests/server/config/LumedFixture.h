// A lumed of the test's own (its state directory, its local socket), and
// lumectl against it: on the local socket, as this machine, or over TCP, as
// a caller the server knows no name for.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/server/LumedProcess.h"
#include "tests/support/TempDir.h"

// The built lumectl run as a user would. One test thread at a time.
using LumectlRun = ProgramRun;
inline LumectlRun RunLumectl(std::vector<std::string> args,
                             std::optional<std::pair<uid_t, gid_t>> asUser = std::nullopt) {
    args.insert(args.begin(), LUMECTL_BINARY);
    return RunProgram(args, asUser);
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
    // What a call printed, expecting it to succeed: its stdout.
    static std::string Out(const LumectlRun& run) {
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return run.out;
    }
    // What a call printed, expecting the server to refuse it: its stderr,
    // and nothing on stdout.
    static std::string Refusal(const LumectlRun& run) {
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_EQ(run.out, "");
        return run.err;
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
