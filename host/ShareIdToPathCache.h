// Share ids: one unsigned 32-bit id per share path, for good.
//
// A path keeps its id across frees and restarts: the state store holds
// path -> id and id -> path for every id ever handed out, and a high-water
// mark, so an id is never given to another path (ids are never 0) and a
// client's handle names the same share after lumed starts again. Freeing
// only ends the id's allocation in this process: GetPathForShareId and a
// lookup without allocate see allocated ids only. Every id lasts, whatever
// the persistent flag the calls take (kept for the module's calls).
// Thread-safe. Lock order: the table's lock, then the store's.
#pragma once

#include <cstdint>
#include <string>

class ShareIdToPathCache {
  public:
    // The id of the path while allocated; else, when allocate is true, its
    // stored id or a new one; else 0. 0 too (logged) when the store fails or
    // every id is taken.
    static uint32_t GetShareIdForPath(const std::string& path, bool allocate, bool persistent);
    // True and path filled when the id is allocated.
    static bool GetPathForShareId(uint32_t shareId, std::string& path);
    // Ends the id's allocation; its path keeps it. An unknown id is ignored.
    static void FreeShareId(uint32_t shareId, bool persistent);
};
