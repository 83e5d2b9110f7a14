// The lock service's records: one per locked file, kept in the two
// process-wide tables of SinkFSM (fileLockMap for write-locked files,
// fileReadLockMap for read-locked ones), keyed by the file's full path.
//
// Records are bookkeeping only: the operating-system lock sits on the open
// descriptor a record names, and building or destroying a record never
// opens, closes, locks or unlocks anything. A key is in at most one table; a
// read record has at least one owner. The records have no lock of their
// own: SinkFSM::fileLockCSec guards both tables and every record in them.
#pragma once

#include <string>
#include <unordered_map>

// A write-locked file: the descriptor that carries the exclusive lock, its
// owner, and the export path of the request that took it.
class SinkFSMLockInfo {
  public:
    SinkFSMLockInfo(int fd, unsigned long long lockOwner, const std::string& exportPath);
    ~SinkFSMLockInfo();
    SinkFSMLockInfo(const SinkFSMLockInfo&) = delete;
    SinkFSMLockInfo& operator=(const SinkFSMLockInfo&) = delete;

    int fd;
    unsigned long long lockOwner;
    std::string exportPath;
};

// A read-locked file: each owner with the descriptor opened for its grant,
// and the export path of the request that made the record.
class SinkFSMReadLockInfo {
  public:
    explicit SinkFSMReadLockInfo(const std::string& exportPath);
    ~SinkFSMReadLockInfo();
    SinkFSMReadLockInfo(const SinkFSMReadLockInfo&) = delete;
    SinkFSMReadLockInfo& operator=(const SinkFSMReadLockInfo&) = delete;

    std::unordered_map<unsigned long long, int> owners;
    std::string exportPath;
};
