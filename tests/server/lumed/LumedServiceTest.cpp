// lumed as a service: its configuration file checked, its version, its
// systemd unit, the readiness it tells systemd, and SIGHUP.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <utility>

#include <gtest/gtest.h>

#include "LumeVersion.h"
#include "tests/server/LumedProcess.h"
#include "tests/server/NfsClient.h"
#include "tests/support/TempDir.h"

namespace {

// A datagram socket standing in for systemd's notify socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : m_fd(::socket(AF_UNIX, SOCK_DGRAM, 0)) {
        sockaddr_un address{AF_UNIX, {}};
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        timeval wait{30, 0};  // a message lumed never sends fails the test, not hangs it
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    }
    ~NotifySocket() { ::close(m_fd); }
    std::string Next() {
        char message[256];
        ssize_t got = ::recv(m_fd, message, sizeof(message), 0);
        return got > 0 ? std::string(message, static_cast<size_t>(got)) : "(nothing)";
    }

  private:
    int m_fd;
};

}  // namespace

TEST(LumedService, CheckConfigExitsZeroOrTwoWithTheReason) {
    TempDir dir;
    std::string good = dir.WriteFile("good.toml", "port = 3049\n[[export]]\ndir = \"/srv\"\n");
    ProgramRun ok = RunProgram({LUMED_BINARY, "--check-config", "--config", good});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(ok.out, "lumed: configuration " + good + " is valid\n");
    for (const auto& [text, reason] :
         {std::pair("port = 3049\nworkers = 0\n", ":2: workers: bad value 0\n"),
          std::pair("[[export]]\ndir = \"/srv\"\nclients = \"10.0.0.1,bad!name\"\n",
                    ":3: export.clients: [bad!name] is not an address, CIDR range, host name or "
                    "*.suffix\n")}) {
        const std::string bad = dir.WriteFile("bad.toml", text);
        const ProgramRun refused = RunProgram({LUMED_BINARY, "--check-config", "--config", bad});
        EXPECT_EQ(refused.exitCode, 2);
        EXPECT_EQ(refused.err.rfind("lumed: " + bad + reason, 0), 0u) << refused.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "state")) << "a check serves nothing";
}

TEST(LumedService, BothProgramsPrintTheProjectVersion) {
    for (const std::string binary : {LUMED_BINARY, LUMECTL_BINARY}) {
        ProgramRun run = RunProgram({binary, "--version"});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.out,
                  std::filesystem::path(binary).filename().string() + " " LUME_VERSION "\n");
    }
}

TEST(LumedService, UnitFileVerifies) {
    if (RunProgram({"systemd-analyze", "--version"}).exitCode == 127)
        GTEST_SKIP() << "systemd-analyze is not installed";
    // The unit names the installed binary; verify it against the built one.
    TempDir dir;
    std::string unit =
        std::regex_replace(ReadFile(LUMED_UNIT_FILE), std::regex("/usr/sbin/lumed"), LUMED_BINARY);
    ASSERT_NE(unit.find("Type=notify"), std::string::npos);
    std::string path = dir.WriteFile("lumed.service", unit);
    ProgramRun run = RunProgram({"systemd-analyze", "verify", path});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ((run.out + run.err).find("lumed.service"), std::string::npos) << run.err;
}

TEST(LumedService, TellsSystemdItIsReadyAndStoppingAndLogsForJournald) {
    TempDir dir;
    NotifySocket notify(dir / "notify");
    ASSERT_EQ(::setenv("NOTIFY_SOCKET", (dir / "notify").c_str(), 1), 0);
    LumedProcess lumed;
    bool started = lumed.Start({{}, dir / "state", {"--log-stderr"}});
    ::unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(started) << lumed.Output();
    EXPECT_EQ(notify.Next(), "READY=1");
    EXPECT_EQ(WEXITSTATUS(lumed.Stop()), 0);
    EXPECT_EQ(notify.Next(), "STOPPING=1");
    EXPECT_FALSE(std::filesystem::exists(dir / "state/lumed.log")) << "the log went to stderr";
}

// An export reached through a link, added for SIGHUP, is refused naming
// the directory it leads to, and lumed serves on without it.
TEST(LumedService, SighupReopensTheLogAndAddsTheFilesNewExports) {
    TempDir dir;
    std::filesystem::create_directories(dir / "a");
    std::filesystem::create_directories(dir / "b");
    std::filesystem::create_directory_symlink(dir / "b", dir / "link");
    std::string config = dir.WriteFile("lumed.toml", "[[export]]\ndir = \"" + dir / "a" + "\"\n");
    LumedProcess lumed;
    std::string error;
    ASSERT_TRUE(lumed.Start({{}, dir / "state", {"--config", config}})) << lumed.Output();
    NfsClient before;
    EXPECT_TRUE(before.Mount(lumed.Port(), dir / "a", error)) << error;
    EXPECT_FALSE(before.Mount(lumed.Port(), dir / "b", error));

    std::filesystem::rename(dir / "state/lumed.log", dir / "state/lumed.log.1");
    std::ofstream(config, std::ios::app) << "[[export]]\ndir = \"" + dir / "b" +
                                                "\"\nperms = 1\n[[export]]\ndir = \"" +
                                                dir / "link" + "\"\n";
    ASSERT_EQ(::kill(lumed.Pid(), SIGHUP), 0);
    // lumed logs the reload last, in the new file: waited for up to ten seconds.
    bool reloaded = false;
    for (int i = 0; i < 200 && !reloaded; ++i, ::usleep(50 * 1000))
        reloaded = ReadFile(dir / "state/lumed.log").find("SIGHUP") != std::string::npos;
    EXPECT_TRUE(reloaded);
    NfsClient after;
    EXPECT_TRUE(after.Mount(lumed.Port(), dir / "b", error)) << error;
    EXPECT_FALSE(after.Mount(lumed.Port(), dir / "link", error));
    EXPECT_NE(ReadFile(dir / "state/lumed.log")
                  .find(config + ":6: dir: " + dir / "link" +
                        " has a symbolic link on its path; name the directory itself: " +
                        dir / "b" + "\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(dir / "state/lumed.log.1").find("SIGHUP"), std::string::npos);
    // SIGTERM removes both exports on the way out.
    EXPECT_EQ(WEXITSTATUS(lumed.Stop()), 0);
    EXPECT_NE(ReadFile(dir / "state/lumed.log").find("Removing 2 exports."), std::string::npos);
    const std::string& out = lumed.Output();
    EXPECT_NE(out.find("lumed: exporting " + dir / "b"), std::string::npos) << out;
    std::string exportedA = "lumed: exporting " + dir / "a" + "\n";
    EXPECT_EQ(out.find(exportedA), out.rfind(exportedA)) << "a is exported once: " << out;
    EXPECT_NE(out.find("lumed: stopped"), std::string::npos) << out;
}

TEST(LumedService, AnExportDirectoryThatIsNotThereFailsTheStart) {
    TempDir state;
    LumedProcess lumed;
    EXPECT_FALSE(lumed.Start({{state / "no-such-dir"}, state.Path(), {}}));
}

// The administrator names an export's directory itself: one reached through
// a symbolic link anywhere on its path is refused, naming the directory it
// leads to, and lumed does not start (on SIGHUP: see above).
TEST(LumedService, AnExportDirectoryReachedThroughALinkIsRefused) {
    TempDir dir;
    const std::string real = dir.RealPath() + "/real", link = dir.RealPath() + "/link";
    std::filesystem::create_directories(real + "/sub");
    std::filesystem::create_directory_symlink(real, link);
    const std::string config =
        dir.WriteFile("lumed.toml", "[[export]]\ndir = \"" + link + "/sub\"\n");
    const std::string says = " has a symbolic link on its path; name the directory itself: ";
    const struct {
        std::vector<std::string> exports, args;
        std::string logged;
    } rows[] = {
        {{link}, {}, "--export: " + link + says + real},
        {{}, {"--config", config}, config + ":1: dir: " + link + "/sub" + says + real + "/sub"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.logged);
        const std::string state = dir / "state";
        std::filesystem::remove_all(state);
        LumedProcess lumed;
        EXPECT_FALSE(lumed.Start({row.exports, state, row.args})) << lumed.Output();
        const std::string log = ReadFile(state + "/lumed.log");
        EXPECT_NE(log.find(row.logged + "\n"), std::string::npos) << log;
    }
}
