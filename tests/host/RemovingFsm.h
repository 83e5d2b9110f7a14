// A module for host tests: it serves nothing, and its UnExport takes the
// export out of the host's table, as a real module does, remembering the
// path and share id of each export it removed.
#pragma once

#include <string>
#include <vector>

#include "host/ExportCache.h"
#include "host/FSM.h"

class RemovingFsm : public FSM {
  public:
    std::string GetFSMName() override { return "removing"; }
    int GetFSMType() override { return 99; }
    std::string GetFSMDetails() override { return ""; }
    bool UnloadFSM() override { return true; }
    bool GenericConfigRPCHandler(void*, const std::string&, unsigned, char*&, size_t&,
                                 int&) override {
        return false;
    }
    void ReleaseConfigRPCMem(int, void*) override {}
    bool CreateExport(const ExportPtr&, ExportPtr&) override { return false; }
    std::string FH2Str(const nfs_fh3&) override { return ""; }
    boost::shared_ptr<BkEndProc> GetFSObject(ExportPtr&, const nfs_fh3&) override {
        return boost::shared_ptr<BkEndProc>();
    }
    void UnExport(ExportPtr& exp) override {
        removedPaths.push_back(exp->GetPath());
        removedIds.push_back(exp->GetShareId());
        gAllExports->RemoveExport(exp);
    }

    std::vector<std::string> removedPaths;
    std::vector<uint32_t> removedIds;
};
