#include <gtest/gtest.h>

#include "server/lumed/ConfigFile.h"
#include "tests/support/TempDir.h"

namespace {

// ParseLumedOptions over "lumed ARGS...".
bool Parse(std::vector<std::string> args, LumedOptions& options, std::string& error) {
    args.insert(args.begin(), "lumed");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    return ParseLumedOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

}  // namespace

TEST(LumedConfigFile, EveryKeySetsWhatItsFlagSets) {
    TempDir dir;
    std::string path = dir.WriteFile("lumed.toml", R"(clients = "10.0.0.0/8"
perms = 5
port = 3049
bind = "127.0.0.2"
state-dir = "/var/lib/x"
module = "/usr/lib/m.so"
log-level = 4
workers = 3
rpcbind = false
ganesha = true
log-stderr = true
config-bind = "::1"
config-port = 4000
minute-seconds = 2
admin-group = "adm"
tls-cert = "c.pem"
tls-key = "k.pem"
tls-ca = "ca.pem"
[[export]]
dir = "/srv/a"
[[export]]
dir = "/srv/b"
clients = "h1"
perms = 1
)");
    LumedOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--config", path}, o, error)) << error;
    EXPECT_EQ(o.configPath, path);
    EXPECT_EQ(o.clients, "10.0.0.0/8");
    EXPECT_EQ(o.perms, 5);
    EXPECT_EQ(o.port, 3049u);
    EXPECT_EQ(o.bindAddress, "127.0.0.2");
    EXPECT_EQ(o.stateDir, "/var/lib/x");
    EXPECT_EQ(o.modulePath, "/usr/lib/m.so");
    EXPECT_EQ(o.logLevel, 4);
    EXPECT_EQ(o.workers, 3u);
    EXPECT_FALSE(o.rpcbind);
    EXPECT_TRUE(o.ganesha);
    EXPECT_TRUE(o.logStderr);
    EXPECT_EQ(o.configBind, "::1");
    EXPECT_EQ(o.configPort, 4000u);
    EXPECT_EQ(o.minuteSeconds, 2u);
    EXPECT_EQ(o.adminGroup, "adm");
    EXPECT_EQ(o.tlsCertificate + o.tlsKey + o.tlsCa, "c.pemk.pemca.pem");
    ASSERT_EQ(o.fileExports.size(), 2u);
    EXPECT_EQ(o.fileExports[0].dir, "/srv/a");
    EXPECT_EQ(o.fileExports[0].line, 19);
    EXPECT_FALSE(o.fileExports[0].clients || o.fileExports[0].perms);
    EXPECT_EQ(o.fileExports[1].clients, "h1");
    EXPECT_EQ(o.fileExports[1].perms, 1);
}

TEST(LumedConfigFile, FlagsOverrideTheFileAndExportsAddUp) {
    TempDir dir;
    std::string path = dir.WriteFile(
        "lumed.toml", "port = 3049\nclients = \"h1\"\nrpcbind = true\n[[export]]\ndir = \"/a\"\n");
    LumedOptions o;
    std::string error;
    ASSERT_TRUE(
        Parse({"--port", "0", "--config", path, "--no-rpcbind", "--export", "/b"}, o, error))
        << error;
    EXPECT_EQ(o.port, 0u);
    EXPECT_EQ(o.clients, "h1");
    EXPECT_FALSE(o.rpcbind);
    EXPECT_EQ(o.exports, std::vector<std::string>{"/b"});
    ASSERT_EQ(o.fileExports.size(), 1u);
    EXPECT_EQ(o.fileExports[0].dir, "/a");

    // The version needs no readable configuration.
    LumedOptions version;
    EXPECT_TRUE(Parse({"--config", dir / "absent.toml", "--version"}, version, error));
    EXPECT_TRUE(version.version);
}

TEST(LumedConfigFile, BadFilesAreRefusedNamingFileLineAndKey) {
    struct Case {
        const char* text;
        const char* says;  // after "PATH:"
    };
    const Case cases[] = {
        {"port = 1\nportt = 2\n", "2: portt: unknown key"},
        {"[tls]\ncert = \"x\"\n", "1: tls: unknown key"},
        {"port = \"2049\"\n", "1: port: expected an integer, found string"},
        {"bind = 127\n", "1: bind: expected a string, found integer"},
        {"ganesha = 1\n", "1: ganesha: expected true or false, found integer"},
        {"\nport = 70000\n", "2: port: bad value 70000"},
        {"log-level = -2\n", "1: log-level: bad value -2"},
        {"port = 1\nbind = \"x\n", "2: bad TOML: "},
        {"[[export]]\ndir = \"/a\"\nperms = 9\n", "3: export.perms: bad value 9"},
        {"[[export]]\ndir = \"/a\"\nclient = \"h\"\n", "3: export.client: unknown key"},
        {"[[export]]\nclients = \"h\"\n", "1: export: no dir"},
        {"export = \"/a\"\n", "1: export: expected [[export]] tables"},
        {"tls-cert = \"c\"\n", "--tls-cert, --tls-key and --tls-ca go together"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        std::string path = dir.WriteFile("bad.toml", c.text);
        LumedOptions o;
        std::string error;
        EXPECT_FALSE(Parse({"--config", path}, o, error)) << c.text;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.text << " gave: " << error;
        EXPECT_TRUE(error.rfind(path + ":", 0) == 0 || c.says[0] == '-') << error;
    }
    LumedOptions o;
    std::string error;
    EXPECT_FALSE(Parse({"--config", dir / "absent.toml"}, o, error));
    EXPECT_EQ(error, "cannot read the configuration file " + dir / "absent.toml");
}

TEST(LumedConfigFile, FlagsAreDecimalsInRangeTheLastWinsAndVersionGoesFirst) {
    LumedOptions o;
    std::string error;
    ASSERT_TRUE(Parse({"--config", "/dev/null", "--port", "010", "--port", "0020", "--export", "/a",
                       "--log-level", "-1", "--export", "/b"},
                      o, error))
        << error;
    EXPECT_EQ(o.port, 20u);
    EXPECT_EQ(o.logLevel, -1);
    EXPECT_EQ(o.exports, (std::vector<std::string>{"/a", "/b"}));

    const std::vector<std::string> refused[] = {
        {"--perms", "0x3"}, {"--port", "65536"}, {"--workers", "0"}, {"--metrics", "[::1]:x"},
        {"--port"},         {"--frob", "1"},     {"extra"},
    };
    for (const std::vector<std::string>& args : refused) {
        LumedOptions bad;
        EXPECT_FALSE(Parse(args, bad, error)) << args[0];
    }
    LumedOptions version;
    EXPECT_TRUE(Parse({"--port", "x", "--version"}, version, error)) << error;
    EXPECT_TRUE(version.version);
}
