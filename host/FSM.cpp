// The module interface calls the host provides: FindExport, FinalizeExports,
// PrintPerfCounters and a ListLocks that lists none.
#include "host/FSM.h"

#include <cstring>
#include <vector>

#include "host/ExportCache.h"
#include "host/PerfCounters.h"
#include "platform/LogWriter.h"

bool FSM::FindExport(const nfs_fh3& fh, ExportPtr& exp) {
    // Every module keeps the share id in handle bytes 4-7.
    if (fh.len < 8 || fh.len > LUME_NFS3_FHSIZE) {
        OXLOG(3, 0, "File handle of length %u carries no share id.", fh.len);
        return false;
    }
    uint32_t shareId = 0;
    std::memcpy(&shareId, fh.data + 4, sizeof(shareId));
    if (!gAllExports->FindExport(shareId, exp)) {
        OXLOG(5, 0, "No export with share id %u.", shareId);
        return false;
    }
    return true;
}

void FSM::FinalizeExports() {
    // A snapshot: UnExport takes the table lock itself to remove the export.
    std::vector<ExportPtr> all = gAllExports->GetAllExports();
    OXLOG(1, 0, "Removing %zu exports.", all.size());
    for (ExportPtr& exp : all)
        UnExport(exp);
}

void FSM::PrintPerfCounters() {
    gPerfCounter->LogAll();
}

bool FSM::ListLocks(std::vector<HeldLock>& locks) {
    locks.clear();
    return false;
}
