// A temporary directory exported through this module for a test: a
// SinkFSMExport with its root handle, in the host's export table while the
// object lives (removed again on destruction).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "host/ExportCache.h"
#include "host/LumeCtxt.h"
#include "host/SharePerms.h"
#include "module/exports/SinkFSMExport.h"
#include "tests/support/TempDir.h"

class ExportedDir {
  public:
    explicit ExportedDir(uint32_t shareId) {
        ExportPtr none;
        exp.reset(new SinkFSMExport("/share" + std::to_string(shareId), dir.Path(),
                                    SHARE_PERM_READ | SHARE_PERM_WRITE, "*", shareId, none));
        std::string error;
        if (Sink().InitExportFileHandle(error) != 0)
            throw std::runtime_error("cannot export " + dir.Path() + ": " + error);
        if (!gAllExports->AddExport(exp))
            throw std::runtime_error("share id taken: " + std::to_string(shareId));
    }
    ~ExportedDir() { gAllExports->RemoveExport(exp); }
    ExportedDir(const ExportedDir&) = delete;
    ExportedDir& operator=(const ExportedDir&) = delete;

    SinkFSMExport& Sink() { return static_cast<SinkFSMExport&>(*exp); }
    // A request context on this export, without a target object.
    LumeCtxt Ctx() const { return LumeCtxt(IdInfo(), exp, {}); }

    TempDir dir;
    ExportPtr exp;
};
