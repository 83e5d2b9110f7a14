// The configuration program (lumecfg.x): remote management calls to the
// module. Each procedure decodes its arguments, runs the request through the
// module in the caller's name (the AUTH_SYS machine name; AUTH_NONE callers
// have an empty name) and encodes the module's answer. Keep-alive answers
// with an empty reply. Unknown procedures answer PROC_UNAVAIL, undecodable
// arguments GARBAGE_ARGS, a module that gives no record SYSTEM_ERR; decoded
// arguments and response records are released on every path.
// Thread-safe: keeps no state; the module does its own locking.
#pragma once

#include <string>

#include "host/FSM.h"
#include "server/protocol/lumecfg.h"
#include "server/rpc/RpcProgram.h"

class ConfigProgram : public RpcProgram {
  public:
    explicit ConfigProgram(FSM* fsm) : m_fsm(fsm) {}

    uint32_t Number() const override { return LUMECFG_PROGRAM; }
    uint32_t LowVersion() const override { return LUMECFG_V1; }
    uint32_t HighVersion() const override { return LUMECFG_V1; }
    accept_stat Call(const RpcCall& call, XDR* args, XDR* results) override;

  private:
    accept_stat CreateExport(const std::string& caller, XDR* args, XDR* results);
    accept_stat Unexport(const std::string& caller, XDR* args, XDR* results);
    accept_stat KeepAlive(const std::string& caller, XDR* args);
    accept_stat FileLock(const std::string& caller, XDR* args, XDR* results);
    accept_stat DrillHole(const std::string& caller, XDR* args, XDR* results);

    FSM* const m_fsm;  // not owned
};
