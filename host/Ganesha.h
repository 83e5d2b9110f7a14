// The calls through which a module drives NFS-Ganesha exports, where the
// host has NFS-Ganesha serve NFS (LumeServiceGlobals::isGanesha).
//
// Create and update write the share's EXPORT block to its file in the state
// directory (GaneshaExportBlock) and hand it to Ganesha over D-Bus
// (GaneshaBus); command 2 removes the export from Ganesha and deletes the
// file. Each returns 0 on success; a failure is logged at level -1 with
// Ganesha's own reason, or why Ganesha could not be reached, and returns -1
// within the bus timeout. A failed create of a share Ganesha did not have
// removes the file and asks Ganesha to drop the export, unless Ganesha
// refused the add (what it has under that id is then left alone); a failed
// create of an adopted share withdraws it, as command 2 does.
//
// Start of a host in this mode: AdoptGaneshaExports notes which exports
// Ganesha still has from an earlier run of this host (those whose block file
// is in the state directory); a create of such a share id then updates
// Ganesha's export in place, so its clients never see it go. Once every
// saved export is made again, DropUnadoptedGaneshaExports removes the rest.
// The adoption set is guarded by its own mutex (a leaf lock); the calls are
// otherwise free of shared state and may run on any thread.
// Tests steer the three calls through GaneshaSeam.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/Export.h"

enum GaneshaCtrlCmd {
    GANESHA_EXPORT_ADD = 0,
    GANESHA_EXPORT_UPDATE = 1,
    GANESHA_EXPORT_REMOVE = 2,
};

int CreateGaneshaExport(ExportPtr& exp);
int UpdateGaneshaExport(ExportPtr& exp);
int ManageGaneshaExport(GaneshaCtrlCmd command, uint32_t shareId);

// False with error set when Ganesha cannot be reached or asked.
bool AdoptGaneshaExports(std::string& error);
void DropUnadoptedGaneshaExports();

namespace GaneshaSeam {
struct Calls {
    std::function<int(ExportPtr&)> create;
    std::function<int(ExportPtr&)> update;
    std::function<int(GaneshaCtrlCmd, uint32_t)> manage;
};
// Replaces the calls (an empty function keeps that call as it is); Reset
// restores all three defaults. Only while no other thread calls.
void Set(const Calls& calls);
void Reset();
}  // namespace GaneshaSeam
