// Process-wide settings and states of the host that modules read.
// The host may set clientName, isGanesha, exportUserToken, setupNWSvcCB and
// the export descriptor budget at start, before any export exists; networkServicesStarted and
// portMapperRegistered follow its network services up and down. The three
// flags are atomic.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "platform/CImpersonator.h"

struct LumeServiceGlobals {
    // Called by a module when it finds the network services not set up; the
    // arguments are the module's (0, 1). May be null; lumed sets none.
    typedef int (*SetupNWSvcCallback)(int, int);

    // This machine's client name; the host name unless the host sets another.
    static std::string clientName;
    // Whether NFS is served through NFS-Ganesha (lumed --ganesha).
    static std::atomic<bool> isGanesha;
    static std::atomic<bool> networkServicesStarted;
    static std::atomic<bool> portMapperRegistered;
    static SetupNWSvcCallback setupNWSvcCB;
    // The export user, whose identity work on an export's files takes on;
    // the host process's own identity unless the host sets another. New
    // exports copy it.
    static OxUserToken exportUserToken;
    // Root descriptors that exports may hold in all (0: no budget), and of
    // them how many only this machine's exports may take, so that the host
    // can still export when every other caller has used its share.
    static std::atomic<size_t> exportDescriptors;
    static std::atomic<size_t> exportDescriptorsForHost;
};
