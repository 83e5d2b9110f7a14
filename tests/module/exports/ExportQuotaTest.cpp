// Quotas on exports and references: per caller (nobody in particular is one
// caller, each TLS subject another), in all, per share, and the host's
// descriptor budget; this machine is held only by the budget. A refusal
// names its limit, makes nothing, and is logged once a minute per caller.
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module/exports/LogThrottle.h"
#include "platform/OXPlatformInfo.h"
#include "tests/module/ConfigCall.h"
#include "tests/support/LogCapture.h"

namespace {

const char kNobody[] = "", kPeer[] = "peer.example", kOtherPeer[] = "other.example",
           kHere[] = "media01";

const std::map<int, std::string> kTexts = {
    {0, ""},
    {12, "Too many exports for this caller."},
    {13, "Too many exports on this server."},
    {14, "Too many references to this share."},
    {15, "No descriptors left for exports."},
};

// One call: a create (or, with unexport set, an unexport) of directory dir
// by caller, and the status it must answer.
struct Step {
    const char* caller;
    int dir;
    int status;
    bool unexport = false;
};

// Limits per caller, in all, per share; the descriptor budget (0: none)
// and its part for this machine.
struct Limits {
    unsigned long perCaller = 3, inAll = 5, perShare = 4;
    size_t descriptors = 0, forHost = 0;
};

class ExportQuota : public ConfigRequestTest {
  protected:
    void SetUp() override {
        ConfigRequestTest::SetUp();
        OXPlatformInfo().setDirectory("Machines\\media01", "dJOBRESULTSDIR", disk.Path());
    }
    void TearDown() override {
        ConfigRequestTest::TearDown();
        LumeServiceGlobals::exportDescriptors = 0;
        LumeServiceGlobals::exportDescriptorsForHost = 0;
    }
    void Apply(const Limits& limits) {
        OXPlatformInfo registry;
        ASSERT_NE(registry.setNumber("Lume", "nMaxExportsPerCaller", limits.perCaller), 0);
        ASSERT_NE(registry.setNumber("Lume", "nMaxExports", limits.inAll), 0);
        ASSERT_NE(registry.setNumber("Lume", "nMaxReferencesPerShare", limits.perShare), 0);
        LumeServiceGlobals::exportDescriptors = limits.descriptors;
        LumeServiceGlobals::exportDescriptorsForHost = limits.forHost;
    }
    std::string Dir(const std::string& row, int n) {
        const std::string made = disk / (row + std::to_string(n));
        ::mkdir(made.c_str(), 0755);
        return made;
    }
    // Runs one step; a refusal must describe no share and change nothing.
    void Run(const std::string& row, const Step& step) {
        const std::string dir = Dir(row, step.dir);
        SCOPED_TRACE("[" + std::string(step.caller) + "] " +
                     (step.unexport ? "unexports " : "exports ") + dir);
        const size_t exports = gAllExports->Size();
        const uint32_t references = Find(dir) ? Find(dir)->GetRefCount() : 0;
        ConfigCall call =
            step.unexport ? Call(RPC_UNEXPORT, dir, step.caller) : Create(dir, step.caller);
        ASSERT_EQ(call.Status(), step.status);
        if (step.unexport)
            return;
        EXPECT_EQ(TextOf(call.Export().message), kTexts.at(step.status));
        if (step.status != 0) {
            EXPECT_EQ(call.Export().share.path, nullptr);
            EXPECT_EQ(gAllExports->Size(), exports);
            EXPECT_EQ(Find(dir) ? Find(dir)->GetRefCount() : 0, references);
        }
    }
};

TEST_F(ExportQuota, EachLimitRefusesWithItsOwnStatusAndText) {
    const struct {
        const char* what;
        Limits limits;
        std::vector<Step> steps;
    } rows[] = {
        {"nobody up to its limit, then refused",
         {},
         {{kNobody, 0, 0}, {kNobody, 1, 0}, {kNobody, 2, 0}, {kNobody, 3, 12}}},
        {"a TLS subject counts apart from nobody, both toward the total",
         {},
         {{kNobody, 0, 0},
          {kNobody, 1, 0},
          {kNobody, 2, 0},
          {kPeer, 3, 0},
          {kPeer, 4, 0},
          {kPeer, 5, 13},
          {kOtherPeer, 6, 13},
          {kPeer, 0, 0}}},
        {"this machine is held by no count",
         {1, 1, 1},
         {{kHere, 0, 0}, {kHere, 1, 0}, {kHere, 2, 0}, {kHere, 2, 0}, {kHere, 2, 0}}},
        {"references to one share are limited whoever asks",
         {},
         {{kNobody, 0, 0}, {kNobody, 0, 0}, {kPeer, 0, 0}, {kOtherPeer, 0, 0}, {kPeer, 0, 14}}},
        {"a caller's references count toward its exports, and come back when given up",
         {},
         {{kPeer, 0, 0},
          {kPeer, 0, 0},
          {kPeer, 0, 0},
          {kPeer, 1, 12},
          {kPeer, 0, 0, true},
          {kPeer, 1, 0}}},
        {"the descriptor budget keeps the host's part from others, not from this machine",
         {100, 100, 100, 4, 1},
         {{kNobody, 0, 0},
          {kPeer, 1, 0},
          {kPeer, 2, 0},
          {kOtherPeer, 3, 15},
          {kPeer, 2, 0},
          {kHere, 3, 0},
          {kHere, 4, 15}}},
    };
    LogCapture log(1);
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TearDown();
        ASSERT_NO_FATAL_FAILURE(Apply(row.limits));
        const std::string name = "row" + std::to_string(n++) + "-";
        for (const Step& step : row.steps)
            ASSERT_NO_FATAL_FAILURE(Run(name, step));
    }
    // Refused once, three times and twice: one line each, within the minute.
    for (const char* caller : {"nobody in particular", kPeer, kOtherPeer})
        EXPECT_EQ(log.CountContaining(std::string("Caller [") + caller + "] refused"), 1u)
            << caller;
}

TEST(LogThrottle, LetsOneLineAMinuteThroughPerKey) {
    LogThrottle throttle(std::chrono::minutes(1));
    const auto t0 = LogThrottle::Clock::time_point(std::chrono::hours(1));
    const struct {
        const char* key;
        std::chrono::seconds at;
        bool allowed;
    } calls[] = {
        {"a", std::chrono::seconds(0), true},  {"a", std::chrono::seconds(1), false},
        {"b", std::chrono::seconds(2), true},  {"a", std::chrono::seconds(59), false},
        {"a", std::chrono::seconds(60), true}, {"b", std::chrono::seconds(61), false},
        {"b", std::chrono::seconds(62), true}, {"a", std::chrono::seconds(119), false},
    };
    for (const auto& call : calls)
        EXPECT_EQ(throttle.Allow(call.key, t0 + call.at), call.allowed)
            << call.key << " at " << call.at.count() << "s";
}

}  // namespace
