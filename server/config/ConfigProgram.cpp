// The configuration program: who the caller is, and each procedure's decode, module request and
// encode; the channel's creates and unexports recorded in SavedExports.
#include "server/config/ConfigProgram.h"

#include <algorithm>
#include <ctime>

#include "host/LumeServiceGlobals.h"
#include "host/SavedExports.h"
#include "platform/LogWriter.h"
#include "platform/ThreadSafety.h"
#include "server/config/ConfigListing.h"
#include "server/config/ConfigRequests.h"
#include "server/config/ConfigStats.h"
#include "server/protocol/XdrProc.h"

namespace {

// Arguments decoded from the call; whatever the decoder allocated, also on
// a failed decode, is freed with them.
template <typename Args>
class DecodedArgs {
  public:
    DecodedArgs(xdrproc_t decode, XDR* args) : m_decode(decode) { m_ok = m_decode(args, &value); }
    ~DecodedArgs() { xdr_free(m_decode, reinterpret_cast<char*>(&value)); }
    DecodedArgs(const DecodedArgs&) = delete;
    DecodedArgs& operator=(const DecodedArgs&) = delete;

    bool Ok() const { return m_ok; }
    Args value{};

  private:
    xdrproc_t m_decode;
    bool m_ok = false;
};

// Encodes the module's answer; SYSTEM_ERR when there was none to encode.
template <typename Args, typename Result, typename Request>
accept_stat Serve(FSM* fsm, const std::string& caller, XDR* args, XDR* results, xdrproc_t decode,
                  xdrproc_t encode, Request request) {
    DecodedArgs<Args> decoded(decode, args);
    if (!decoded.Ok())
        return GARBAGE_ARGS;
    bool encoded = false;
    auto use = [&](Result& result) { encoded = encode(results, &result); };
    if (!request(fsm, decoded.value, caller, use))
        return SYSTEM_ERR;
    return encoded ? SUCCESS : SYSTEM_ERR;
}

// The channel's creates and unexports are recorded here and nowhere else.
bool RecordedCreateExport(FSM* fsm, lumecfg_export_args& args, const std::string& caller,
                          const ConfigResultUse<lumecfg_export_res>& use) {
    MutexLock guard(SavedExports::Lock());
    return RequestCreateExport(
        fsm, args, caller, [&](lumecfg_export_res& result) REQUIRES(SavedExports::Lock()) {
            if (result.status == 0 && result.share.path && !args.unique_name)
                SavedExports::Referenced(*result.share.path, args.job_id, caller);
            use(result);
        });
}

bool RecordedUnexport(FSM* fsm, lumecfg_share_args& args, const std::string& caller,
                      const ConfigResultUse<lumecfg_unexport_res>& use) {
    MutexLock guard(SavedExports::Lock());
    return RequestUnexport(fsm, args, caller,
                           [&](lumecfg_unexport_res& result) REQUIRES(SavedExports::Lock()) {
                               if (result.status == 0)
                                   SavedExports::Unreferenced(args.path, caller);
                               use(result);
                           });
}

// The module's "may not manage" status, for a caller who may not list.
constexpr int kMayNotList = 11;
const char* const kMayNotListText = "Only this machine or a proved peer may list.";

}  // namespace

std::string ConfigProgram::CallerName(const RpcCaller& caller) const {
    if (!caller.certifiedName.empty())
        return caller.certifiedName;
    if (!caller.local)
        return std::string();
    bool admin = caller.peerUid == 0;
    if (m_adminGroup != static_cast<gid_t>(-1))
        admin = admin || caller.peerGid == m_adminGroup ||
                std::find(caller.peerGroups.begin(), caller.peerGroups.end(), m_adminGroup) !=
                    caller.peerGroups.end();
    return admin ? LumeServiceGlobals::clientName : std::string();
}

accept_stat ConfigProgram::Call(const RpcCall& call, XDR* args, XDR* results) {
    const std::string caller = CallerName(call.caller);
    switch (call.procedure) {
        case LUMECFG_NULL:
            return SUCCESS;
        case LUMECFG_CREATE_EXPORT:
            return CreateExport(caller, args, results);
        case LUMECFG_UNEXPORT:
            return Unexport(caller, args, results);
        case LUMECFG_KEEP_ALIVE:
            return KeepAlive(caller, args);
        case LUMECFG_FILE_LOCK:
            return FileLock(caller, args, results);
        case LUMECFG_DRILL_HOLE:
            return DrillHole(caller, args, results);
        case LUMECFG_LIST_EXPORTS:
            return ListExports(caller, args, results);
        case LUMECFG_LIST_LOCKS:
            return ListLocks(caller, args, results);
        case LUMECFG_STATS: {
            // They name every share path and peer: for the listings' callers only.
            const bool proved = !caller.empty();
            const StatsSnapshot snapshot =
                proved ? CallStats::Process().Snapshot() : StatsSnapshot();
            const bool encoded = proved
                                     ? EncodeStats(&snapshot, 0, "", results)
                                     : EncodeStats(nullptr, kMayNotList, kMayNotListText, results);
            return encoded ? SUCCESS : SYSTEM_ERR;
        }
        default:
            OXLOG(1, 0, "Configuration procedure %u from [%s] is not served.", call.procedure,
                  caller.c_str());
            return PROC_UNAVAIL;
    }
}

const char* ConfigProgram::ProcedureName(uint32_t procedure) const {
    switch (procedure) {
        case LUMECFG_NULL:
            return "NULL";
        case LUMECFG_CREATE_EXPORT:
            return "CREATE_EXPORT";
        case LUMECFG_UNEXPORT:
            return "UNEXPORT";
        case LUMECFG_KEEP_ALIVE:
            return "KEEP_ALIVE";
        case LUMECFG_FILE_LOCK:
            return "FILE_LOCK";
        case LUMECFG_DRILL_HOLE:
            return "DRILL_HOLE";
        case LUMECFG_LIST_EXPORTS:
            return "LIST_EXPORTS";
        case LUMECFG_LIST_LOCKS:
            return "LIST_LOCKS";
        case LUMECFG_STATS:
            return "STATS";
        default:
            return nullptr;
    }
}

accept_stat ConfigProgram::CreateExport(const std::string& caller, XDR* args, XDR* results) {
    return Serve<lumecfg_export_args, lumecfg_export_res>(
        m_fsm, caller, args, results, XdrProc(xdr_lumecfg_export_args),
        XdrProc(xdr_lumecfg_export_res), RecordedCreateExport);
}

accept_stat ConfigProgram::Unexport(const std::string& caller, XDR* args, XDR* results) {
    return Serve<lumecfg_share_args, lumecfg_unexport_res>(
        m_fsm, caller, args, results, XdrProc(xdr_lumecfg_share_args),
        XdrProc(xdr_lumecfg_unexport_res), RecordedUnexport);
}

accept_stat ConfigProgram::KeepAlive(const std::string& caller, XDR* args) {
    DecodedArgs<lumecfg_share_args> decoded(XdrProc(xdr_lumecfg_share_args), args);
    if (!decoded.Ok())
        return GARBAGE_ARGS;
    RequestKeepAlive(m_fsm, decoded.value, caller);
    return SUCCESS;
}

accept_stat ConfigProgram::FileLock(const std::string& caller, XDR* args, XDR* results) {
    return Serve<lumecfg_lock_args, lumecfg_lock_res>(
        m_fsm, caller, args, results, XdrProc(xdr_lumecfg_lock_args), XdrProc(xdr_lumecfg_lock_res),
        RequestFileLock);
}

accept_stat ConfigProgram::DrillHole(const std::string& caller, XDR* args, XDR* results) {
    return Serve<lumecfg_drill_hole_args, lumecfg_drill_hole_res>(
        m_fsm, caller, args, results, XdrProc(xdr_lumecfg_drill_hole_args),
        XdrProc(xdr_lumecfg_drill_hole_res), RequestDrillHole);
}

accept_stat ConfigProgram::ListExports(const std::string& caller, XDR* args, XDR* results) {
    DecodedArgs<lumecfg_list_args> decoded(XdrProc(xdr_lumecfg_list_args), args);
    if (!decoded.Ok())
        return GARBAGE_ARGS;
    bool encoded = false;
    if (caller.empty()) {
        encoded = EncodeExportPage(results, nullptr, kMayNotList, kMayNotListText);
    } else {
        ExportPage page = ::ListExports(m_fsm, decoded.value.from_share_id, ::time(nullptr));
        encoded = EncodeExportPage(results, &page, 0, "");
    }
    return encoded ? SUCCESS : SYSTEM_ERR;
}

accept_stat ConfigProgram::ListLocks(const std::string& caller, XDR* args, XDR* results) {
    DecodedArgs<lumecfg_share_args> decoded(XdrProc(xdr_lumecfg_share_args), args);
    if (!decoded.Ok())
        return GARBAGE_ARGS;
    bool encoded = false;
    LockPage page;
    if (caller.empty())
        encoded = EncodeLockPage(results, nullptr, kMayNotList, kMayNotListText);
    else if (!ListExportLocks(m_fsm, decoded.value.path, page))
        encoded = EncodeLockPage(results, nullptr, 2, "Share not exported.");
    else
        encoded = EncodeLockPage(results, &page, 0, "");
    return encoded ? SUCCESS : SYSTEM_ERR;
}
