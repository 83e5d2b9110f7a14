// A concrete export for the host's tests, with a hook its destructor calls.
#pragma once

#include <functional>
#include <string>

#include "host/Export.h"

class TestExport : public Export {
  public:
    TestExport(const std::string& path, uint32_t shareId, const std::string& clients = "")
        : Export(path, SHARE_PERM_READ, clients, shareId, NoSaved()) {}
    TestExport(const std::string& path, uint32_t shareId, ExportPtr& saved)
        : Export(path, SHARE_PERM_READ, "", shareId, saved) {}
    TestExport(const TestExport& other) = default;
    ~TestExport() override {
        if (onDestroy)
            onDestroy(*this);
    }

    void GetFileHandle(const CRaIPAddr&, nfs_fh3& fh) override { fh.len = 0; }
    int GetFSModuleType() const override { return 99; }
    bool LoadOnRestart() const override { return false; }
    bool isLumeFDCacheSupported() const override { return false; }

    static ExportPtr& NoSaved() {
        static ExportPtr none;
        return none;
    }

    // Set only while no export is being destroyed on another thread.
    inline static std::function<void(const TestExport&)> onDestroy;
};
