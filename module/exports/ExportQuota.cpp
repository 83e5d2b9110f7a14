// The export and reference quotas of create requests.
#include "module/exports/ExportQuota.h"

#include <chrono>
#include <vector>

#include "host/ExportCache.h"
#include "host/LumeServiceGlobals.h"
#include "module/exports/ExportAuthorization.h"
#include "module/exports/LogThrottle.h"
#include "module/exports/SinkFSMExport.h"
#include "platform/LogWriter.h"
#include "platform/OXPlatformInfo.h"

namespace {

enum Quota { kPerCaller, kInAll, kPerShare, kDescriptors };

// Indexed by Quota.
const QuotaRefusal kRefusals[] = {
    {LUME_STATUS_CALLER_EXPORT_LIMIT, "Too many exports for this caller."},
    {LUME_STATUS_EXPORT_LIMIT, "Too many exports on this server."},
    {LUME_STATUS_SHARE_REFERENCE_LIMIT, "Too many references to this share."},
    {LUME_STATUS_EXPORT_DESCRIPTORS_USED, "No descriptors left for exports."},
};

size_t Limit(const char* key, size_t byDefault) {
    unsigned long value = 0;
    if (!OXPlatformInfo().getNumber("Lume", key, &value) || value == 0)
        return byDefault;
    return value;
}

// The exports in the table, and the references caller holds on them.
struct Usage {
    size_t exports = 0;
    size_t callerReferences = 0;
};

Usage UsageOf(const std::string& caller) {
    Usage usage;
    const std::vector<ExportPtr> all = gAllExports->GetAllExports();
    usage.exports = all.size();
    for (const ExportPtr& exp : all)
        if (const SinkFSMExport* sinkExport = AsSinkFSMExport(exp))
            usage.callerReferences += sinkExport->ReferencesOf(caller);
    return usage;
}

// The root descriptors a new export of caller's may still find.
bool DescriptorLeft(bool thisMachine, size_t exports) {
    const size_t budget = LumeServiceGlobals::exportDescriptors;
    if (budget == 0)
        return true;
    const size_t forHost = LumeServiceGlobals::exportDescriptorsForHost;
    const size_t mayUse = thisMachine ? budget : (budget > forHost ? budget - forHost : 0);
    return exports < mayUse;
}

const QuotaRefusal* Refused(Quota quota, const std::string& caller, size_t limit,
                            unsigned long jobId) {
    static LogThrottle throttle(std::chrono::minutes(1));
    const QuotaRefusal& refusal = kRefusals[quota];
    if (throttle.Allow(caller))
        OXLOG(-1, jobId,
              "Caller [%s] refused (limit %zu): %s Further refusals of this caller "
              "within a minute are not logged.",
              caller.empty() ? "nobody in particular" : caller.c_str(), limit, refusal.text);
    return &refusal;
}

}  // namespace

const QuotaRefusal* AdmitReference(const std::string& caller, const ExportPtr& existing,
                                   unsigned long jobId) {
    const bool thisMachine = IsThisMachine(caller);
    const Usage usage = UsageOf(caller);
    if (!existing && !DescriptorLeft(thisMachine, usage.exports))
        return Refused(kDescriptors, caller, LumeServiceGlobals::exportDescriptors, jobId);
    if (thisMachine)
        return nullptr;
    const size_t perCaller = Limit("nMaxExportsPerCaller", 256);
    if (usage.callerReferences >= perCaller)
        return Refused(kPerCaller, caller, perCaller, jobId);
    const size_t inAll = Limit("nMaxExports", 4096);
    if (!existing && usage.exports >= inAll)
        return Refused(kInAll, caller, inAll, jobId);
    const size_t perShare = Limit("nMaxReferencesPerShare", 1024);
    if (existing && existing->GetRefCount() >= perShare)
        return Refused(kPerShare, caller, perShare, jobId);
    return nullptr;
}
