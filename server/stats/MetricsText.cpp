// A statistics snapshot written in the Prometheus text format.
#include "server/stats/MetricsText.h"

#include <cstdio>
#include <functional>
#include <sstream>
#include <utility>

namespace {

std::string Escaped(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string Seconds(uint64_t nanos) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9f", nanos / 1e9);
    return text;
}

// One metric family over rows; labels of a row come first, extra after.
class Family {
  public:
    Family(std::ostringstream& out, std::string name, const char* type, const std::string& help)
        : m_out(out), m_name(std::move(name)) {
        m_out << "# HELP " << m_name << " " << help << "\n# TYPE " << m_name << " " << type << "\n";
    }
    void Sample(const std::string& labels, const std::string& value, const char* suffix = "") {
        m_out << m_name << suffix << "{" << labels << "} " << value << "\n";
    }

  private:
    std::ostringstream& m_out;
    const std::string m_name;
};

std::string ProcedureLabels(const StatsRow& row) {
    return "program=\"" + Escaped(row.program) + "\",procedure=\"" + Escaped(row.name) + "\"";
}

std::string ExportLabels(const StatsRow& row) {
    return "export=\"" + Escaped(row.name) + "\"";
}

typedef std::function<std::string(const StatsRow&)> Labels;

void Rows(std::ostringstream& out, const std::vector<StatsRow>& rows, const std::string& prefix,
          const char* what, const Labels& labels) {
    const std::string help = std::string(" per ") + what + ".";
    Family calls(out, (prefix + "_calls_total"), "counter", "Calls" + help);
    for (const StatsRow& row : rows)
        calls.Sample(labels(row), std::to_string(row.calls));
    Family errors(out, (prefix + "_errors_total"), "counter",
                  "Calls answered with an error status" + help);
    for (const StatsRow& row : rows)
        for (const auto& [status, count] : row.errors)
            errors.Sample(labels(row) + ",status=\"" + Escaped(status) + "\"",
                          std::to_string(count));
    Family in(out, (prefix + "_received_bytes_total"), "counter", "Bytes of calls received" + help);
    for (const StatsRow& row : rows)
        in.Sample(labels(row), std::to_string(row.bytesIn));
    Family sent(out, (prefix + "_sent_bytes_total"), "counter", "Bytes of replies sent" + help);
    for (const StatsRow& row : rows)
        sent.Sample(labels(row), std::to_string(row.bytesOut));
    Family latency(out, (prefix + "_latency_seconds"), "summary",
                   "Time from a call read to its reply made" + help);
    for (const StatsRow& row : rows) {
        const std::string base = labels(row);
        latency.Sample(base + ",quantile=\"0.5\"", Seconds(row.p50));
        latency.Sample(base + ",quantile=\"0.9\"", Seconds(row.p90));
        latency.Sample(base + ",quantile=\"0.99\"", Seconds(row.p99));
        latency.Sample(base, Seconds(row.sumNanos), "_sum");
        latency.Sample(base, std::to_string(row.calls), "_count");
    }
    Family max(out, (prefix + "_latency_max_seconds"), "gauge", "Longest call" + help);
    for (const StatsRow& row : rows)
        max.Sample(labels(row), Seconds(row.max));
}

}  // namespace

std::string MetricsText(const StatsSnapshot& snapshot) {
    std::ostringstream out;
    Rows(out, snapshot.procedures, "lume_rpc", "procedure", ProcedureLabels);
    Rows(out, snapshot.exports, "lume_export", "export (NFS calls)", ExportLabels);
    Family connections(out, "lume_connection_calls_total", "counter", "Calls per open connection.");
    for (const StatsConnection& connection : snapshot.connections)
        connections.Sample("connection=\"" + std::to_string(connection.id) + "\",peer=\"" +
                               Escaped(connection.peer) + "\"",
                           std::to_string(connection.calls));
    return out.str();
}
