// lumectl list and locks against a running lumed, and MOUNT's EXPORT: every
// export with its clients, references, expiry and locks, text and JSON;
// callers that may not list are refused.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/server/config/LumedFixture.h"
#include "tests/server/integration/MountClient.h"

namespace {

class Listing : public LumedFixture {
  protected:
    void SetUp() override {
        m_first = NewDir("first");
        m_second = NewDir("second");
        std::ofstream(m_first + "/f") << "f";
        std::ofstream(m_second + "/g") << "g";
        StartLumed({m_first});
    }

    std::string m_first, m_second;
};

TEST_F(Listing, ListAndLocksShowEveryExportItsClientsAndItsLocks) {
    Out(Ctl({"export", m_second, "--clients", "127.0.0.1,10.1.0.0/16", "--timeout", "5", "--perms",
             "1"}));
    Out(Ctl({"export", m_second, "--clients", "127.0.0.1"}));  // keeps perms and timeout
    Out(Ctl({"lock", m_first, "f", "--owner", "7", "--write"}));
    Out(Ctl({"lock", m_second, "g", "--owner", "8", "--read"}));
    Out(Ctl({"lock", m_second, "g", "--owner", "9", "--read"}));

    nlohmann::json exports = nlohmann::json::parse(Out(Ctl({"--json", "list"})))["exports"];
    ASSERT_EQ(exports.size(), 2u) << exports.dump();
    const nlohmann::json& first = exports[0];
    const nlohmann::json& second = exports[1];
    EXPECT_EQ(first["share"], m_first);
    EXPECT_EQ(first["real_path"], m_first);
    EXPECT_EQ(first["references"], 1);
    EXPECT_TRUE(first["expiry_left"].is_null());
    EXPECT_EQ(first["locks"], 1);
    EXPECT_EQ(second["share"], m_second);
    EXPECT_EQ(second["clients"], nlohmann::json({"127.0.0.1", "10.1.0.0/16"}));
    EXPECT_EQ(second["perms"], 1);
    EXPECT_EQ(second["references"], 2);
    EXPECT_GT(second["expiry_left"].get<int64_t>(), 0);
    EXPECT_LE(second["expiry_left"].get<int64_t>(), 300);
    EXPECT_EQ(second["locks"], 2);
    EXPECT_LT(first["share_id"], second["share_id"]);
    EXPECT_EQ(second["job_id"], second["share_id"]) << "the module tags an export by its id";

    const std::string text = Out(Ctl({"list"}));
    EXPECT_EQ(text.rfind("SHARE ", 0), 0u) << text;
    for (const std::string& shown :
         {m_second + "  ", std::string("127.0.0.1,10.1.0.0/16"), std::string("never")})
        EXPECT_NE(text.find(shown), std::string::npos) << shown << " in " << text;

    nlohmann::json held = nlohmann::json::parse(Out(Ctl({"--json", "locks", m_second})));
    EXPECT_EQ(held["total"], 2);
    const std::string g = m_second + "/g";
    EXPECT_EQ(held["locks"],
              nlohmann::json::array({{{"owner", 8}, {"kind", "read"}, {"file", g}},
                                     {{"owner", 9}, {"kind", "read"}, {"file", g}}}));
    EXPECT_EQ(Out(Ctl({"locks", m_first})),
              "OWNER  KIND   FILE\n7      write  " + m_first + "/f\n");

    MountClient mount(m_lumed.Port());
    ASSERT_TRUE(mount.Connected());
    using Groups = std::vector<std::string>;
    EXPECT_EQ(mount.Exports(), (std::vector<std::pair<std::string, Groups>>{
                                   {m_first, {"*"}}, {m_second, {"127.0.0.1", "10.1.0.0/16"}}}));
}

// Only this machine lists: a caller over TCP is nobody in particular.
TEST_F(Listing, AnUnprovedCallerMayNotListAndAnUnknownShareHasNoLocks) {
    for (std::vector<std::string> args : {std::vector<std::string>{"list"}, {"locks", m_first}}) {
        args.insert(args.begin(), "--json");
        LumectlRun run = Remote(args);
        EXPECT_EQ(run.exitCode, 1) << args[1];
        nlohmann::json report = nlohmann::json::parse(run.out);
        EXPECT_EQ(report["status"], 11) << args[1];
        EXPECT_EQ(report.value("exports", nlohmann::json()), nlohmann::json()) << run.out;
    }
    EXPECT_EQ(Refusal(Ctl({"locks", m_second})),
              "lumectl: locks failed: status 2: Share not exported.\n");
}

}  // namespace
