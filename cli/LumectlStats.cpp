// lumectl stats: fetching the call statistics and putting them in tables or
// JSON.
#include "cli/LumectlStats.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "server/protocol/lumecfg.h"

namespace {

nlohmann::json RowJson(const lumecfg_stats_row& row) {
    nlohmann::json errors = nlohmann::json::object();
    for (u_int i = 0; i < row.errors.errors_len; ++i)
        errors[row.errors.errors_val[i].status] = row.errors.errors_val[i].calls;
    return {{"program", row.rpc_program}, {"name", row.name},  {"calls", row.calls},
            {"errors", errors},           {"p50_ns", row.p50}, {"p90_ns", row.p90},
            {"p99_ns", row.p99},          {"max_ns", row.max}, {"bytes_in", row.bytes_in},
            {"bytes_out", row.bytes_out}};
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return line;
}

const char* const kHeader = "%-32s %10s %8s %10s %10s %10s %10s %12s %12s  %s\n";

std::string RowLine(const std::string& name, const lumecfg_stats_row& row) {
    uint64_t errors = 0;
    std::string statuses;
    for (u_int i = 0; i < row.errors.errors_len; ++i) {
        errors += row.errors.errors_val[i].calls;
        statuses += (i ? ", " : "") + std::string(row.errors.errors_val[i].status) + " " +
                    std::to_string(row.errors.errors_val[i].calls);
    }
    auto micros = [](uint64_t nanos) { return nanos / 1000.0; };
    std::string line =
        Format("%-32s %10llu %8llu %10.1f %10.1f %10.1f %10.1f %12llu %12llu  %s", name.c_str(),
               static_cast<unsigned long long>(row.calls), static_cast<unsigned long long>(errors),
               micros(row.p50), micros(row.p90), micros(row.p99), micros(row.max),
               static_cast<unsigned long long>(row.bytes_in),
               static_cast<unsigned long long>(row.bytes_out), statuses.c_str());
    line.erase(line.find_last_not_of(' ') + 1);
    return line + "\n";
}

std::string Table(const lumecfg_stats_res& stats) {
    std::string text = Format(kHeader, "procedure", "calls", "errors", "p50 us", "p90 us", "p99 us",
                              "max us", "bytes in", "bytes out", "errors by status");
    for (u_int i = 0; i < stats.procedures.procedures_len; ++i) {
        const lumecfg_stats_row& row = stats.procedures.procedures_val[i];
        text += RowLine(std::string(row.rpc_program) + " " + row.name, row);
    }
    text += "\n" + Format(kHeader, "export (NFS)", "calls", "errors", "p50 us", "p90 us", "p99 us",
                          "max us", "bytes in", "bytes out", "errors by status");
    for (u_int i = 0; i < stats.exports.exports_len; ++i)
        text += RowLine(stats.exports.exports_val[i].name, stats.exports.exports_val[i]);
    text += "\n" + Format("%-10s %-48s %10s\n", "connection", "peer", "calls");
    for (u_int i = 0; i < stats.connections.connections_len; ++i) {
        const lumecfg_stats_connection& connection = stats.connections.connections_val[i];
        text += Format("%-10llu %-48s %10llu\n", static_cast<unsigned long long>(connection.id),
                       connection.peer, static_cast<unsigned long long>(connection.calls));
    }
    text.pop_back();  // the report adds the last newline
    return text;
}

nlohmann::json Json(const lumecfg_stats_res& stats) {
    nlohmann::json procedures = nlohmann::json::array(), exports = nlohmann::json::array(),
                   connections = nlohmann::json::array();
    for (u_int i = 0; i < stats.procedures.procedures_len; ++i)
        procedures.push_back(RowJson(stats.procedures.procedures_val[i]));
    for (u_int i = 0; i < stats.exports.exports_len; ++i)
        exports.push_back(RowJson(stats.exports.exports_val[i]));
    for (u_int i = 0; i < stats.connections.connections_len; ++i) {
        const lumecfg_stats_connection& connection = stats.connections.connections_val[i];
        connections.push_back(
            {{"id", connection.id}, {"peer", connection.peer}, {"calls", connection.calls}});
    }
    return {{"procedures", procedures}, {"exports", exports}, {"connections", connections}};
}

}  // namespace

LumectlReport RunLumectlStats(const LumectlCommand&, ConfigClient& client) {
    LumectlReport report;
    report.command = "stats";
    lumecfg_stats_res stats{};
    const xdrproc_t decode = XdrProc(xdr_lumecfg_stats_res);
    if (client.Call(LUMECFG_STATS, XdrProc(xdr_void), nullptr, decode, &stats, report.message) !=
        RPC_SUCCESS) {
        report.outcome = client.TlsFailed() ? LumectlReport::Untrusted : LumectlReport::Unreachable;
        return report;
    }
    if (stats.status != 0) {  // as the listings refuse a caller with no proved name
        report.outcome = LumectlReport::Refused;
        report.status = stats.status;
        report.message = stats.message && *stats.message ? *stats.message : "";
    } else {
        report.fields = Json(stats);
        report.line = Table(stats);
    }
    xdr_free(decode, reinterpret_cast<char*>(&stats));
    return report;
}
