// The log text of a create-export request, and the share description of an
// export.
#include "host/ExportRecords.h"

#include <cstring>

#include "host/ExportPath.h"

namespace {

const char* OrEmpty(const char* text) {
    return text ? text : "";
}

}  // namespace

std::string LumeExportPathtoStr(const LumeExportPath& request) {
    return std::string("path: ") + OrEmpty(request.path) + " clients: " + OrEmpty(request.clients) +
           " perms: " + std::to_string(request.perms) + " jobId: " + std::to_string(request.jobId) +
           " timeout: " + std::to_string(request.timeout) + "\n";
}

void ExportToLumeShare(ExportPtr& exp, LumeShare& share) {
    std::string callerForm;
    NormalizeExportPath(exp->GetPath(), callerForm);
    share.path = strdup(callerForm.c_str());
    share.reserved32 = 0;
    share.reserved64 = 0;
    share.refCount = exp->GetRefCount();
}
