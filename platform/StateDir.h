// The state directory: where the registry, the saved storage access list and
// the log of this machine live. Set once at start (lumed --state-dir, a test
// fixture); until then it is $LUME_STATE_DIR, else /var/lib/lume.
#pragma once

#include <string>

void SetPlatformStateDir(const std::string& dir);
std::string GetPlatformStateDir();
