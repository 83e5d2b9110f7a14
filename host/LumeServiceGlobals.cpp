// The host's process-wide settings, with their values at start.
#include "host/LumeServiceGlobals.h"

#include <limits.h>
#include <unistd.h>

namespace {

std::string HostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

}  // namespace

std::string LumeServiceGlobals::clientName = HostName();
std::atomic<bool> LumeServiceGlobals::isGanesha{false};
std::atomic<bool> LumeServiceGlobals::networkServicesStarted{false};
std::atomic<bool> LumeServiceGlobals::portMapperRegistered{false};
LumeServiceGlobals::SetupNWSvcCallback LumeServiceGlobals::setupNWSvcCB = nullptr;
OxUserToken LumeServiceGlobals::exportUserToken = OxUserToken::ProcessIdentity();
std::atomic<size_t> LumeServiceGlobals::exportDescriptors{0};
std::atomic<size_t> LumeServiceGlobals::exportDescriptorsForHost{0};
