// What callers may ask of lumed's exports, end to end: a caller over TCP
// (nobody in particular) allowed to export the job results directory, and
// this machine on the local socket. Root is kept for proved callers only,
// a re-export adds no client it does not name, a bad client list is
// refused with the server's own text, and a caller who used its share of
// lumed's descriptors leaves root its exports and every client MNT.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nfsc/libnfs.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/OXPlatformInfo.h"
#include "platform/StateDir.h"
#include "tests/server/NfsClient.h"
#include "tests/server/config/LumedFixture.h"

namespace {

class ExportRules : public LumedFixture {
  protected:
    // lumed lets callers it cannot name export what lies below m_jobs.
    void SetUp() override {
        m_jobs = NewDir("jobs");
        char host[HOST_NAME_MAX + 1] = {};
        ASSERT_EQ(::gethostname(host, sizeof(host) - 1), 0);
        SetPlatformStateDir(m_state.Path());
        ASSERT_NE(OXPlatformInfo().setDirectory(std::string("Machines\\") + host, "dJOBRESULTSDIR",
                                                m_jobs),
                  0);
        ASSERT_NO_FATAL_FAILURE(StartLumed({}));
    }
    // The exports as lumectl list --json shows them.
    nlohmann::json Exports() {
        return nlohmann::json::parse(Out(Ctl({"--json", "list"})))["exports"];
    }

    std::string m_jobs;
};

// A caller over TCP asking to keep root is refused with the module's
// status and text, and nothing is exported; with root squashed, an NFS
// client calling as root makes only files root does not own, setuid bit
// or not.
TEST_F(ExportRules, AnUnprovedCallersExportNeverKeepsRoot) {
    EXPECT_EQ(Refusal(Remote({"export", m_jobs, "--perms", "7"})),
              "lumectl: export failed: status 11: This path is not in allowed paths.\n");
    EXPECT_EQ(Exports(), nlohmann::json::array());

    EXPECT_EQ(Out(Remote({"export", m_jobs, "--perms", "3"})),
              "exported " + m_jobs + " as " + m_jobs + " (references: 1)\n");
    NfsClient root(0, 0);
    std::string error;
    ASSERT_TRUE(root.Mount(m_lumed.Port(), m_jobs, error)) << error;
    nfsfh* file = nullptr;
    ASSERT_EQ(nfs_creat(root.Context(), "/id", 0755, &file), 0) << nfs_get_error(root.Context());
    const std::string program = "#!/bin/sh\nid\n";
    EXPECT_EQ(nfs_write(root.Context(), file, program.size(), program.data()),
              static_cast<int>(program.size()));
    EXPECT_EQ(nfs_close(root.Context(), file), 0);
    EXPECT_EQ(nfs_chmod(root.Context(), "/id", 04755), 0) << nfs_get_error(root.Context());

    struct stat st;
    ASSERT_EQ(::stat((m_jobs + "/id").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u) << "made by root squashed to nobody";
    EXPECT_EQ(st.st_size, static_cast<off_t>(program.size()));
}

// An export made for 10.0.0.0/8 stays so: a re-export that names no
// clients adds none, whoever asks; one by a caller who did not make it
// and asks for more is refused, naming what differs.
TEST_F(ExportRules, AReExportAddsOnlyTheClientsItsManagerNames) {
    Out(Ctl({"export", m_jobs, "--clients", "10.0.0.0/8"}));
    Out(Remote({"export", m_jobs}));
    Out(Ctl({"export", m_jobs}));
    EXPECT_EQ(Refusal(Remote({"export", m_jobs, "--clients", "*"})),
              "lumectl: export failed: status 11: Share [" + m_jobs +
                  "] is exported with other clients; only this machine or its creator may "
                  "change them.\n");
    nlohmann::json exports = Exports();
    ASSERT_EQ(exports.size(), 1u) << exports.dump();
    EXPECT_EQ(exports[0]["clients"], nlohmann::json({"10.0.0.0/8"}));
    EXPECT_EQ(exports[0]["references"], 3);

    Out(Ctl({"export", m_jobs, "--clients", "192.0.2.1"}));
    EXPECT_EQ(Exports()[0]["clients"], nlohmann::json({"10.0.0.0/8", "192.0.2.1"}));
}

// lumectl shows the server's reason for a client list it refuses.
TEST_F(ExportRules, ABadClientListIsRefusedWithTheServersReason) {
    const std::string notAClient = "] is not an address, CIDR range, host name or *.suffix.\n";
    const std::string failed = "lumectl: export failed: status 3: Bad client list: ";
    const struct {
        const char* clients;
        std::string says;
    } cases[] = {
        {"evil}", failed + "[evil}" + notAClient},
        {"127.0.0.1/33", failed + "[127.0.0.1/33" + notAClient},
        {"", failed + "no client is named.\n"},
        {"300.1.1.1", failed + "[300.1.1.1" + notAClient},
        {"10.0.0.1,bad!name", failed + "[bad!name" + notAClient},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clients);
        EXPECT_EQ(Refusal(Ctl({"export", m_jobs, "--clients", c.clients})), c.says);
        EXPECT_EQ(Refusal(Remote({"export", m_jobs, "--clients", c.clients})), c.says);
    }
    EXPECT_EQ(Exports(), nlohmann::json::array());
}

// Under a low descriptor limit the caller's exports are refused with their
// own status before the descriptors run out, so root still exports and
// MNT still answers.
TEST_F(ExportRules, AnUnprovedCallerLeavesRootItsExportsAndEveryoneMnt) {
    m_lumed.Stop();
    m_lumed.SetDescriptorLimit(256);
    ASSERT_NO_FATAL_FAILURE(StartLumed({}));
    std::vector<std::string> made;
    LumectlRun refused;
    for (int i = 0; i < 300 && refused.exitCode != 1; ++i) {  // bounded: more than 256
        const std::string dir = NewDir("jobs/u" + std::to_string(i));
        LumectlRun run = Remote({"export", dir});
        if (run.exitCode == 0)
            made.push_back(dir);
        else
            refused = run;
    }
    EXPECT_EQ(refused.err, "lumectl: export failed: status 15: No descriptors left for exports.\n")
        << "after " << made.size() << " exports";
    ASSERT_FALSE(made.empty());

    const std::string rootDir = NewDir("root");
    EXPECT_EQ(Out(Ctl({"export", rootDir})),
              "exported " + rootDir + " as " + rootDir + " (references: 1)\n");
    for (const std::string& dir : {rootDir, made.front(), made.back()}) {
        NfsClient client(0, 0);
        std::string error;
        EXPECT_TRUE(client.Mount(m_lumed.Port(), dir, error)) << dir << ": " << error;
    }
}

}  // namespace
