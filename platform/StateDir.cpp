#include "platform/StateDir.h"

#include <cstdlib>
#include <mutex>

namespace {

struct StateDirSetting {
    std::mutex mutex;
    bool set = false;
    std::string dir;
};

// Made on first use and never freed, so it is ready for any static
// initialiser and still there for any static destructor.
StateDirSetting& Setting() {
    static auto* setting = new StateDirSetting;
    return *setting;
}

}  // namespace

void SetPlatformStateDir(const std::string& dir) {
    StateDirSetting& s = Setting();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.dir = dir;
    s.set = true;
}

std::string GetPlatformStateDir() {
    StateDirSetting& s = Setting();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.set)
        return s.dir;
    const char* env = std::getenv("LUME_STATE_DIR");
    return env && *env ? env : "/var/lib/lume";
}
