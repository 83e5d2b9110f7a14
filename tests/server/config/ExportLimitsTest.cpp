// lumed's export quotas across a restart, and its descriptor budget: a
// local user with no proved name cannot use up the descriptors that root's
// exports and every client's MNT need.
#include <limits.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/BeneathPath.h"
#include "platform/FileIdentity.h"
#include "platform/StateDir.h"
#include "platform/StateStore.h"
#include "tests/server/Nfs3RawClient.h"
#include "tests/server/config/LumedFixture.h"
#include "tests/support/Child.h"

namespace {

// A local user with no part in administration.
const std::pair<uid_t, gid_t> kUser{1000, 1000};

class ExportLimits : public LumedFixture {
  protected:
    // The registry: the job results directory, where anyone may export,
    // and section "Lume"'s values.
    void WriteRegistry(const std::string& jobResults, const nlohmann::json& lume) {
        char host[HOST_NAME_MAX + 1] = {};
        ::gethostname(host, sizeof(host) - 1);
        const nlohmann::json registry = {
            {std::string("Machines\\") + host, {{"dJOBRESULTSDIR", jobResults}}}, {"Lume", lume}};
        std::ofstream(m_state / "registry.json") << registry.dump();
    }
    // A record of dir exported once by nobody in particular, as lumed
    // writes them.
    void WriteRecord(const std::string& dir) {
        const std::string state = m_state.Path();
        EXPECT_TRUE(FromChild<bool>(false, [&] {
            const BeneathRoot root(dir);
            std::string identity;
            if (!root.Valid() || ReadDescriptorIdentityText(root.Fd(), identity) != 0)
                return false;
            const nlohmann::json record = {{"realPath", dir}, {"rootIdentity", identity},
                                           {"clients", "*"},  {"perms", 3u},
                                           {"timeout", 0u},   {"jobId", 1u},
                                           {"creators", {""}}};
            const std::vector<uint8_t> bytes = nlohmann::json::to_cbor(record);
            SetPlatformStateDir(state);
            std::shared_ptr<StateStore> store = StateStore::Get();
            unsigned table = 0;
            return store && store->Table("exports", table) &&
                   store->Put(table, dir, std::string(bytes.begin(), bytes.end()));
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
    bool Mountable(const std::string& dir) {
        Nfs3RawClient nfs;
        std::string error;
        return nfs.Mount(m_lumed.Port(), dir, error);
    }
    // Exported over TCP, where lumed knows no name for the caller.
    LumectlRun ExportAsUser(const std::string& dir) {
        return RunLumectl(
            {"--server", "127.0.0.1:" + std::to_string(m_lumed.Port()), "export", dir}, kUser);
    }
};

TEST_F(ExportLimits, RecordsOverTheLimitAreNotMadeAgain) {
    const std::string jobs = NewDir("jobs");
    WriteRegistry(jobs, {{"nMaxExportsPerCaller", 2}});
    std::vector<std::string> dirs;
    for (int i = 0; i < 4; ++i) {
        dirs.push_back(NewDir("jobs/d" + std::to_string(i)));
        ASSERT_NO_FATAL_FAILURE(WriteRecord(dirs.back()));
    }
    ASSERT_NO_FATAL_FAILURE(StartLumed({}));
    const std::string refused =
        "not made again: its creator [nobody in particular] was refused: status 12, Too many "
        "exports for this caller.";
    for (size_t i = 0; i < dirs.size(); ++i) {
        SCOPED_TRACE(dirs[i]);
        const bool back = i < 2;  // records are made again in share path order
        EXPECT_EQ(Mountable(dirs[i]), back);
        const std::vector<std::string> lines = RestoreLines(dirs[i]);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find(back ? "made again with 1 references." : refused),
                  std::string::npos)
            << lines[0];
    }
    // The records not made again are gone: the next start says nothing of them.
    m_lumed.Stop();
    ASSERT_NO_FATAL_FAILURE(StartLumed({}));
    for (size_t i = 0; i < dirs.size(); ++i)
        EXPECT_EQ(RestoreLines(dirs[i]).size(), i < 2 ? 2u : 1u) << dirs[i];
}

TEST_F(ExportLimits, AUserWhoUsedItsShareLeavesRootItsExportsAndEveryoneMnt) {
    const std::string jobs = NewDir("jobs");
    ::chmod(jobs.c_str(), 01777);
    WriteRegistry(jobs, nlohmann::json::object());
    m_lumed.SetDescriptorLimit(256);
    ASSERT_NO_FATAL_FAILURE(StartLumed({}));
    std::vector<std::string> made;
    LumectlRun refused;
    for (int i = 0; i < 300 && refused.exitCode != 1; ++i) {  // bounded: more than 256
        const std::string dir = jobs + "/u" + std::to_string(i);
        ASSERT_EQ(RunProgram({"mkdir", dir}, kUser).exitCode, 0);
        LumectlRun run = ExportAsUser(dir);
        if (run.exitCode == 0)
            made.push_back(dir);
        else
            refused = run;
    }
    EXPECT_NE(refused.err.find("status 15: No descriptors left for exports."), std::string::npos)
        << refused.err << " after " << made.size() << " exports";
    ASSERT_FALSE(made.empty());

    const std::string rootDir = NewDir("root");
    EXPECT_EQ(Out(Ctl({"export", rootDir})),
              "exported " + rootDir + " as " + rootDir + " (references: 1)\n");
    EXPECT_TRUE(Mountable(rootDir));
    EXPECT_TRUE(Mountable(made.front()));
    EXPECT_TRUE(Mountable(made.back()));
}

}  // namespace
