// The MOUNT version 3 program (RFC 1813 appendix I): hands out the root
// handle of an export, or of a directory below one, to clients the export
// admits, and reports mounts and exports.
//
// MNT names a path in the client's form, doubled and trailing slashes
// allowed; a NUL inside it answers INVAL. An export's own path answers the
// export's root handle; a directory below it answers that directory's
// handle, found by walking the module's objects from the root, provided the
// path, symbolic links resolved, stays inside the export. Unprivileged
// source ports are accepted. Handles always come from the module. EXPORT
// lists each export with its clients as groups, cut (and logged) where the
// reply would pass 1 MiB.
// Thread-safe: the mount table guards itself; exports come from gAllExports.
#pragma once

#include <string>

#include "host/FSM.h"
#include "server/mount/MountTable.h"
#include "server/protocol/mount3.h"
#include "server/rpc/RpcProgram.h"

class Mount3Program : public RpcProgram {
  public:
    explicit Mount3Program(FSM* fsm) : m_fsm(fsm) {}

    uint32_t Number() const override { return MOUNT_PROGRAM; }
    uint32_t LowVersion() const override { return MOUNT_V3; }
    uint32_t HighVersion() const override { return MOUNT_V3; }
    accept_stat Call(const RpcCall& call, XDR* args, XDR* results) override;
    const char* ProcedureName(uint32_t procedure) const override;

  private:
    accept_stat Mnt(const RpcCaller& caller, XDR* args, XDR* results);
    accept_stat Umnt(const RpcCaller& caller, XDR* args);
    accept_stat Dump(XDR* results);
    accept_stat ExportList(XDR* results);

    // The handle of the directory the client names; MNT3_OK or why not.
    mnt_stat3 Lookup(const std::string& clientPath, const RpcCaller& caller, nfs_fh3& fh);
    mnt_stat3 LookupBelow(ExportPtr& exp, const std::string& path, const RpcCaller& caller,
                          nfs_fh3& fh);

    FSM* const m_fsm;  // not owned
    MountTable m_mounts;
};
