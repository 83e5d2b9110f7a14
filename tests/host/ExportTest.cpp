#include "host/Export.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/AllowedClients.h"
#include "host/LumeServiceGlobals.h"
#include "tests/host/TestExport.h"
#include "tests/support/Threads.h"

namespace {

CRaIPAddr Addr(const std::string& text) {
    CRaIPAddr address;
    EXPECT_TRUE(CRaIPAddr::Parse(text, address)) << text;
    return address;
}

AllowedClients Filled(const std::string& text) {
    AllowedClients clients;
    clients.Fill(text);
    return clients;
}

}  // namespace

// More decrements than references, from several threads: every count from
// 999 down to 0 comes out exactly once as a real decrement, the rest see 0.
TEST(host_Export, RacingDecrementsNeitherLoseNorWrap) {
    constexpr int kRefs = 1000, kThreads = 8, kPerThread = 250;
    TestExport exp("/srv/a", 1);
    for (uint32_t i = 1; i <= kRefs; ++i)
        ASSERT_EQ(exp.IncrRefCount(), i);
    std::vector<std::vector<uint32_t>> results(kThreads);
    RunThreads(kThreads, [&](int t) {
        for (int i = 0; i < kPerThread; ++i)
            results[t].push_back(exp.DecrRefCount());
    });
    std::multiset<uint32_t> all;
    for (const auto& r : results)
        all.insert(r.begin(), r.end());
    EXPECT_EQ(exp.GetRefCount(), 0u);
    EXPECT_EQ(all.count(0), size_t(kThreads * kPerThread - kRefs + 1));
    for (uint32_t v = 1; v < kRefs; ++v)
        ASSERT_EQ(all.count(v), 1u) << v;
}

TEST(host_Export, ExpiresWhenTheIntervalHasPassedSinceLastAccess) {
    TestExport exp("/srv/a", 1);
    EXPECT_FALSE(exp.IsExpired(time(nullptr) + 1000000));  // no interval: never

    exp.SetExpiryInterval(2);  // minutes
    EXPECT_GE(exp.GetLastAccessTime(), time(nullptr) - 1);
    exp.SetLastAccessTime(1000);
    EXPECT_FALSE(exp.IsExpired(1119));
    EXPECT_TRUE(exp.IsExpired(1120));
}

// The user token is the global's at construction, and a copy keeps it.
TEST(host_Export, CopyTakesEveryFieldTheUserTokenIncluded) {
    const OxUserToken global = LumeServiceGlobals::exportUserToken;
    EXPECT_EQ(global.uid, OxUserToken::ProcessIdentity().uid);
    LumeServiceGlobals::exportUserToken = OxUserToken{1234, 5678, {11, 12}};
    ExportPtr saved(new TestExport("/srv/old", 7));
    TestExport orig("/srv/a", 7, saved);
    LumeServiceGlobals::exportUserToken = global;
    orig.SetSharePerms(SHARE_PERM_READ | SHARE_PERM_ROOT);
    orig.FillAllowedClients("192.0.2.0/24 host.example");
    orig.IncrRefCount();
    orig.SetExpiryInterval(5);
    orig.SetLastAccessTime(4242);
    orig.SetNfsVersions("3");
    orig.SetOptionalParam("k", "v");

    TestExport copy(orig);
    std::string clients, value;
    copy.GetAllowedClients(clients);
    copy.GetOptionalParam("k", value);
    EXPECT_EQ(copy.GetPath() + " " + clients + " " + copy.GetNfsVersions() + " " + value,
              "/srv/a 192.0.2.0/24,host.example 3 v");
    const OxUserToken& user = copy.GetImpersUserToken();
    EXPECT_EQ(std::make_tuple(copy.GetSavedExport(), copy.GetSharePerms(), copy.GetRefCount(),
                              copy.GetExpiryInterval(), copy.GetLastAccessTime(), user.uid,
                              user.gid, user.groups),
              std::make_tuple(saved, SharePerms(SHARE_PERM_READ | SHARE_PERM_ROOT), 1u, time_t{300},
                              time_t{4242}, 1234u, 5678u, std::vector<gid_t>{11, 12}));
}

TEST(host_Export, AuthorizeByAnyAddressOrByName) {
    TestExport exp("/srv/a", 1, "192.0.2.0/24 Trusted.Example");
    const CRaIPAddr inside = Addr("192.0.2.10"), outside = Addr("198.51.100.1");
    EXPECT_TRUE(exp.Authorize(inside, ""));
    EXPECT_TRUE(exp.Authorize(std::vector<OXIPAddr>{outside, inside}, "other"));
    EXPECT_FALSE(exp.Authorize(std::vector<OXIPAddr>{outside}, "other"));
    EXPECT_TRUE(exp.Authorize(std::vector<OXIPAddr>{}, "TRUSTED.example"));

    exp.RemoveAllowedClients("192.0.2.0/24");
    EXPECT_FALSE(exp.Authorize(inside, ""));
}

// Every kind of entry, across mixed separators, kept once in canonical form;
// ranges masked.
TEST(host_AllowedClients, FillKeepsTheEntriesInCanonicalForm) {
    const struct {
        const char* text;
        const char* kept;
    } cases[] = {
        {" a.example.com, 192.0.2.7;2001:DB8:0::1\t*.Example.org\n\n10.1.2.3/8;;,*",
         "a.example.com,192.0.2.7,2001:db8::1,*.example.org,10.0.0.0/8,*"},
        {"192.0.2.77/26 2001:db8:ffff::1/32 0.0.0.0/0 ::ffff:192.0.2.1/120",
         "192.0.2.64/26,2001:db8::/32,0.0.0.0/0,192.0.2.0/24"},
        {"Backup01.Example.COM under_score *.Example.org",
         "backup01.example.com,under_score,*.example.org"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Filled(c.text).ToString(), c.kept) << c.text;
        std::string reason;
        EXPECT_TRUE(AllowedClients::Check(c.text, reason)) << c.text << ": " << reason;
    }
}

// A list is checked whole, never trimmed: one entry that is not a client
// makes Check name it and Fill take nothing of the list; a list of no
// entry names no client.
TEST(host_AllowedClients, ABadEntryOrAnEmptyListIsNamedAndNothingIsTaken) {
    const std::string kNotAClient = "] is not an address, CIDR range, host name or *.suffix";
    const std::string label63(63, 'a');
    // Each entry alone is named as it is; these as the reason shows them.
    std::vector<std::pair<std::string, std::string>> cases = {
        {"10.0.0.1,bad!name", "bad!name"},
        {"192.0.2.1 ::/129", "::/129"},
        {"1.2.3.4/ x", "1.2.3.4/"},
        {"bad\x1b[2Jname", "bad\\x1b[2Jname"}};
    for (const char* alone : {"evil}", "127.0.0.1/33", "300.1.1.1", "1.2.3.4/x", "1.2.3.4/-1",
                              "/24", "1.2.3.0/24/1", "::ffff:192.0.2.1/95", "192.0.2", "*foo", "*.",
                              "*.*.x", "a..b", ".lead", "trail.", "::g", "x*"})
        cases.emplace_back(alone, alone);
    cases.emplace_back(label63 + "a.example", label63 + "a.example");
    for (const auto& [text, named] : cases) {
        SCOPED_TRACE(text);
        std::string reason;
        EXPECT_FALSE(AllowedClients::Check(text, reason));
        EXPECT_EQ(reason, "[" + named + kNotAClient);
        // The good entry beside a bad one goes neither in nor out.
        AllowedClients clients = Filled("192.0.2.200");
        clients.Fill("192.0.2.201 " + text);
        clients.Remove("192.0.2.200 " + text);
        EXPECT_EQ(clients.ToString(), "192.0.2.200");
    }
    std::string reason;
    for (const char* empty : {"", " ,; \t"}) {
        EXPECT_FALSE(AllowedClients::Check(empty, reason));
        EXPECT_EQ(reason, "no client is named");
    }
    EXPECT_TRUE(AllowedClients::Check(label63 + ".example", reason)) << reason;
}

// Ranges match exactly up to their boundary; names match whole or below a
// "*." suffix, ignoring case.
TEST(host_AllowedClients, AdmitsAddressesInARangeAndNamesWholeOrBelowASuffix) {
    const AllowedClients v4 = Filled("192.0.2.64/26"), v6 = Filled("2001:db8::/33"),
                         names = Filled("Backup01.Example.COM under_score *.Example.org");
    // A v4-mapped address matches v4 entries; the same leading bytes in the
    // other family do not.
    for (const char* in : {"192.0.2.64", "192.0.2.127", "::ffff:192.0.2.70"})
        EXPECT_TRUE(v4.Admits(Addr(in), "")) << in;
    for (const char* out : {"192.0.2.63", "192.0.2.128", "c000:240::", "::ffff:192.0.2.128"})
        EXPECT_FALSE(v4.Admits(Addr(out), "")) << out;
    for (const char* in : {"2001:db8::", "2001:db8:7fff:ffff:ffff:ffff:ffff:ffff"})
        EXPECT_TRUE(v6.Admits(Addr(in), "")) << in;
    for (const char* out : {"2001:db8:8000::", "2001:db7:ffff::", "192.0.2.1"})
        EXPECT_FALSE(v6.Admits(Addr(out), "")) << out;
    EXPECT_TRUE(Filled("192.0.2.9").Admits(Addr("::ffff:192.0.2.9"), ""));

    for (const char* in : {"BACKUP01.example.com", "Under_Score", "A.B.EXAMPLE.ORG"})
        EXPECT_TRUE(names.Admits(CRaIPAddr(), in)) << in;
    for (const char* out :
         {"backup01", "xbackup01.example.com", "backup01.example.com.evil", "", "example.org",
          ".example.org.x", "host.myexample.org", "badexample.org", "a.example.organic"})
        EXPECT_FALSE(names.Admits(CRaIPAddr(), out)) << out;
}

// An empty set admits nobody, "*" everybody.
TEST(host_AllowedClients, FillSkipsKnownEntriesRemoveDropsThemAndStarAdmitsAll) {
    AllowedClients clients = Filled("host.example.com 192.0.2.0/24 2001:db8::1");
    clients.Fill("HOST.example.com, 192.0.2.99/24, 2001:DB8:0:0::1, 198.51.100.1");
    EXPECT_EQ(clients.ToString(), "host.example.com,192.0.2.0/24,2001:db8::1,198.51.100.1");

    clients.Remove("Host.Example.com 192.0.2.1/24 unknown.example 10.0.0.1");
    EXPECT_EQ(clients.ToString(), "2001:db8::1,198.51.100.1");

    clients = AllowedClients();
    EXPECT_FALSE(clients.Admits(Addr("192.0.2.1"), "any.where"));
    clients.Fill("*");
    EXPECT_TRUE(clients.Admits(Addr("2001:db8::5"), "any.where"));
    clients.Remove("*");
    EXPECT_FALSE(clients.Admits(Addr("2001:db8::5"), "any.where"));
}
