// lumectl list and locks: fetching the listings and putting them in tables
// or JSON.
#include "cli/LumectlListings.h"

#include <algorithm>
#include <sstream>
#include <vector>

#include "server/protocol/lumecfg.h"

namespace {

// A server's pages must move forward; this many is far past any real table.
constexpr int kMaxPages = 1 << 16;

typedef std::vector<std::string> Row;

// Columns padded to their widest cell, two spaces apart.
std::string Table(const std::vector<Row>& rows) {
    std::vector<size_t> widths;
    for (const Row& row : rows)
        for (size_t i = 0; i < row.size(); ++i) {
            widths.resize(std::max(widths.size(), row.size()));
            widths[i] = std::max(widths[i], row[i].size());
        }
    std::ostringstream out;
    for (size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (size_t i = 0; i < rows[r].size(); ++i)
            line +=
                rows[r][i] +
                (i + 1 < rows[r].size() ? std::string(widths[i] - rows[r][i].size() + 2, ' ') : "");
        out << line << (r + 1 < rows.size() ? "\n" : "");
    }
    return out.str();
}

nlohmann::json Clients(const std::string& text) {
    nlohmann::json clients = nlohmann::json::array();
    std::istringstream in(text);
    std::string client;
    while (std::getline(in, client, ','))
        if (!client.empty())
            clients.push_back(client);
    return clients;
}

std::string Text(const lumecfg_opttext text) {
    return text && *text ? *text : "";
}

// Makes the call; false with the report saying why when it did not complete.
bool Called(ConfigClient& client, uint32_t procedure, xdrproc_t encode, void* args,
            xdrproc_t decode, void* result, LumectlReport& report) {
    std::string error;
    if (client.Call(procedure, encode, args, decode, result, error) == RPC_SUCCESS)
        return true;
    report.outcome = client.TlsFailed() ? LumectlReport::Untrusted : LumectlReport::Unreachable;
    report.message = error;
    return false;
}

void Refused(LumectlReport& report, int status, const std::string& message) {
    report.outcome = LumectlReport::Refused;
    report.status = status;
    report.message = message;
}

nlohmann::json ExportJson(const lumecfg_export_entry& entry) {
    return {{"share", entry.share_path},
            {"real_path", entry.real_path},
            {"share_id", entry.share_id},
            {"clients", Clients(entry.clients)},
            {"perms", entry.perms},
            {"references", entry.ref_count},
            {"expiry_left",
             entry.expiry_left < 0 ? nlohmann::json() : nlohmann::json(entry.expiry_left)},
            {"job_id", entry.job_id},
            {"locks", entry.locks}};
}

// A client list as the server lists it; "-" for none.
std::string Joined(const nlohmann::json& clients) {
    std::string all;
    for (const nlohmann::json& client : clients)
        all += (all.empty() ? "" : ",") + client.get<std::string>();
    return all.empty() ? "-" : all;
}

Row ExportRowText(const nlohmann::json& entry) {
    const nlohmann::json& expiry = entry["expiry_left"];
    return {entry["share"],
            entry["real_path"],
            std::to_string(entry["share_id"].get<uint32_t>()),
            Joined(entry["clients"]),
            std::to_string(entry["perms"].get<int>()),
            std::to_string(entry["references"].get<uint32_t>()),
            expiry.is_null() ? "never" : std::to_string(expiry.get<int64_t>()) + "s",
            std::to_string(entry["job_id"].get<uint64_t>()),
            std::to_string(entry["locks"].get<uint32_t>())};
}

// One page into exports; false when the call failed or was refused.
bool FetchPage(ConfigClient& client, uint32_t& from, bool& more, nlohmann::json& exports,
               LumectlReport& report) {
    lumecfg_list_args args{from};
    lumecfg_list_res result{};
    auto decode = XdrProc(xdr_lumecfg_list_res);
    if (!Called(client, LUMECFG_LIST_EXPORTS, XdrProc(xdr_lumecfg_list_args), &args, decode,
                &result, report))
        return false;
    bool ok = result.status == 0;
    if (!ok)
        Refused(report, result.status, Text(result.message));
    for (u_int i = 0; ok && i < result.exports.exports_len; ++i)
        exports.push_back(ExportJson(result.exports.exports_val[i]));
    more = ok && result.more;
    if (more && result.next_share_id <= from) {
        Refused(report, -1, "the server's pages do not move forward");
        ok = more = false;
    }
    from = result.next_share_id;
    xdr_free(decode, reinterpret_cast<char*>(&result));
    return ok;
}

}  // namespace

LumectlReport RunListExports(ConfigClient& client) {
    LumectlReport report;
    report.command = "list";
    nlohmann::json exports = nlohmann::json::array();
    uint32_t from = 0;
    bool more = true;
    for (int page = 0; more; ++page) {
        if (page == kMaxPages) {
            Refused(report, -1, "the server's listing has no end");
            return report;
        }
        if (!FetchPage(client, from, more, exports, report))
            return report;
    }
    report.fields = {{"exports", exports}};
    std::vector<Row> rows = {
        {"SHARE", "REAL PATH", "ID", "CLIENTS", "PERMS", "REFS", "EXPIRES", "JOB", "LOCKS"}};
    for (const nlohmann::json& entry : exports)
        rows.push_back(ExportRowText(entry));
    report.line = exports.empty() ? "no exports" : Table(rows);
    return report;
}

LumectlReport RunListLocks(const LumectlCommand& command, ConfigClient& client) {
    LumectlReport report;
    report.command = "locks";
    std::vector<char> path(command.path.begin(), command.path.end());
    path.push_back('\0');
    lumecfg_share_args args{path.data()};
    lumecfg_locks_res result{};
    auto decode = XdrProc(xdr_lumecfg_locks_res);
    if (!Called(client, LUMECFG_LIST_LOCKS, XdrProc(xdr_lumecfg_share_args), &args, decode, &result,
                report))
        return report;
    if (result.status != 0)
        Refused(report, result.status, Text(result.message));
    nlohmann::json locks = nlohmann::json::array();
    std::vector<Row> rows = {{"OWNER", "KIND", "FILE"}};
    for (u_int i = 0; i < result.locks.locks_len; ++i) {
        const lumecfg_held_lock& lock = result.locks.locks_val[i];
        const char* kind = lock.shared ? "read" : "write";
        locks.push_back({{"owner", lock.owner}, {"kind", kind}, {"file", lock.file}});
        rows.push_back({std::to_string(lock.owner), kind, lock.file});
    }
    report.fields = {{"share", command.path}, {"locks", locks}, {"total", result.total}};
    report.line = locks.empty() ? "no locks held through " + command.path : Table(rows);
    if (result.total > result.locks.locks_len)
        report.line +=
            "\n(" + std::to_string(result.total - result.locks.locks_len) + " more not listed)";
    xdr_free(decode, reinterpret_cast<char*>(&result));
    return report;
}
