// The module interface: what the host calls on a loaded file-system module.
// Declaration order is slot order. The host provides FindExport,
// FinalizeExports, PrintPerfCounters and a ListLocks that lists none; a
// module provides the rest.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "host/BkEndProc.h"
#include "host/Export.h"
#include "host/HeldLock.h"
#include "host/nfs_fh3.h"

class FSM {
  public:
    virtual ~FSM() {}
    virtual std::string GetFSMName() = 0;
    virtual int GetFSMType() = 0;
    virtual std::string GetFSMDetails() = 0;
    virtual bool UnloadFSM() = 0;
    // A configuration RPC: the decoded request, the caller's client name, the
    // RPC type, and out: the response record, its length and its type.
    virtual bool GenericConfigRPCHandler(void* request, const std::string& caller,
                                         unsigned int rpcType, char*& response,
                                         size_t& responseLength, int& responseType) = 0;
    // Frees a response record that GenericConfigRPCHandler returned.
    virtual void ReleaseConfigRPCMem(int responseType, void* response) = 0;
    virtual bool CreateExport(const ExportPtr& saved, ExportPtr& created) = 0;
    virtual std::string FH2Str(const nfs_fh3& fh) = 0;
    virtual boost::shared_ptr<BkEndProc> GetFSObject(ExportPtr& exp, const nfs_fh3& fh) = 0;
    // The export whose share id handle bytes 4-7 carry; false when none.
    virtual bool FindExport(const nfs_fh3& fh, ExportPtr& exp);
    virtual void UnExport(ExportPtr& exp) = 0;
    // Removes every export in the host's table through UnExport.
    virtual void FinalizeExports();
    // Logs the host's performance counters.
    virtual void PrintPerfCounters();
    // A snapshot of every lock the module holds, for listings; read-only.
    // False when the module keeps no lock records (locks left empty).
    virtual bool ListLocks(std::vector<HeldLock>& locks);
};

// The module's one exported entry point.
extern "C" typedef FSM* (*LoadFSMFunction)();
