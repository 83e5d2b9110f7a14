// Exports for the module's tests: a temporary directory exported through
// this module (a SinkFSMExport with its root handle, in the host's export
// table while the object lives), the export user new exports take, and an
// export kept in the table for a test.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "host/ExportCache.h"
#include "host/LumeCtxt.h"
#include "host/LumeServiceGlobals.h"
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

// New exports take this export user while it lives; OxUserToken() names no
// one, so every identity switch on such an export fails.
class ExportUserOverride {
  public:
    explicit ExportUserOverride(const OxUserToken& token)
        : m_saved(LumeServiceGlobals::exportUserToken) {
        LumeServiceGlobals::exportUserToken = token;
    }
    ~ExportUserOverride() { LumeServiceGlobals::exportUserToken = m_saved; }

  private:
    OxUserToken m_saved;
};

// An export of dir whose export user names no one.
inline ExportPtr ExportForNobody(const std::string& sharePath, const std::string& dir,
                                 SharePerms perms, uint32_t shareId) {
    ExportUserOverride nobody{OxUserToken()};
    ExportPtr none;
    return ExportPtr(new SinkFSMExport(sharePath, dir, perms, "*", shareId, none));
}

// Puts an export in the host's table for one test.
struct TableEntry {
    explicit TableEntry(ExportPtr e) : exp(e) { EXPECT_TRUE(gAllExports->AddExport(exp)); }
    ~TableEntry() { gAllExports->RemoveExport(exp); }
    ExportPtr exp;
};
