// One lock a module holds for a lock owner, as lumed lists it: a copy,
// taken under the module's lock-table lock and read after it is released.
#pragma once

#include <string>

struct HeldLock {
    std::string sharePath;  // the export it was taken through
    unsigned long long owner = 0;
    bool shared = false;  // a read lock, else a write lock
    std::string file;     // the full path it was taken under
};
