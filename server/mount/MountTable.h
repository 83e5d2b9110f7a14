// The mounts clients have announced (MNT) and not yet withdrawn (UMNT,
// UMNTALL), as DUMP reports them: one entry per host and path. Advisory
// only, as in RFC 1813: nothing depends on it but DUMP.
// Thread-safe; m_mutex is a leaf lock.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/ThreadSafety.h"

class MountTable {
  public:
    typedef std::pair<std::string, std::string> Entry;  // host, path

    void Add(const std::string& host, const std::string& path);
    void Remove(const std::string& host, const std::string& path);
    void RemoveHost(const std::string& host);
    std::vector<Entry> Snapshot() const;

  private:
    mutable Mutex m_mutex;
    std::set<Entry> m_entries GUARDED_BY(m_mutex);
};
