// The NFS v3 program (100003, version 3) over a loaded file-system module.
//
// Call looks the procedure up in a table indexed by procedure number, which
// names its argument decoder, handler and result encoder and how the
// transport may treat it (quick, non-idempotent); decodes (GARBAGE
// ARGS when that fails, an enum's value out of range included), runs the
// handler under the caller's identity (see Nfs3Request), encodes the result
// and frees the decoded arguments. It notes the result's status and the
// export of the call's handle for the statistics (CallStats.h).
// Thread safety: Call may run on any number of threads at once;
// shared state (issued handles, open files) is thread-safe. Destroy only
// after the transport stopped calling: the destructor closes every kept
// descriptor.
#pragma once

#include <cstdint>

#include "host/FSM.h"
#include "server/nfs/Nfs3Request.h"
#include "server/rpc/RpcProgram.h"

class Nfs3Program : public RpcProgram {
  public:
    explicit Nfs3Program(FSM* fsm, const Nfs3Limits& limits = Nfs3Limits());

    uint32_t Number() const override;
    uint32_t LowVersion() const override;
    uint32_t HighVersion() const override;
    accept_stat Call(const RpcCall& call, XDR* args, XDR* results) override;
    // Both as the procedure's row in the table says.
    bool Quick(uint32_t version, uint32_t procedure) const override;
    bool NonIdempotent(uint32_t version, uint32_t procedure) const override;
    const char* ProcedureName(uint32_t procedure) const override;

  private:
    Nfs3Shared m_shared;
};
