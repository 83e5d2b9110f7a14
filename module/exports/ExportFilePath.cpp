// A lock or drill-hole request's file path joined to its export's real path;
// paths that leave the export are refused.
#include "module/exports/ExportFilePath.h"

#include "platform/PathContainment.h"
#include "platform/PathUtil.h"

const char kPathOutsideExport[] = "Given file path is outside the export";

bool ExportFilePath(const std::string& realPath, const std::string& filePath,
                    std::string& absolutePath) {
    size_t start = filePath.find_first_not_of('/');
    std::string relative =
        RemoveDoubleDots(start == std::string::npos ? "" : filePath.substr(start), '/');
    if (relative == ".." || relative.compare(0, 3, "../") == 0)
        return false;

    std::string joined = realPath;
    if (!relative.empty()) {
        if (joined.empty() || joined.back() != '/')
            joined += '/';
        joined += relative;
    }
    if (!ResolvesWithin(joined, realPath))
        return false;
    absolutePath = joined;
    return true;
}
