// Share permissions of an export, a bit set carried as a signed 32-bit value:
//   SHARE_PERM_READ  (1)  clients may read
//   SHARE_PERM_WRITE (2)  clients may change files and directories
//   SHARE_PERM_ROOT  (4)  a client's root keeps its identity; without this bit
//                         root is squashed to the anonymous user
// An export with neither READ nor WRITE admits no operation.
#pragma once

#include <cstdint>

typedef int32_t SharePerms;

enum : SharePerms {
    SHARE_PERM_READ = 1,
    SHARE_PERM_WRITE = 2,
    SHARE_PERM_ROOT = 4,
};
