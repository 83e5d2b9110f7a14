// lumed's state directory on disk: lumed starts only in one that nobody
// but root (or its own user) can change, from / down; it follows no link
// planted in it; and nothing a caller sends can forge a line of its log.
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "tests/server/config/LumedFixture.h"
#include "tests/support/TempDir.h"

namespace {

constexpr uid_t kUser = 1000;  // an ordinary local user, in no group of lumed's

class StateOnDisk : public LumedFixture {
  protected:
    // lumed run to its end on stateDir; one that starts after all is
    // stopped by timeout (exit 124), so a test cannot hang on it.
    static ProgramRun RunLumed(const std::string& stateDir) {
        return RunProgram({"timeout", "30", LUMED_BINARY, "--port", "0", "--bind", "127.0.0.1",
                           "--no-rpcbind", "--state-dir", stateDir});
    }
};

std::string HostName() {
    char host[HOST_NAME_MAX + 1] = {};
    ::gethostname(host, sizeof(host) - 1);
    return host;
}

// A directory made here with this mode and owner.
std::string MakeDir(const std::string& path, mode_t mode, uid_t owner = 0) {
    std::filesystem::create_directory(path);
    EXPECT_EQ(::chown(path.c_str(), owner, owner), 0) << path;
    EXPECT_EQ(::chmod(path.c_str(), mode), 0) << path;
    return path;
}

// As sshd's StrictModes: the state directory, and each directory above it,
// may be changed by root or lumed's user only. Above it, a root-owned
// directory with the sticky bit, as /tmp, is accepted; the state directory
// itself never is.
TEST_F(StateOnDisk, LumedStartsOnlyInAStateDirectoryNobodyElseCanChange) {
    const std::string base = m_dirs.RealPath();  // root's, 0700, under /tmp
    struct Case {
        const char* what;
        std::string stateDir;
        std::string refusal;  // "" when lumed starts
    };
    const Case cases[] = {
        {"an ancestor anyone may write, without the sticky bit",
         MakeDir(base + "/open", 0777) + "/state",
         base + "/open is writable by its group or by others (mode 0777)"},
        {"an ancestor its group may write", MakeDir(base + "/group", 0775) + "/state",
         base + "/group is writable by its group or by others (mode 0775)"},
        {"an ancestor owned by another user", MakeDir(base + "/users", 0755, kUser) + "/state",
         base + "/users is owned by uid 1000, not by root or uid 0"},
        {"the state directory writable by its group", MakeDir(base + "/mode0775", 0775),
         base + "/mode0775 is writable by its group or by others (mode 0775)"},
        {"the state directory sticky and writable by anyone", MakeDir(base + "/sticky1777", 01777),
         base + "/sticky1777 is writable by its group or by others (mode 1777)"},
        {"the state directory owned by another user", MakeDir(base + "/theirs", 0700, kUser),
         base + "/theirs is owned by uid 1000, not by root or uid 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ProgramRun run = RunLumed(c.stateDir);
        EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
        EXPECT_EQ(
            run.err.rfind(
                "lumed: refusing the state directory " + c.stateDir + ": " + c.refusal + "\n", 0),
            0u)
            << run.err;
        EXPECT_FALSE(std::filesystem::exists(c.stateDir + "/lumed.log"));
    }
    // Nothing is made below a directory that failed the check.
    EXPECT_FALSE(std::filesystem::exists(base + "/open/state"));

    // It starts under a root-owned sticky directory anyone may write, as
    // /tmp; a link on the way is taken once, at start: from then on lumed
    // names the directory by its real path.
    MakeDir(base + "/real", 0755);
    ASSERT_EQ(::symlink((base + "/real").c_str(), (base + "/link").c_str()), 0);
    for (const auto& [asked, real] :
         {std::pair(MakeDir(base + "/tmp", 01777) + "/state", base + "/tmp/state"),
          std::pair(base + "/link/state", base + "/real/state")}) {
        LumedProcess lumed;
        ASSERT_TRUE(lumed.Start({{}, asked, {}})) << lumed.Output();
        EXPECT_NE(lumed.Output().find("lumed: configuration socket " + real + "/lumed.sock"),
                  std::string::npos)
            << lumed.Output();
        EXPECT_EQ(lumed.Stop(), 0);
    }
}

// What an earlier, looser state directory may have left: links where its
// files go, to files of root's. lumed writes through none of them and
// reads none of them.
TEST_F(StateOnDisk, LinksPlantedInTheStateDirectoryAreNeverFollowed) {
    const std::string rootsFile = m_dirs.WriteFile("shadow", "root:secret:19000::::::\n");
    const std::string state = m_state.Path();
    ASSERT_EQ(::symlink(rootsFile.c_str(), (state + "/lumed.log").c_str()), 0);
    // The log is lumed's first file: it refuses to start rather than append
    // to another's file, or guess which file the administrator meant.
    const ProgramRun run = RunLumed(state);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("cannot open the log: cannot open log file " + state + "/lumed.log"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(ReadFile(rootsFile), "root:secret:19000::::::\n");

    // A registry linked to a file that would let anyone export under it:
    // read as empty (the error logged), and the next write puts lumed's own
    // file in the link's place.
    ::unlink((state + "/lumed.log").c_str());
    const std::string jobs = NewDir("jobs"), wanted = NewDir("jobs/wanted");
    const std::string registry =
        "{\"Machines\\\\" + HostName() + "\": {\"dJOBRESULTSDIR\": \"" + jobs + "\"}}\n";
    const std::string rootsRegistry = m_dirs.WriteFile("roots-registry.json", registry);
    ASSERT_EQ(::symlink(rootsRegistry.c_str(), (state + "/registry.json").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(StartLumed({}));
    EXPECT_NE(Refusal(Remote({"export", wanted})).find("not in allowed paths"), std::string::npos);
    EXPECT_NE(
        ReadFile(state + "/lumed.log").find("cannot read registry " + state + "/registry.json"),
        std::string::npos);
    Out(Ctl({"export", NewDir("mine")}));  // this machine's first export writes the registry
    struct stat found {};
    ASSERT_EQ(::lstat((state + "/registry.json").c_str(), &found), 0);
    EXPECT_TRUE(S_ISREG(found.st_mode));
    EXPECT_EQ(found.st_mode & 07777, 0600u);
    EXPECT_EQ(ReadFile(rootsRegistry), registry);
}

// An export path holding newlines, sent by nobody in particular over TCP,
// is logged as one line with its newlines escaped.
TEST_F(StateOnDisk, ACallerCannotForgeALineOfTheLog) {
    ASSERT_NO_FATAL_FAILURE(StartLumed({}));
    const std::string forged = m_dirs.RealPath() + "/x\nFAKE LOG LINE uid=0\n";
    Refusal(
        RunLumectl({"--server", "127.0.0.1:" + std::to_string(m_lumed.Port()), "export", forged},
                   {{kUser, kUser}}));
    m_lumed.Stop();
    const std::string log = ReadFile(m_state.Path() + "/lumed.log");
    std::istringstream lines(log);
    int entries = 0;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_NE(line.rfind("FAKE", 0), 0u) << line;
        entries += line.find("[" + m_dirs.RealPath() + "/x\\x0aFAKE LOG LINE uid=0\\x0a") !=
                   std::string::npos;
    }
    EXPECT_GE(entries, 1) << log;
}

}  // namespace
