// The state directory setting, made on first use and never freed.
#include "platform/StateDir.h"

#include <cstdlib>

#include "platform/ThreadSafety.h"

namespace {

struct StateDirSetting {
    Mutex mutex;
    bool set GUARDED_BY(mutex) = false;
    std::string dir GUARDED_BY(mutex);
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
    MutexLock guard(s.mutex);
    s.dir = dir;
    s.set = true;
}

std::string GetPlatformStateDir() {
    StateDirSetting& s = Setting();
    MutexLock guard(s.mutex);
    if (s.set)
        return s.dir;
    const char* env = std::getenv("LUME_STATE_DIR");
    return env && *env ? env : "/var/lib/lume";
}
