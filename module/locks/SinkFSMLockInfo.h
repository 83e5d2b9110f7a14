// The lock service's records: one per locked file, kept in the two
// process-wide tables of SinkFSM (fileLockMap for write-locked files,
// fileReadLockMap for read-locked ones), keyed by the file's identity (its
// unique file id, LockKey), so every name of one file (a hard link, another
// spelling of the path) meets the same record.
//
// Records are bookkeeping only: the operating-system lock sits on the open
// descriptor a record names, and building or destroying a record never
// opens, closes, locks or unlocks anything. A key is in at most one table; a
// read record has at least one owner. Each grant remembers the full path it
// was taken under, so its owner can still give it back by that path once
// the path no longer resolves (the file removed or renamed). The records
// have no lock of their own: SinkFSM::fileLockCSec guards both tables and
// every record in them.
#pragma once

#include <string>
#include <unordered_map>

// A file's key in the lock tables: its unique file id in decimal.
std::string LockKey(unsigned long fileId);
// The unique file id a key stands for.
unsigned long LockKeyFileId(const std::string& key);

// A write-locked file: the descriptor that carries the exclusive lock, its
// owner, the export path of the request that took it and the full path it
// was taken under.
class SinkFSMLockInfo {
  public:
    SinkFSMLockInfo(int fd, unsigned long long lockOwner, const std::string& exportPath,
                    const std::string& takenUnder);
    ~SinkFSMLockInfo();
    SinkFSMLockInfo(const SinkFSMLockInfo&) = delete;
    SinkFSMLockInfo& operator=(const SinkFSMLockInfo&) = delete;

    int fd;
    unsigned long long lockOwner;
    std::string exportPath;
    std::string takenUnder;
};

// One reader's grant: the descriptor opened for it, the export path of the
// request that took it (readers of one file may come through different
// exports, and each export takes only its own grants along when it goes)
// and the full path it was taken under.
struct SinkFSMReadGrant {
    int fd;
    std::string exportPath;
    std::string takenUnder;
};

// A read-locked file: each owner with its grant, and the export path of the
// request that made the record (for its trace lines).
class SinkFSMReadLockInfo {
  public:
    explicit SinkFSMReadLockInfo(const std::string& exportPath);
    ~SinkFSMReadLockInfo();
    SinkFSMReadLockInfo(const SinkFSMReadLockInfo&) = delete;
    SinkFSMReadLockInfo& operator=(const SinkFSMReadLockInfo&) = delete;

    std::unordered_map<unsigned long long, SinkFSMReadGrant> owners;
    std::string exportPath;
};
