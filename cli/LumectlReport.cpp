// Printing a lumectl report as a line or as a JSON object; its exit status.
#include "cli/LumectlReport.h"

#include <ostream>

namespace {

nlohmann::json AsJson(const LumectlReport& report) {
    nlohmann::json object = report.fields;
    object["command"] = report.command;
    object["ok"] = report.outcome == LumectlReport::Done;
    if (report.outcome == LumectlReport::Unreachable ||
        report.outcome == LumectlReport::Untrusted) {
        object["error"] = report.message;
        return object;
    }
    object["status"] = report.status;
    object["message"] = report.message.empty() ? nlohmann::json() : nlohmann::json(report.message);
    return object;
}

}  // namespace

int PrintLumectlReport(const LumectlReport& report, bool json, std::ostream& out,
                       std::ostream& err) {
    if (json) {
        out << AsJson(report).dump() << "\n";
    } else if (report.outcome == LumectlReport::Done) {
        out << report.line << "\n";
    } else if (report.outcome == LumectlReport::Refused) {
        err << "lumectl: " << report.command << " failed: status " << report.status;
        if (!report.message.empty())
            err << ": " << report.message;
        err << "\n";
    } else {
        err << "lumectl: " << report.message << "\n";
    }
    return static_cast<int>(report.outcome);
}
