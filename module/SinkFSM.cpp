// The module object: the entry point LoadFSM, the singleton, and the FSM calls
// that hand off to the module's parts.
#include "module/SinkFSM.h"

#include <boost/make_shared.hpp>

#include "host/ExportCache.h"
#include "module/backend/SinkBkEndObj.h"
#include "module/exports/ExportRequests.h"
#include "module/exports/SinkFSMExport.h"
#include "module/filehandle/SinkFSMFileHandle.h"
#include "module/locks/SinkFSMLocks.h"
#include "platform/LogWriter.h"

std::atomic<SinkFSM*> SinkFSM::sinkFSM{nullptr};

extern "C" FSM* LoadFSM() {
    return SinkFSM::GetFSM();
}

SinkFSM* SinkFSM::GetFSM() {
    SinkFSM* current = sinkFSM.load(std::memory_order_acquire);
    if (current)
        return current;
    // Normally the host's LoadFSM comes first and alone; should two first
    // calls race anyway, one object wins and the other is not kept.
    SinkFSM* made = new SinkFSM();
    if (sinkFSM.compare_exchange_strong(current, made, std::memory_order_acq_rel))
        return made;
    delete made;
    return current;
}

std::string SinkFSM::GetFSMName() {
    return "SinkFSM";
}

int SinkFSM::GetFSMType() {
    return kFSMType;
}

std::string SinkFSM::GetFSMDetails() {
    return "Using this FSM, any path on the NFS server can be exported similar to native NFS "
           "servers.";
}

bool SinkFSM::UnloadFSM() {
    SinkFSM* self = this;
    sinkFSM.compare_exchange_strong(self, nullptr);
    return true;
}

bool SinkFSM::CreateExport(const ExportPtr& saved, ExportPtr&) {
    OXLOG(2, 0, "Loading shares across restart is not supported. Hence ignoring share [%s].",
          saved ? saved->GetPath().c_str() : "");
    return true;
}

std::string SinkFSM::FH2Str(const nfs_fh3& fh) {
    uint32_t shareId = SinkFSMHandleWire::ShareId(fh);
    ExportPtr exp;
    if (!gAllExports->FindExport(shareId, exp)) {
        OXLOG(-1, 0, "Export not found for shareId [%u]", shareId);
        return std::string();
    }
    SinkFSMFileHandle handle(exp, fh);
    if (!handle.IsInitSuccess()) {
        OXLOG(-1, JobIdOf(exp), "FH init failed");
        return std::string();
    }
    std::string text;
    handle.ToStr(text);
    return text;
}

boost::shared_ptr<BkEndProc> SinkFSM::GetFSObject(ExportPtr& exp, const nfs_fh3& fh) {
    auto object = boost::make_shared<SinkBkEndObj>(exp, fh);
    if (!object->IsInitSuccess())
        return boost::shared_ptr<BkEndProc>();  // logged, unless fh is not this module's
    return object;
}

bool SinkFSM::IsFHValid(const nfs_fh3& fh) {
    return SinkFSMFileHandle::IsValid(fh);
}

void SinkFSM::UnExport(ExportPtr& exp) {
    RemoveExport(exp);
}

bool SinkFSM::ListLocks(std::vector<HeldLock>& locks) {
    locks = SnapshotLocks();
    return true;
}
