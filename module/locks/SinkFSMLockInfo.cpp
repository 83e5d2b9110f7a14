// The lock tables' keys and records.
#include "module/locks/SinkFSMLockInfo.h"

#include <cstdlib>

#include "platform/LogWriter.h"

std::string LockKey(unsigned long fileId) {
    return std::to_string(fileId);
}

unsigned long LockKeyFileId(const std::string& key) {
    return std::strtoul(key.c_str(), nullptr, 10);
}

SinkFSMLockInfo::SinkFSMLockInfo(int fd, unsigned long long lockOwner,
                                 const std::string& exportPath, const std::string& takenUnder)
    : fd(fd), lockOwner(lockOwner), exportPath(exportPath), takenUnder(takenUnder) {
    OXLOG(10, 0, "SinkFSMLockInfo created fd [%d], lock owner [%llu]", fd, lockOwner);
}

SinkFSMLockInfo::~SinkFSMLockInfo() {
    OXLOG(10, 0, "SinkFSMLockInfo deleted. fd [%d], lock owner [%llu]", fd, lockOwner);
}

SinkFSMReadLockInfo::SinkFSMReadLockInfo(const std::string& exportPath) : exportPath(exportPath) {
    OXLOG(10, 0, "SinkFSMLockInfo created exportPath [%s]", this->exportPath.c_str());
}

SinkFSMReadLockInfo::~SinkFSMReadLockInfo() {
    owners.clear();
    OXLOG(10, 0, "SinkFSMLockInfo deleted exportPath [%s]", exportPath.c_str());
}
