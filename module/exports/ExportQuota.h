// Quotas on exports and references, judged for each create request from the
// export table itself, so exports that expire, that the host removes or
// that a restart makes again count with no ledger to drift.
//
// A reference counts for the caller who asked for it (SinkFSMExport's
// reference holders); nobody in particular ("") is one caller, each TLS
// subject another. Limits, registry section "Lume" (absent or 0: default):
//   nMaxExportsPerCaller    256  references one caller holds, over all exports
//   nMaxExports            4096  exports in all, as counted for others than
//                                this machine
//   nMaxReferencesPerShare 1024  references on one export
// and the host's descriptor budget (LumeServiceGlobals::exportDescriptors):
// a new export of this machine may take any of those root descriptors,
// one of anyone else all but exportDescriptorsForHost. This machine is
// limited by no count, only by that budget.
// A refusal makes nothing; its status and text come from one table
// (ExportQuota.cpp) and it is logged once a minute per caller.
// Thread safety: call with exportLifetimeCs held, so that what was judged
// is what the create then changes.
#pragma once

#include <string>

#include "host/Export.h"
#include "host/LumeStatus.h"
#include "module/exports/ExportRequests.h"

struct QuotaRefusal {
    LumeStatus status;
    const char* text;
};

// Null when caller may add one reference to existing, or make a new export
// when existing is empty; else why not (logged, throttled).
const QuotaRefusal* AdmitReference(const std::string& caller, const ExportPtr& existing,
                                   unsigned long jobId) REQUIRES(exportLifetimeCs);
