#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include "platform/CRaIPAddr.h"
#include "platform/PathUtil.h"

namespace {

struct Case {
    const char* in;
    const char* out;
};

CRaIPAddr Ip(const char* text) {
    CRaIPAddr address;
    EXPECT_TRUE(CRaIPAddr::Parse(text, address)) << text;
    return address;
}

}  // namespace

TEST(PlatformPathUtil, NormaliseCollapseAndDirName) {
    const Case dots[] = {{"/a/./b//c/../d", "/a/b/d"},
                         {"/../x", "/x"},
                         {"../x", "../x"},
                         {"a/../../x", "../x"},
                         {"/", "/"},
                         {"", ""},
                         {"/a/b/", "/a/b"},
                         {"//a//", "/a"},
                         {"/a/..", "/"},
                         {"a/..", ""},
                         {"./a", "a"},
                         {"../../a/../b", "../../b"}};
    for (const Case& c : dots)
        EXPECT_EQ(RemoveDoubleDots(c.in, '/'), c.out) << c.in;
    EXPECT_EQ(RemoveDoubleDots("\\a\\b\\..\\c", '\\'), "\\a\\c");

    for (const Case& c : {Case{"//a///b/", "/a/b/"}, Case{"a", "a"}, Case{"////", "/"}}) {
        std::string path = c.in;
        RemoveDuplicates(path, '/');
        EXPECT_EQ(path, c.out) << c.in;
    }
    const Case parents[] = {{"/x/y/z", "/x/y"}, {"/x", "/"},     {"/", "/"},   {"x", "."},
                            {"", "."},          {"/x/y/", "/x"}, {"x/y", "x"}, {"//x", "/"},
                            {"/x//y", "/x"},    {"x/", "."},     {"///", "/"}};
    for (const Case& c : parents) {
        std::string parent = "stale";
        DirName(c.in, parent);
        EXPECT_EQ(parent, c.out) << c.in;
    }
}

TEST(PlatformIPAddr, ParsesFormatsAndMapsBothFamilies) {
    EXPECT_EQ(Ip("192.168.1.20").Family(), AF_INET);
    EXPECT_EQ(Ip("192.168.1.20").ToString(), "192.168.1.20");
    EXPECT_EQ(Ip("2001:DB8:0:0::1").Family(), AF_INET6);
    EXPECT_EQ(Ip("2001:DB8:0:0::1").ToString(), "2001:db8::1");
    EXPECT_NE(Ip("::a01:203"), Ip("10.1.2.3"));  // IPv4-compatible is not mapped
    for (const char* bad : {"", "1.2.3", "1.2.3.4/24", "host.example", "1::2::3"}) {
        CRaIPAddr out;
        EXPECT_FALSE(CRaIPAddr::Parse(bad, out)) << bad;
    }
    EXPECT_EQ(CRaIPAddr().ToString(), "");

    EXPECT_EQ(Ip("::ffff:10.1.2.3").Family(), AF_INET);  // mapped IPv6 is held as IPv4
    EXPECT_EQ(Ip("::ffff:10.1.2.3"), Ip("10.1.2.3"));
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "::ffff:10.1.2.3", &sin6.sin6_addr);
    EXPECT_EQ(CRaIPAddr::FromSockaddr(reinterpret_cast<sockaddr*>(&sin6)), Ip("10.1.2.3"));
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    inet_pton(AF_INET, "10.1.2.3", &sin.sin_addr);
    EXPECT_EQ(CRaIPAddr::FromSockaddr(reinterpret_cast<sockaddr*>(&sin)), Ip("10.1.2.3"));
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    EXPECT_EQ(CRaIPAddr::FromSockaddr(reinterpret_cast<sockaddr*>(&sun)).Length(), 0u);  // none
}

TEST(PlatformIPAddr, PrefixMatching) {
    EXPECT_TRUE(Ip("10.1.2.3").InPrefix(Ip("10.1.2.0"), 24));
    EXPECT_FALSE(Ip("10.1.3.3").InPrefix(Ip("10.1.2.0"), 24));
    EXPECT_TRUE(Ip("10.1.31.3").InPrefix(Ip("10.1.16.0"), 20));  // boundary inside a byte
    EXPECT_FALSE(Ip("10.1.32.3").InPrefix(Ip("10.1.16.0"), 20));
    EXPECT_TRUE(Ip("99.9.9.9").InPrefix(Ip("10.0.0.0"), 0));
    EXPECT_FALSE(Ip("10.1.2.4").InPrefix(Ip("10.1.2.3"), 200));  // capped at 32
    EXPECT_TRUE(Ip("2001:db8::5").InPrefix(Ip("2001:db8::"), 64));
    EXPECT_FALSE(Ip("2001:db9::5").InPrefix(Ip("2001:db8::"), 32));
    EXPECT_FALSE(Ip("10.0.0.1").InPrefix(Ip("::"), 0));  // families differ
}
