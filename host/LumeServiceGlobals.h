// Process-wide settings and states of the host that modules read.
// Set by the host at start (clientName, isGanesha, exportUserToken) or as
// its network services come up (the two flags). The flags are atomic; the
// other members are written only before any export exists.
#pragma once

#include <atomic>
#include <string>

#include "platform/CImpersonator.h"

struct LumeServiceGlobals {
    // Called by a module when it finds the network services not set up; the
    // arguments are the module's (0, 1). May be null.
    typedef int (*SetupNWSvcCallback)(int, int);

    // This machine's client name; the host name unless the host sets another.
    static std::string clientName;
    // Whether NFS is served through NFS-Ganesha; always false on this host.
    static std::atomic<bool> isGanesha;
    static std::atomic<bool> networkServicesStarted;
    static std::atomic<bool> portMapperRegistered;
    static SetupNWSvcCallback setupNWSvcCB;
    // The export user, whose identity work on an export's files takes on;
    // the host process's own identity unless the host sets another. New
    // exports copy it.
    static OxUserToken exportUserToken;
};
