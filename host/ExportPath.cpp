// Export paths between the caller's form and the stored form.
#include "host/ExportPath.h"

void ReverseNormalizeExportPath(const std::string& in, std::string& out) {
    size_t end = in.find_last_not_of('/');
    if (end == std::string::npos)
        out = in.empty() ? "" : "/";
    else
        out = in.substr(0, end + 1);
}

void NormalizeExportPath(const std::string& in, std::string& out) {
    out = in;
}
