// Share ids: one unsigned 32-bit id per share path while it is allocated.
//
// Ids start at 1 and go up; a freed id is not handed out again until the
// counter has come round (ids are never 0). The cache lives in memory only:
// this host does not keep share ids across restarts, and the persistent flag
// the calls take (for hosts that do) is ignored. Thread-safe (a leaf lock).
#pragma once

#include <cstdint>
#include <string>

class ShareIdToPathCache {
  public:
    // The id of the path; when it has none, a new one if allocate is true,
    // else 0.
    static uint32_t GetShareIdForPath(const std::string& path, bool allocate, bool persistent);
    // True and path filled when the id is allocated.
    static bool GetPathForShareId(uint32_t shareId, std::string& path);
    // Frees the id (and its path); an unknown id is ignored.
    static void FreeShareId(uint32_t shareId, bool persistent);
};
