// The NFSv3 file handle as the host hands it to a module (RFC 1813 nfs_fh3):
// a 32-bit length, then at most 64 opaque bytes. The host carries the bytes
// between client and module unchanged; their content is the module's.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr unsigned LUME_NFS3_FHSIZE = 64;

struct nfs_fh3 {
    uint32_t len;
    uint8_t data[LUME_NFS3_FHSIZE];
};

static_assert(offsetof(nfs_fh3, len) == 0, "length first");
static_assert(offsetof(nfs_fh3, data) == 4, "handle bytes at structure offset 4");
static_assert(sizeof(nfs_fh3) == 68, "no padding");
