// lumectl stats and lumed --metrics against a running lumed that an NFS
// client works with: the counts move, percentiles are ordered, --json
// parses, and the metrics endpoint speaks the Prometheus text format line
// by line, answers 404 to anything else and outlives a client that sends
// nothing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nfsc/libnfs.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "tests/server/NfsClient.h"
#include "tests/server/config/LumedFixture.h"

namespace {

// A TCP connection to 127.0.0.1:port; -1 when it cannot be made. Reads
// give up after 10 s, so a test cannot hang.
int Connect(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The whole answer to one HTTP request.
std::string Http(uint16_t port, const std::string& request) {
    int fd = Connect(port);
    if (fd < 0 || ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0)
        return "";
    std::string response;
    char buffer[4096];
    for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        response.append(buffer, static_cast<size_t>(got));
    ::close(fd);
    return response;
}

class Stats : public LumedFixture {};

const nlohmann::json* Row(const nlohmann::json& rows, const std::string& program,
                          const std::string& name) {
    for (const nlohmann::json& row : rows)
        if (row["program"] == program && row["name"] == name)
            return &row;
    return nullptr;
}

uint64_t Calls(const nlohmann::json& rows, const std::string& program, const std::string& name) {
    const nlohmann::json* row = Row(rows, program, name);
    return row ? (*row)["calls"].get<uint64_t>() : 0;
}

// The text format, line by line: every family's HELP, then TYPE, then its
// samples (a summary's with _sum and _count); names of the allowed
// characters; label values quoted with \\, \" and \n escaped; numbers.
void ExpectTextFormat(const std::string& body) {
    const std::regex help("# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) [^\n]+");
    const std::regex type("# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|summary)");
    const std::string label = "[a-zA-Z_][a-zA-Z0-9_]*=\"(?:[^\"\\\\\n]|\\\\[\\\\\"n])*\"";
    const std::regex sample("([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\\{" + label + "(?:," + label +
                            ")*\\})? (-?[0-9]+(?:\\.[0-9]+)?(?:e[-+]?[0-9]+)?)");
    std::istringstream lines(body);
    std::string line, helped, family, familyType;
    std::set<std::string> families;
    size_t samples = 0;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_match(line, m, help)) {
            EXPECT_TRUE(families.insert(m[1]).second) << "family twice: " << line;
            helped = m[1];
        } else if (std::regex_match(line, m, type)) {
            EXPECT_EQ(m[1], helped) << line;
            family = m[1];
            familyType = m[2];
        } else if (std::regex_match(line, m, sample)) {
            const std::string name = m[1];
            const bool summaryPart =
                familyType == "summary" && (name == family + "_sum" || name == family + "_count");
            EXPECT_TRUE(name == family || summaryPart) << line;
            ++samples;
        } else {
            ADD_FAILURE() << "not the text format: [" << line << "]";
        }
    }
    EXPECT_GT(samples, 0u);
}

// What a client's work moves: lumectl stats (percentiles ordered, --json
// and the table) and the metrics endpoint, which serves nothing else.
TEST_F(Stats, CountsMoveWhenAClientWorksAndTheMetricsEndpointServesThem) {
    const std::string dir = NewDir("export");
    std::ofstream(dir + "/data") << "0123456789";
    ::chmod((dir + "/data").c_str(), 0644);  // root is squashed: nobody reads it
    ASSERT_NO_FATAL_FAILURE(StartLumed({dir}, {"--metrics", "127.0.0.1:0"}));
    const std::string port = PrintedPort("metrics");
    ASSERT_NE(port, "") << m_lumed.Output();
    const uint16_t metricsPort = static_cast<uint16_t>(std::stoi(port));
    auto snapshot = [this] { return nlohmann::json::parse(Out(Ctl({"--json", "stats"}))); };

    const nlohmann::json before = snapshot();
    // A client mounts, finds a file and reads it, looks for a missing one.
    NfsClient client;
    std::string error;
    ASSERT_TRUE(client.Mount(m_lumed.Port(), dir, error)) << error;
    nfsfh* fh = nullptr;
    char buffer[16];
    ASSERT_EQ(nfs_open(client.Context(), "/data", O_RDONLY, &fh), 0);
    EXPECT_EQ(nfs_read(client.Context(), fh, sizeof buffer, buffer), 10);
    nfs_close(client.Context(), fh);
    nfs_stat_64 st;
    EXPECT_NE(nfs_stat64(client.Context(), "/missing", &st), 0);
    const nlohmann::json after = snapshot();
    EXPECT_GT(Calls(after["procedures"], "mount", "MNT"),
              Calls(before["procedures"], "mount", "MNT"));
    EXPECT_GE(Calls(after["procedures"], "nfs", "READ"),
              Calls(before["procedures"], "nfs", "READ") + 1);
    const nlohmann::json* lookup = Row(after["procedures"], "nfs", "LOOKUP");
    ASSERT_TRUE(lookup) << after.dump();
    EXPECT_GE((*lookup)["errors"].value("NOENT", 0u), 1u);
    const nlohmann::json* exported = Row(after["exports"], "nfs", dir);
    ASSERT_TRUE(exported) << after.dump();
    EXPECT_GT((*exported)["bytes_in"].get<uint64_t>(), 0u);
    EXPECT_GT((*exported)["bytes_out"].get<uint64_t>(), 0u);
    for (const char* list : {"procedures", "exports"})
        for (const nlohmann::json& row : after[list]) {
            EXPECT_LE(row["p50_ns"], row["p90_ns"]) << row.dump();
            EXPECT_LE(row["p90_ns"], row["p99_ns"]) << row.dump();
            EXPECT_LE(row["p99_ns"], row["max_ns"]) << row.dump();
        }
    uint64_t clientCalls = 0;  // the client's connection is still open
    for (const nlohmann::json& connection : after["connections"])
        if (connection["peer"].get<std::string>().rfind("127.0.0.1:", 0) == 0)
            clientCalls += connection["calls"].get<uint64_t>();
    EXPECT_GE(clientCalls, 5u) << after.dump();
    const std::string table = Out(Ctl({"stats"}));
    EXPECT_NE(table.find("nfs LOOKUP"), std::string::npos) << table;
    EXPECT_NE(table.find(dir), std::string::npos) << table;

    const std::string response = Http(metricsPort, "GET /metrics HTTP/1.0\r\n\r\n");
    const size_t bodyAt = response.find("\r\n\r\n");
    ASSERT_NE(bodyAt, std::string::npos) << response;
    EXPECT_EQ(response.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << response;
    EXPECT_NE(response.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    const std::string body = response.substr(bodyAt + 4);
    ExpectTextFormat(body);
    for (const std::string& sample :
         {std::string("lume_rpc_calls_total{program=\"nfs\",procedure=\"READ\"} "),
          std::string(
              "lume_rpc_errors_total{program=\"nfs\",procedure=\"LOOKUP\",status=\"NOENT\"} "),
          "lume_export_calls_total{export=\"" + dir + "\"} "})
        EXPECT_NE(body.find(sample), std::string::npos) << sample;

    for (const char* other : {"GET / HTTP/1.0\r\n\r\n", "GET /metricsx HTTP/1.0\r\n\r\n",
                              "POST /metrics HTTP/1.0\r\n\r\n", "\r\n\r\n"})
        EXPECT_EQ(Http(metricsPort, other).rfind("HTTP/1.0 404 Not Found\r\n", 0), 0u) << other;
    // A client that connects and sends nothing is dropped; lumed answers on.
    const int silent = Connect(metricsPort);
    ASSERT_GE(silent, 0);
    EXPECT_EQ(Ctl({"stats"}).exitCode, 0);
    EXPECT_EQ(Http(metricsPort, "GET /metrics HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 200 OK", 0), 0u);
    ::close(silent);
}

// The statistics name every share path and each peer's address: a local
// user over TCP loopback, whom lumed knows no name for, is refused them as
// it is refused the listings, with or without --json.
TEST_F(Stats, NobodyInParticularIsRefusedThemAsTheListings) {
    const std::string dir = NewDir("private-share");
    ASSERT_NO_FATAL_FAILURE(StartLumed({dir}));
    NfsClient client;  // a peer the statistics would show
    std::string error;
    ASSERT_TRUE(client.Mount(m_lumed.Port(), dir, error)) << error;
    const std::string server = "127.0.0.1:" + std::to_string(m_lumed.Port());
    const std::pair<uid_t, gid_t> localUser{1000, 1000};
    const std::string refusal = "Only this machine or a proved peer may list.";

    EXPECT_EQ(Refusal(RunLumectl({"--server", server, "stats"}, localUser)),
              "lumectl: stats failed: status 11: " + refusal + "\n");
    const LumectlRun json = RunLumectl({"--server", server, "--json", "stats"}, localUser);
    EXPECT_EQ(json.exitCode, 1) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out),
              nlohmann::json(
                  {{"command", "stats"}, {"message", refusal}, {"ok", false}, {"status", 11}}));
    EXPECT_EQ(json.err, "");
    // This machine still sees them.
    EXPECT_NE(Out(Ctl({"stats"})).find(dir), std::string::npos);
}

}  // namespace
