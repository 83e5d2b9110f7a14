#include <gtest/gtest.h>

#include <iterator>
#include <sstream>
#include <tuple>

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
max-connections-per-address = 9
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
    EXPECT_EQ(std::tie(o.clients, o.bindAddress, o.stateDir, o.modulePath, o.configBind,
                       o.adminGroup, o.tlsCertificate, o.tlsKey, o.tlsCa),
              std::make_tuple("10.0.0.0/8", "127.0.0.2", "/var/lib/x", "/usr/lib/m.so", "::1",
                              "adm", "c.pem", "k.pem", "ca.pem"));
    EXPECT_EQ(std::tie(o.perms, o.port, o.logLevel, o.workers, o.maxConnectionsPerAddress,
                       o.configPort, o.minuteSeconds, o.rpcbind, o.ganesha, o.logStderr),
              std::make_tuple(5, 3049u, 4, 3u, 9u, 4000u, 2u, false, true, true));
    ASSERT_EQ(o.fileExports.size(), 2u);
    const ConfigExport &a = o.fileExports[0], &b = o.fileExports[1];
    EXPECT_EQ(std::tie(a.dir, a.line, a.clients, a.perms),
              std::make_tuple("/srv/a", 20, std::nullopt, std::nullopt));
    EXPECT_EQ(std::tie(b.clients, b.perms), std::make_tuple("h1", 1));
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
    EXPECT_EQ(std::tie(o.port, o.clients, o.rpcbind), std::make_tuple(0u, "h1", false));
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

// A client list is checked whole wherever it is given, never trimmed: the
// flag, the file's clients and an [[export]]'s clients each refuse a list
// with an entry that is no client, naming it, and an empty list.
TEST(LumedConfigFile, ClientListsAreRefusedNamingTheEntryThatIsNoClient) {
    const std::string notAClient = "] is not an address, CIDR range, host name or *.suffix";
    const struct {
        const char* clients;
        std::string reason;
    } cases[] = {
        {"evil}", "[evil}" + notAClient},
        {"127.0.0.1/33", "[127.0.0.1/33" + notAClient},
        {"", "no client is named"},
        {"300.1.1.1", "[300.1.1.1" + notAClient},
        {"10.0.0.1,bad!name", "[bad!name" + notAClient},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clients);
        LumedOptions o;
        std::string error;
        EXPECT_FALSE(Parse({"--config", "/dev/null", "--clients", c.clients}, o, error));
        EXPECT_NE(error.find("--clients: " + c.reason), std::string::npos) << error;

        const std::string quoted = std::string("\"") + c.clients + "\"";
        const std::string top = dir.WriteFile("top.toml", "port = 1\nclients = " + quoted + "\n");
        EXPECT_FALSE(Parse({"--config", top}, o, error));
        EXPECT_EQ(error, top + ":2: clients: " + c.reason);

        const std::string entry =
            dir.WriteFile("export.toml", "[[export]]\ndir = \"/a\"\n\nclients = " + quoted + "\n");
        EXPECT_FALSE(Parse({"--config", entry}, o, error));
        EXPECT_EQ(error, entry + ":4: export.clients: " + c.reason);
    }
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

    // Bad values, and options that clash: the channel beyond loopback
    // without TLS, TLS files given in part.
    for (const char* refused : {"--perms 0x3", "--perms nine", "--port 65536", "--workers 0",
                                "--max-connections-per-address 0", "--metrics [::1]:x", "--port",
                                "--frob 1", "extra", "--config-bind 0.0.0.0", "--tls-ca ca.pem"}) {
        std::istringstream words(refused);
        LumedOptions bad;
        EXPECT_FALSE(Parse({std::istream_iterator<std::string>(words), {}}, bad, error)) << refused;
    }
    LumedOptions version;
    EXPECT_TRUE(Parse({"--port", "x", "--version"}, version, error)) << error;
    EXPECT_TRUE(version.version);
}
