#include "host/AllowedClients.h"

#include <gtest/gtest.h>

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

bool AdmitsAddr(const AllowedClients& clients, const std::string& text) {
    return clients.Admits(Addr(text), "");
}

bool AdmitsName(const AllowedClients& clients, const std::string& name) {
    return clients.Admits(CRaIPAddr(), name);
}

}  // namespace

TEST(host_AllowedClients, ParsesEveryKindAcrossMixedSeparators) {
    AllowedClients clients =
        Filled(" a.example.com, 192.0.2.7;2001:DB8:0::1\t*.Example.org\n\n10.1.2.3/8;;,*");
    EXPECT_EQ(clients.ToString(), "a.example.com,192.0.2.7,2001:db8::1,*.example.org,10.0.0.0/8,*");
}

TEST(host_AllowedClients, RangesAreCanonicalAndPrefixLengthsChecked) {
    AllowedClients clients = Filled(
        "192.0.2.77/26 2001:db8:ffff::1/32 0.0.0.0/0 10.0.0.0/33 ::/129 1.2.3.4/ 1.2.3.4/x "
        "1.2.3.4/-1 /24 1.2.3.0/24/1 ::ffff:192.0.2.1/120 ::ffff:192.0.2.1/95");
    EXPECT_EQ(clients.ToString(), "192.0.2.64/26,2001:db8::/32,0.0.0.0/0,192.0.2.0/24");
}

TEST(host_AllowedClients, RangesMatchExactlyUpToTheirBoundary) {
    AllowedClients v4 = Filled("192.0.2.64/26");
    EXPECT_TRUE(AdmitsAddr(v4, "192.0.2.64"));
    EXPECT_TRUE(AdmitsAddr(v4, "192.0.2.127"));
    EXPECT_FALSE(AdmitsAddr(v4, "192.0.2.63"));
    EXPECT_FALSE(AdmitsAddr(v4, "192.0.2.128"));
    EXPECT_FALSE(AdmitsAddr(v4, "c000:240::"));  // same leading bytes, other family

    AllowedClients v6 = Filled("2001:db8::/33");
    EXPECT_TRUE(AdmitsAddr(v6, "2001:db8::"));
    EXPECT_TRUE(AdmitsAddr(v6, "2001:db8:7fff:ffff:ffff:ffff:ffff:ffff"));
    EXPECT_FALSE(AdmitsAddr(v6, "2001:db8:8000::"));
    EXPECT_FALSE(AdmitsAddr(v6, "2001:db7:ffff::"));
    EXPECT_FALSE(AdmitsAddr(v6, "192.0.2.1"));

    EXPECT_TRUE(AdmitsAddr(Filled("0.0.0.0/0"), "203.0.113.9"));
    // A v4-mapped address matches v4 entries.
    EXPECT_TRUE(AdmitsAddr(v4, "::ffff:192.0.2.70"));
    EXPECT_TRUE(AdmitsAddr(Filled("192.0.2.9"), "::ffff:192.0.2.9"));
    EXPECT_TRUE(AdmitsAddr(Filled("::ffff:192.0.2.0/120"), "192.0.2.200"));
    EXPECT_FALSE(AdmitsAddr(v4, "::ffff:192.0.2.128"));
}

TEST(host_AllowedClients, NamesMatchWholeOrBelowASuffixIgnoringCase) {
    AllowedClients clients = Filled("Backup01.Example.COM under_score *.Example.org");
    EXPECT_EQ(clients.ToString(), "backup01.example.com,under_score,*.example.org");
    EXPECT_TRUE(AdmitsName(clients, "BACKUP01.example.com"));
    EXPECT_TRUE(AdmitsName(clients, "Under_Score"));
    EXPECT_FALSE(AdmitsName(clients, "backup01"));
    EXPECT_FALSE(AdmitsName(clients, "xbackup01.example.com"));
    EXPECT_FALSE(AdmitsName(clients, "backup01.example.com.evil"));
    EXPECT_FALSE(AdmitsName(clients, ""));
    EXPECT_FALSE(AdmitsAddr(clients, "192.0.2.1"));
    EXPECT_TRUE(AdmitsName(clients, "A.B.EXAMPLE.ORG"));
    for (const char* name : {"example.org", ".example.org.x", "host.myexample.org",
                             "badexample.org", "a.example.organic"})
        EXPECT_FALSE(AdmitsName(clients, name)) << name;
}

TEST(host_AllowedClients, FillSkipsKnownEntriesAndRemoveDropsThem) {
    AllowedClients clients = Filled("host.example.com 192.0.2.0/24 2001:db8::1");
    clients.Fill("HOST.example.com, 192.0.2.99/24, 2001:DB8:0:0::1, 198.51.100.1");
    EXPECT_EQ(clients.ToString(), "host.example.com,192.0.2.0/24,2001:db8::1,198.51.100.1");

    clients.Remove("Host.Example.com 192.0.2.1/24 unknown.example 10.0.0.1");
    EXPECT_EQ(clients.ToString(), "2001:db8::1,198.51.100.1");
    EXPECT_FALSE(AdmitsName(clients, "host.example.com"));
    EXPECT_FALSE(AdmitsAddr(clients, "192.0.2.5"));
    EXPECT_TRUE(AdmitsAddr(clients, "2001:db8::1"));
}

TEST(host_AllowedClients, GarbageIsIgnoredEmptyAdmitsNobodyAndStarEverybody) {
    AllowedClients clients = Filled(
        " ,; \tbad!name 300.1.2.3 192.0.2 *foo *. *.*.x a..b .lead trail. ::g 1.2.3.4/24/1 x*");
    EXPECT_EQ(clients.ToString(), "");
    EXPECT_FALSE(clients.Admits(Addr("192.0.2.1"), "bad!name"));
    EXPECT_FALSE(clients.Admits(CRaIPAddr(), ""));

    clients.Fill("*");
    EXPECT_TRUE(clients.Admits(CRaIPAddr(), ""));
    EXPECT_TRUE(clients.Admits(Addr("2001:db8::5"), "any.where"));
    clients.Remove("*");
    EXPECT_FALSE(clients.Admits(Addr("2001:db8::5"), "any.where"));
}
