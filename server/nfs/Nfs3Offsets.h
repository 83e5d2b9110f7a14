// Offsets and sizes clients send, against how far a file can reach.
//
// The kernel takes file offsets as signed 64 bits: an offset at or past
// 2^63 would reach it as a negative one, which preadv2 takes as "the
// descriptor's own position" (-1) and the rest refuse as INVAL. So no such
// offset reaches the kernel: a read there finds nothing (the end of the
// file), a write or a new size there is too big (FBIG). FSINFO offers the
// same bound as maxfilesize; a file system's own, lower limit is the
// kernel's to enforce (EFBIG). Every read and write is positional: no call
// uses or moves a descriptor's shared position.
// Pure functions; thread-safe.
#pragma once

#include <algorithm>
#include <cstdint>

constexpr uint64_t kNfs3MaxFileSize = INT64_MAX;

// Of count bytes from offset, how many lie within a file's reach: 0 at or
// past its end.
inline uint64_t Nfs3ReachableBytes(uint64_t offset, uint64_t count) {
    return offset >= kNfs3MaxFileSize ? 0 : std::min(count, kNfs3MaxFileSize - offset);
}

// Whether count bytes from offset end within a file's reach (a new size is
// offset with count 0).
inline bool Nfs3WithinReach(uint64_t offset, uint64_t count) {
    return offset <= kNfs3MaxFileSize && count <= kNfs3MaxFileSize - offset;
}
