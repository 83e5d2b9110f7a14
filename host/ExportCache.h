// The host's table of exports, gAllExports, found by share id or by path.
//
// At most one export per share id and per path. Thread-safe: a
// reader/writer lock guards the table; it is a leaf lock, never held while
// calling out, and a removed export's last reference is dropped only after
// the lock is released (its destructor may log or take other locks).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "host/Export.h"
#include "platform/ThreadSafety.h"

class ExportCache {
  public:
    // True and exp filled when found.
    bool FindExport(uint32_t shareId, ExportPtr& exp) const;
    bool FindExport(const std::string& path, ExportPtr& exp) const;
    // False (and nothing added) when the export is empty or its share id or
    // path is taken.
    bool AddExport(const ExportPtr& exp);
    // Removes this export (the same object) from the table; false when it is
    // not there.
    bool RemoveExport(const ExportPtr& exp);
    // A snapshot of the table, in share id order.
    std::vector<ExportPtr> GetAllExports() const;
    size_t Size() const;

  private:
    mutable SharedMutex m_mutex;
    std::map<uint32_t, ExportPtr> m_byId GUARDED_BY(m_mutex);
    std::map<std::string, ExportPtr> m_byPath GUARDED_BY(m_mutex);
};

// The process's export table; never null.
extern ExportCache* gAllExports;
