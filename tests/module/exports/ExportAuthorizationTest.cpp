#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "host/LumeServiceGlobals.h"
#include "module/exports/ExportAuthorization.h"
#include "platform/OXPlatformInfo.h"
#include "platform/StateDir.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace {

typedef std::vector<std::pair<std::string, std::vector<std::string>>> Entries;

nlohmann::json AccessList(const Entries& entries) {
    nlohmann::json storages = nlohmann::json::array();
    for (const auto& entry : entries) {
        nlohmann::json clients = nlohmann::json::array();
        for (const std::string& name : entry.second)
            clients.push_back({{"name", name}});
        storages.push_back({{"mountPath", entry.first}, {"clients", clients}});
    }
    return {{"storages", storages}};
}

class Authorization : public ::testing::Test {
  protected:
    void SetUp() override {
        SetPlatformStateDir(state.Path());
        LumeServiceGlobals::clientName = "media01";
        OXPlatformInfo().setDirectory("Lume", "dHQConfigDir", hq.Path());
        for (const std::string& made : {data, data + "/x", database})
            ASSERT_EQ(mkdir(made.c_str(), 0755), 0);
    }

    // The list saved here, and the same list published at HQ unless told.
    void Save(const Entries& entries, bool publish = true) {
        state.WriteFile("storage-access-list.json", AccessList(entries).dump());
        if (publish)
            PublishAtHQ(entries);
    }
    void PublishAtHQ(const Entries& entries) {
        hq.WriteFile("media01.json", AccessList(entries).dump());
    }

    TempDir state, hq, disk;
    const std::string data = disk / "data";
    const std::string database = disk / "database";
};

TEST_F(Authorization, JobResultsDirectoryComesFirst) {
    std::string jobResults = disk / "jobresults";
    OXPlatformInfo().setDirectory("Machines\\media01", "dJOBRESULTSDIR", jobResults);
    OXPlatformInfo().setNumber("Lume", "nEnableSinkSecurityFixes", 0);
    LogCapture log(1);
    EXPECT_TRUE(IsAllowedToExport(jobResults + "/job7", "anyone"));
    EXPECT_TRUE(log.Records().empty());  // neither list nor library consulted

    OXPlatformInfo().setNumber("Lume", "nEnableSinkSecurityFixes", 1);
    EXPECT_TRUE(IsAllowedToExport(jobResults, "anyone"));
}

// Mount paths hold paths at component boundaries, as the paths resolve: a
// symbolic link inside an allowed mount path must not make the rest of the
// server exportable. Paths are case-sensitive, client names are not.
TEST_F(Authorization, MountPathsHoldPathsAtComponentBoundariesAsTheyResolve) {
    Save({{disk / "Data", {"HOST1"}}, {data, {"HOST1"}}});
    ASSERT_EQ(symlink("/", (data + "/escape").c_str()), 0);
    ASSERT_EQ(symlink(database.c_str(), (data + "/sideways").c_str()), 0);
    ASSERT_EQ(symlink((data + "/x").c_str(), (data + "/inside").c_str()), 0);
    LogCapture log(1);
    EXPECT_TRUE(IsAllowedToExport(data + "/x/", "host1"));
    EXPECT_TRUE(log.Has(-1,  // no job results directory: reported and skipped
                        "Failed to get JobResults folder from registry "
                        "[Machines\\\\media01/dJOBRESULTSDIR]."));  // escaped
    EXPECT_TRUE(log.Has(1, "Client [host1] is allowed to export [" + data + "/]"));
    for (const std::string& path :
         {data, data + "/", data + "/x/../x/./", data + "/inside", data + "/inside/not-yet-made"})
        EXPECT_TRUE(IsAllowedToExport(path, "host1")) << path;
    for (const std::string& path :
         {database + "/x", data + "/../database", std::string(), data + "/escape",
          data + "/escape/etc", data + "/sideways/new", disk / "DATA/x"})
        EXPECT_FALSE(IsAllowedToExport(path, "host1")) << path;
}

TEST_F(Authorization, TheLastEntryHoldingThePathDecidesAlone) {
    Save({{data, {"host1"}}, {data + "/x", {"host2"}}});
    LogCapture log(1);
    EXPECT_FALSE(IsAllowedToExport(data + "/x/y", "host1"));
    EXPECT_TRUE(log.Has(
        1, "Client [host1] is NOT allowed to export [" + data + "/x/]. Will check with HQ."));
    EXPECT_TRUE(log.Has(1, "Client [host1] is NOT allowed to export [" + data + "/x/]."));
    EXPECT_TRUE(IsAllowedToExport(data + "/x/y", "host2"));
    EXPECT_TRUE(IsAllowedToExport(data + "/other", "host1"));
}

TEST_F(Authorization, ARefusalIsCheckedOnceAgainstHQ) {
    Save({{data, {"host1"}}}, false);
    PublishAtHQ({{data, {"host1", "host2"}}});
    LogCapture log(1);
    EXPECT_TRUE(IsAllowedToExport(data + "/x", "host2"));
    EXPECT_EQ(
        log.Count(1, "Mount path [" + data + "/] matches requested export path [" + data + "/x/]"),
        2u);
    // The pulled list stays saved: the next first pass allows at once.
    log.Clear();
    EXPECT_TRUE(IsAllowedToExport(data + "/x", "host2"));
    EXPECT_EQ(log.CountContaining("Will check with HQ."), 0u);

    OXPlatformInfo().removeValue("Lume", "dHQConfigDir");  // a failed pull refuses
    EXPECT_FALSE(IsAllowedToExport(data + "/x", "host3"));
    EXPECT_EQ(log.Count(-1, "Failed to pull configuration from HQ."), 1u);
}

TEST_F(Authorization, NothingSavedOrNoEntryHoldsThePath) {
    Save({});
    LogCapture log(1);
    EXPECT_FALSE(IsAllowedToExport(data + "/x", "host1"));
    EXPECT_EQ(log.Count(1, "There are no saved mount paths. Will check with HQ."), 2u);

    Save({{database, {"host1"}}});  // no entry holds the path
    log.Clear();
    EXPECT_FALSE(IsAllowedToExport(data + "/x", "host1"));
    EXPECT_TRUE(log.Has(1, "There are no matching mount paths. Will check with HQ."));
    EXPECT_TRUE(log.Has(1, "There are no matching mount paths."));

    // No saved list at all: loaded from HQ on the second pass.
    unlink((state / "storage-access-list.json").c_str());
    PublishAtHQ({{data, {"host1"}}});
    log.Clear();
    EXPECT_TRUE(IsAllowedToExport(data + "/x", "host1"));
    EXPECT_TRUE(log.Has(-1, "Failed to load mount paths."));
}

TEST_F(Authorization, LibraryModeIgnoresTheClientAndNeverAsksHQ) {
    OXPlatformInfo().setNumber("Lume", "nEnableSinkSecurityFixes", 0);
    PublishAtHQ({{database, {"host1"}}});
    state.WriteFile("library-mount-paths.json", nlohmann::json{{"mountPaths", {data}}}.dump());
    EXPECT_TRUE(IsAllowedToExport(data + "/x", "whoever"));
    EXPECT_FALSE(IsAllowedToExport(database + "/x", "host1"));
    EXPECT_NE(access((state / "storage-access-list.json").c_str(), F_OK), 0);  // no pull

    state.WriteFile("library-mount-paths.json", "not json");
    LogCapture log(1);
    EXPECT_FALSE(IsAllowedToExport(data + "/x", "whoever"));
    EXPECT_TRUE(log.Has(-1, "Failed to get mount paths."));
}

}  // namespace
