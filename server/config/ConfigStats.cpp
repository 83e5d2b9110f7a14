// The statistics procedure's reply: a CallStats snapshot as lumecfg_stats_res, cut to the bounds
// lumecfg.x sets.
#include "server/config/ConfigStats.h"

#include <deque>
#include <string>
#include <vector>

#include "server/protocol/lumecfg.h"

namespace {

// The strings the records point into, kept until they are encoded.
class Texts {
  public:
    char* Keep(const std::string& text, size_t bound) {
        m_texts.push_back(text.substr(0, bound));
        return &m_texts.back()[0];
    }

  private:
    std::deque<std::string> m_texts;  // no move of what was handed out
};

struct StatsRecords {
    Texts texts;
    std::vector<std::vector<lumecfg_stats_error>> errors;
    std::vector<lumecfg_stats_row> procedures, exports;
    std::vector<lumecfg_stats_connection> connections;

    void Add(const std::vector<StatsRow>& from, std::vector<lumecfg_stats_row>& to) {
        for (size_t i = 0; i < from.size() && i < LUMECFG_STATS_ROWS; ++i)
            to.push_back(Row(from[i]));
    }

    lumecfg_stats_row Row(const StatsRow& row) {
        errors.emplace_back();
        std::vector<lumecfg_stats_error>& list = errors.back();
        for (size_t i = 0; i < row.errors.size() && i < LUMECFG_STATS_STATUSES; ++i)
            list.push_back(
                {texts.Keep(row.errors[i].first, LUMECFG_NAMELEN), row.errors[i].second});
        lumecfg_stats_row out{};
        out.rpc_program = texts.Keep(row.program, LUMECFG_NAMELEN);
        out.name = texts.Keep(row.name, LUMECFG_PATHLEN);
        out.calls = row.calls;
        out.errors.errors_len = static_cast<u_int>(list.size());
        out.errors.errors_val = list.data();
        out.p50 = row.p50;
        out.p90 = row.p90;
        out.p99 = row.p99;
        out.max = row.max;
        out.bytes_in = row.bytesIn;
        out.bytes_out = row.bytesOut;
        return out;
    }
};

}  // namespace

bool EncodeStats(const StatsSnapshot* snapshot, int status, const std::string& message,
                 XDR* results) {
    StatsRecords records;
    // Reserved: the rows point into the error lists, which must not move.
    records.errors.reserve(2 * LUMECFG_STATS_ROWS);
    if (snapshot) {
        records.Add(snapshot->procedures, records.procedures);
        records.Add(snapshot->exports, records.exports);
        for (size_t i = 0; i < snapshot->connections.size() && i < LUMECFG_STATS_CONNECTIONS; ++i) {
            const StatsConnection& connection = snapshot->connections[i];
            records.connections.push_back({connection.id,
                                           records.texts.Keep(connection.peer, LUMECFG_NAMELEN),
                                           connection.calls});
        }
    }
    char* text = message.empty() ? nullptr : records.texts.Keep(message, LUMECFG_TEXTLEN);
    lumecfg_stats_res res{};
    res.status = status;
    res.message = text ? &text : nullptr;
    res.procedures = {static_cast<u_int>(records.procedures.size()), records.procedures.data()};
    res.exports = {static_cast<u_int>(records.exports.size()), records.exports.data()};
    res.connections = {static_cast<u_int>(records.connections.size()), records.connections.data()};
    return xdr_lumecfg_stats_res(results, &res);
}
