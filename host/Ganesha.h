// The calls through which a module drives NFS-Ganesha exports.
//
// This host serves NFS itself and runs no NFS-Ganesha
// (LumeServiceGlobals::isGanesha is false), so modules do not reach these
// calls; if one is reached it fails with a level -1 message and returns -1.
// Tests steer the calls through GaneshaSeam. Each returns 0 on success.
#pragma once

#include <cstdint>
#include <functional>

#include "host/Export.h"

enum GaneshaCtrlCmd {
    GANESHA_EXPORT_ADD = 0,
    GANESHA_EXPORT_UPDATE = 1,
    GANESHA_EXPORT_REMOVE = 2,
};

int CreateGaneshaExport(ExportPtr& exp);
int UpdateGaneshaExport(ExportPtr& exp);
int ManageGaneshaExport(GaneshaCtrlCmd command, uint32_t shareId);

namespace GaneshaSeam {
struct Calls {
    std::function<int(ExportPtr&)> create;
    std::function<int(ExportPtr&)> update;
    std::function<int(GaneshaCtrlCmd, uint32_t)> manage;
};
// Replaces the calls (an empty function keeps that call's default); Reset
// restores all three. Only while no other thread calls.
void Set(const Calls& calls);
void Reset();
}  // namespace GaneshaSeam
