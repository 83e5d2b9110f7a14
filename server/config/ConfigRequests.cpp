// Configuration requests run through the module's GenericConfigRPCHandler, each response record
// given back through ReleaseConfigRPCMem.
#include "server/config/ConfigRequests.h"

#include "host/ConfigRPCTypes.h"
#include "host/ExportCache.h"
#include "host/ExportPath.h"
#include "platform/PathUtil.h"
#include "server/config/ConfigRecords.h"

namespace {

// A perms or timeout the caller left out keeps what the export of the path
// has, so that a re-export asking for a client changes nothing else.
void KeepOmittedOptions(const lumecfg_export_args& args, LumeExportPath& record) {
    if ((args.perms && args.timeout) || args.unique_name || !args.path)
        return;
    std::string sharePath;
    ReverseNormalizeExportPath(args.path, sharePath);
    RemoveDuplicates(sharePath, '/');
    ExportPtr existing;
    if (!gAllExports->FindExport(sharePath, existing) || !existing)
        return;
    if (!args.perms)
        record.perms = existing->GetSharePerms();
    if (!args.timeout)
        record.timeout = static_cast<uint32_t>(existing->GetExpiryInterval() / 60);
}

// The module's answer to one request, given back to the module when this
// goes, whatever came back (a type-0 release frees nothing).
class ModuleResponse {
  public:
    ModuleResponse(FSM* fsm, void* request, const std::string& caller, unsigned rpcType)
        : m_fsm(fsm) {
        fsm->GenericConfigRPCHandler(request, caller, rpcType, m_record, m_length, m_type);
    }
    ~ModuleResponse() { m_fsm->ReleaseConfigRPCMem(m_type, m_record); }
    ModuleResponse(const ModuleResponse&) = delete;
    ModuleResponse& operator=(const ModuleResponse&) = delete;

    // The record, when it is of the expected type and size; else null.
    template <typename Record>
    Record* As(unsigned expectedType) const {
        bool expected =
            m_record && m_type == static_cast<int>(expectedType) && m_length == sizeof(Record);
        return expected ? reinterpret_cast<Record*>(m_record) : nullptr;
    }

  private:
    FSM* const m_fsm;
    char* m_record = nullptr;
    size_t m_length = 0;
    int m_type = 0;
};

template <typename Record, typename Request, typename Result>
bool Serve(FSM* fsm, Request& request, const std::string& caller, unsigned rpcType,
           unsigned responseType, Result (*toResult)(Record&), const ConfigResultUse<Result>& use) {
    ModuleResponse response(fsm, &request, caller, rpcType);
    Record* record = response.As<Record>(responseType);
    if (!record)
        return false;
    Result result = toResult(*record);
    use(result);
    return true;
}

}  // namespace

bool RequestCreateExport(FSM* fsm, lumecfg_export_args& args, const std::string& caller,
                         const ConfigResultUse<lumecfg_export_res>& use) {
    LumeExportPath request = ExportRequestRecord(args);
    KeepOmittedOptions(args, request);
    return Serve<LumeExportPathResp>(fsm, request, caller, RPC_CREATE_EXPORT,
                                     RPC_CREATE_EXPORT_RESP, ExportResult, use);
}

bool RequestUnexport(FSM* fsm, lumecfg_share_args& args, const std::string& caller,
                     const ConfigResultUse<lumecfg_unexport_res>& use) {
    LumeExportPath request = ShareRequestRecord(args);
    return Serve<LumeUnExportResp>(fsm, request, caller, RPC_UNEXPORT, RPC_UNEXPORT_RESP,
                                   UnexportResult, use);
}

void RequestKeepAlive(FSM* fsm, lumecfg_share_args& args, const std::string& caller) {
    LumeExportPath request = ShareRequestRecord(args);
    ModuleResponse response(fsm, &request, caller, RPC_KEEP_ALIVE);
}

bool RequestFileLock(FSM* fsm, lumecfg_lock_args& args, const std::string& caller,
                     const ConfigResultUse<lumecfg_lock_res>& use) {
    LumeLockRequest request = LockRequestRecord(args);
    return Serve<LumeLockResp>(fsm, request, caller, RPC_FILE_LOCK, RPC_FILE_LOCK_RESP, LockResult,
                               use);
}

bool RequestDrillHole(FSM* fsm, lumecfg_drill_hole_args& args, const std::string& caller,
                      const ConfigResultUse<lumecfg_drill_hole_res>& use) {
    LumeSinkFSMDrillHoleReq request = DrillHoleRequestRecord(args);
    return Serve<LumeSinkFSMDrillHoleResp>(fsm, request, caller, RPC_DRILL_HOLE,
                                           RPC_DRILL_HOLE_RESP, DrillHoleResult, use);
}
