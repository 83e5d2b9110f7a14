// The configuration program (lumecfg.x): remote management calls to the
// module. Each procedure decodes its arguments, runs the request through the
// module in the caller's proved name and encodes the module's answer.
// Who calls is proved, never claimed: a caller on the local socket whose
// peer credentials are root's, or carry the administrators' group, is this
// machine (the host's client name); a caller over TLS is the name its
// client certificate proves; every other caller has the empty name, which
// the module treats as nobody in particular. The AUTH_SYS machine name is
// never read. The listings (ConfigListing.h) and the statistics procedure
// are lumed's own and answer only a caller with a name, this machine or a
// proved TLS peer; others get status 11 (statistics name every share path
// and each peer's address). The metrics endpoint serves the same numbers
// only when asked for, and on loopback unless told otherwise.
// Keep-alive answers with an empty reply. Unknown procedures
// answer PROC_UNAVAIL, undecodable arguments GARBAGE_ARGS, a module that
// gives no record SYSTEM_ERR; decoded arguments and response records are
// released on every path. Creates and unexports served here are recorded
// (SavedExports) so that lumed makes the exports again when it restarts.
// Thread-safe: keeps no state; the module does its own locking, and
// SavedExports::Lock orders creates and unexports with their records.
#pragma once

#include <sys/types.h>

#include <string>

#include "host/FSM.h"
#include "server/protocol/lumecfg.h"
#include "server/rpc/RpcProgram.h"

class ConfigProgram : public RpcProgram {
  public:
    // adminGroup: the group whose members count as this machine on the
    // local socket; none when (gid_t)-1.
    explicit ConfigProgram(FSM* fsm, gid_t adminGroup = static_cast<gid_t>(-1))
        : m_fsm(fsm), m_adminGroup(adminGroup) {}

    uint32_t Number() const override { return LUMECFG_PROGRAM; }
    uint32_t LowVersion() const override { return LUMECFG_V1; }
    uint32_t HighVersion() const override { return LUMECFG_V1; }
    accept_stat Call(const RpcCall& call, XDR* args, XDR* results) override;
    const char* ProcedureName(uint32_t procedure) const override;

  private:
    std::string CallerName(const RpcCaller& caller) const;
    accept_stat CreateExport(const std::string& caller, XDR* args, XDR* results);
    accept_stat Unexport(const std::string& caller, XDR* args, XDR* results);
    accept_stat KeepAlive(const std::string& caller, XDR* args);
    accept_stat FileLock(const std::string& caller, XDR* args, XDR* results);
    accept_stat DrillHole(const std::string& caller, XDR* args, XDR* results);
    accept_stat ListExports(const std::string& caller, XDR* args, XDR* results);
    accept_stat ListLocks(const std::string& caller, XDR* args, XDR* results);

    FSM* const m_fsm;  // not owned
    const gid_t m_adminGroup;
};
