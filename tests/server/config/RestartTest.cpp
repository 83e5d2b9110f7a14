// What lumed makes again when it starts with the same state directory: the
// exports the configuration channel made (shares, share ids, clients,
// permissions, references; expiry afresh), not those unexported or expired
// before, nor --export ones, nor one whose directory went; after a clean stop (SIGTERM removes
// every export on the way out) and after a kill. And what it checks first:
// that the directory is still the one exported, and that its creators may
// still have it.
#include <limits.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/BeneathPath.h"
#include "platform/FileIdentity.h"
#include "platform/StateDir.h"
#include "platform/StateStore.h"
#include "tests/server/Nfs3RawClient.h"
#include "tests/server/config/LumedFixture.h"
#include "tests/support/Child.h"

namespace {

// The share id (root handle bytes 4-7) of each directory this client may
// mount, 0 for the others.
using Listing = std::map<std::string, uint32_t>;

class Restart : public LumedFixture, public ::testing::WithParamInterface<int> {
  protected:
    Listing Mountable(const std::vector<std::string>& dirs) {
        Listing all;
        for (const std::string& dir : dirs) {
            Nfs3RawClient nfs;
            std::string error;
            uint32_t& shareId = all[dir] = 0;
            if (nfs.Mount(m_lumed.Port(), dir, error) && nfs.Root().size() >= 8)
                std::memcpy(&shareId, nfs.Root().data() + 4, sizeof(shareId));
        }
        return all;
    }
};

TEST_P(Restart, ChannelExportsComeBackAsTheyWereAndGoAsBefore) {
    const std::string kept = NewDir("kept"), fenced = NewDir("fenced"),
                      expiring = NewDir("expiring"), gone = NewDir("gone"),
                      startup = NewDir("startup"), vanished = NewDir("vanished");
    const std::vector<std::string> all = {kept, fenced, expiring, gone, startup, vanished};
    ASSERT_NO_FATAL_FAILURE(StartLumed({startup}, {"--minute-seconds", "1"}));
    const std::vector<std::string> keep = {"export",  kept, "--clients", "127.0.0.1",
                                           "--perms", "1",  "--job-id",  "7"};
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(Ctl(keep).exitCode, 0);
    ASSERT_EQ(Ctl({"export", fenced, "--clients", "10.1.2.3"}).exitCode, 0);
    // Ten one-second minutes: room for a restart, not a measurement.
    ASSERT_EQ(Ctl({"export", expiring, "--timeout", "10"}).exitCode, 0);
    ASSERT_EQ(Ctl({"export", gone}).exitCode, 0);
    ASSERT_EQ(Ctl({"unexport", gone}).exitCode, 0);
    ASSERT_EQ(Ctl({"export", vanished}).exitCode, 0);
    Listing before = Mountable(all);
    for (const std::string& dir : {kept, expiring, startup, vanished})
        ASSERT_NE(before[dir], 0u) << dir;
    ASSERT_EQ(before[fenced] + before[gone], 0u);

    m_lumed.Stop(GetParam());
    std::filesystem::remove(vanished);
    StartLumed({}, {"--minute-seconds", "1"});  // --export exports are not recorded
    before[startup] = before[vanished] = 0;
    EXPECT_EQ(Mountable(all), before);
    Nfs3RawClient nfs;
    std::string error;
    ASSERT_TRUE(nfs.Mount(m_lumed.Port(), kept, error)) << error;
    EXPECT_NE(nfs.Create(nfs.Root(), "f", UNCHECKED), NFS3_OK) << "a read-only export written";
    EXPECT_EQ(Ctl({"unexport", kept}).out, "unexported " + kept + " (references: 1)\n");
    EXPECT_EQ(Ctl({"unexport", gone}).exitCode, 1);

    bool expired = false;
    for (int i = 0; i < 600 && !expired; ++i) {  // bounded: a minute at most
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        expired = Mountable({expiring})[expiring] == 0;
    }
    EXPECT_TRUE(expired);

    // The unexport and the expiry were recorded too, and the record of the
    // vanished directory dropped.
    m_lumed.Stop(GetParam());
    NewDir("vanished");
    StartLumed({}, {"--minute-seconds", "1"});
    before[expiring] = 0;
    EXPECT_EQ(Mountable(all), before);
    EXPECT_EQ(Ctl({"unexport", kept}).out, "unexported " + kept + " (references: 0, removed)\n");
    EXPECT_EQ(Ctl({"unexport", fenced}).out,
              "unexported " + fenced + " (references: 0, removed)\n");
}

INSTANTIATE_TEST_SUITE_P(StopOrKill, Restart, ::testing::Values(SIGTERM, SIGKILL),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == SIGTERM ? "Stop" : "Kill";
                         });

}  // namespace

namespace {

// A local user with no part in administration.
const std::pair<uid_t, gid_t> kUser{1000, 1000};

class RestartRecheck : public LumedFixture {
  protected:
    // No lumed, and nothing in the state directory nor among the directories.
    void Reset() {
        m_lumed.Stop();
        for (const std::string& dir : {m_state.Path(), m_dirs.Path()})
            for (const auto& entry : std::filesystem::directory_iterator(dir))
                std::filesystem::remove_all(entry.path());
    }
    // This machine's job results directory, where anyone may export: as the
    // issue found it, world-writable and sticky.
    std::string JobResults(const std::string& name) {
        const std::string dir = NewDir(name);
        ::chmod(dir.c_str(), 01777);
        SetJobResults(dir);
        return dir;
    }
    // The registry: the job results directory and section "Lume"'s values.
    void SetJobResults(const std::string& dir, const nlohmann::json& lume = {}) {
        char host[HOST_NAME_MAX + 1] = {};
        ::gethostname(host, sizeof(host) - 1);
        nlohmann::json registry = {{std::string("Machines\\") + host, {{"dJOBRESULTSDIR", dir}}}};
        if (!lume.is_null())
            registry["Lume"] = lume;
        std::ofstream(m_state / "registry.json") << registry.dump();
    }
    static void AsUser(const std::vector<std::string>& command) {
        const ProgramRun run = RunProgram(command, kUser);
        ASSERT_EQ(run.exitCode, 0) << command.at(0) << ": " << run.err;
    }
    // dir made by the local user and exported over TCP, where lumed knows
    // no name for the caller.
    std::string ExportedByUser(const std::string& dir) {
        AsUser({"mkdir", dir});
        const std::string port = "127.0.0.1:" + std::to_string(m_lumed.Port());
        EXPECT_EQ(Out(RunLumectl({"--server", port, "export", dir}, kUser)),
                  "exported " + dir + " as " + dir + " (references: 1)\n");
        return dir;
    }
    std::string ExportedHere(const std::string& dir) {
        EXPECT_EQ(Ctl({"export", dir}).exitCode, 0);
        return dir;
    }
    // The record as lumed wrote them before it kept directories and
    // creators: "perms timeout job-id references clients".
    void WriteOldRecord(const std::string& share) {
        const std::string state = m_state.Path();
        EXPECT_TRUE(FromChild<bool>(false, [&] {
            SetPlatformStateDir(state);
            std::shared_ptr<StateStore> store = StateStore::Get();
            unsigned table = 0;
            return store && store->Table("exports", table) && store->Put(table, share, "3 0 0 1 *");
        }));
    }
    // A record of dir exported once by nobody in particular, as lumed
    // writes them.
    void WriteRecord(const std::string& dir) {
        const std::string state = m_state.Path();
        EXPECT_TRUE(FromChild<bool>(false, [&] {
            const BeneathRoot root(dir);
            std::string identity;
            if (ReadDescriptorIdentityText(root.Fd(), identity) != 0)
                return false;
            const std::vector<uint8_t> record = nlohmann::json::to_cbor({{"realPath", dir},
                                                                         {"rootIdentity", identity},
                                                                         {"clients", "*"},
                                                                         {"perms", 3u},
                                                                         {"timeout", 0u},
                                                                         {"jobId", 1u},
                                                                         {"creators", {""}}});
            SetPlatformStateDir(state);
            std::shared_ptr<StateStore> store = StateStore::Get();
            unsigned table = 0;
            return store && store->Table("exports", table) &&
                   store->Put(table, dir, std::string(record.begin(), record.end()));
        }));
    }
    // The log's lines saying whether the share was made again.
    std::vector<std::string> RestoreLines(const std::string& share) {
        std::vector<std::string> lines;
        std::istringstream log(ReadFile(m_state / "lumed.log"));
        for (std::string line; std::getline(log, line);)
            if (line.find("[" + share + "] ") != std::string::npos &&
                line.find("made again") != std::string::npos)
                lines.push_back(line);
        return lines;
    }
};

// Each row makes one export, changes something while lumed is down, and
// says what the restart's one line about it says after its share path.
TEST_F(RestartRecheck, ARecordIsMadeAgainOnlyForItsDirectoryAndAsItsCreatorsMayToday) {
    const std::string kElsewhere = "not made again: its directory is no longer the one exported.";
    const std::string kNobodyRefused =
        "its creator [nobody in particular] was refused: status 11, This path is not in allowed "
        "paths.";
    const struct {
        const char* what;
        std::function<std::string()> make;  // lumed running; the share path
        std::function<void(const std::string&)> change;
        std::string logged;
        bool back;
    } rows[] = {
        {"a local user's export turned into a link to /",
         [&] { return ExportedByUser(JobResults("jr") + "/evil"); },
         [&](const std::string& share) {
             AsUser({"rmdir", share});
             AsUser({"ln", "-s", "/", share});
         },
         kElsewhere, false},
        {"this machine's export renamed away and made anew",
         [&] { return ExportedHere(NewDir("d")); },
         [&](const std::string& share) {
             std::filesystem::rename(share, share + ".old");
             NewDir("d");
         },
         kElsewhere, false},
        {"an export through a link now leading elsewhere",
         [&] {
             std::filesystem::create_directory_symlink(NewDir("d"), m_dirs.RealPath() + "/link");
             NewDir("e");
             return ExportedHere(m_dirs.RealPath() + "/link");
         },
         [&](const std::string& share) {
             std::filesystem::remove(share);
             std::filesystem::create_directory_symlink(m_dirs.RealPath() + "/e", share);
         },
         kElsewhere, false},
        {"a local user's export after the job results moved",
         [&] { return ExportedByUser(JobResults("jr") + "/ok"); },
         [&](const std::string&) { SetJobResults(NewDir("elsewhere")); },
         "not made again: " + kNobodyRefused, false},
        {"a record of an earlier version", [&] { return ExportedHere(NewDir("d")); },
         [&](const std::string& share) { WriteOldRecord(share); },
         "not made again: its record is unreadable or of an earlier version.", false},
        {"a local user's export left alone",
         [&] { return ExportedByUser(JobResults("jr") + "/ok"); }, [&](const std::string&) {},
         "made again with 1 references.", true},
        {"a local user's and this machine's after the job results moved",
         [&] { return ExportedHere(ExportedByUser(JobResults("jr") + "/ok")); },
         [&](const std::string&) { SetJobResults(NewDir("elsewhere")); },
         "made again with 1 of 2 references: " + kNobodyRefused, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Reset();
        ASSERT_NO_FATAL_FAILURE(StartLumed({}));
        const std::string share = row.make();
        m_lumed.Stop();
        row.change(share);
        ASSERT_NO_FATAL_FAILURE(StartLumed({}));

        EXPECT_EQ(Out(Ctl({"list"})).find(share) != std::string::npos, row.back);
        Nfs3RawClient nfs;
        std::string error;
        EXPECT_EQ(nfs.Mount(m_lumed.Port(), share, error), row.back);
        std::vector<std::string> lines = RestoreLines(share);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("[" + share + "] " + row.logged), std::string::npos) << lines[0];
        // A record not made again is gone; one made again has its references.
        m_lumed.Stop();
        ASSERT_NO_FATAL_FAILURE(StartLumed({}));
        EXPECT_EQ(RestoreLines(share).size(), row.back ? 2u : 1u);
        if (row.back) {
            EXPECT_EQ(Out(Ctl({"unexport", share})),
                      "unexported " + share + " (references: 0, removed)\n");
        }
    }
}

// Records count against the export quotas as they are made again, in share
// path order; those over are dropped, one line each.
TEST_F(RestartRecheck, RecordsOverTheCallersLimitAreNotMadeAgain) {
    const std::string jobs = NewDir("jobs");
    SetJobResults(jobs, {{"nMaxExportsPerCaller", 2}});
    std::vector<std::string> dirs;
    for (int i = 0; i < 4; ++i) {
        dirs.push_back(NewDir("jobs/d" + std::to_string(i)));
        ASSERT_NO_FATAL_FAILURE(WriteRecord(dirs.back()));
    }
    for (int start = 1; start <= 2; ++start) {
        ASSERT_NO_FATAL_FAILURE(StartLumed({}));
        for (size_t i = 0; i < dirs.size(); ++i) {
            SCOPED_TRACE(dirs[i] + " at start " + std::to_string(start));
            const bool back = i < 2;
            Nfs3RawClient nfs;
            std::string error;
            EXPECT_EQ(nfs.Mount(m_lumed.Port(), dirs[i], error), back);
            const std::vector<std::string> lines = RestoreLines(dirs[i]);
            // A record not made again is gone: the second start says nothing of it.
            ASSERT_EQ(lines.size(), back ? static_cast<size_t>(start) : 1u);
            EXPECT_NE(lines.back().find(back ? "made again with 1 references."
                                             : "not made again: its creator [nobody in "
                                               "particular] was refused: status 12, Too many "
                                               "exports for this caller."),
                      std::string::npos)
                << lines.back();
        }
        m_lumed.Stop();
    }
}

}  // namespace
