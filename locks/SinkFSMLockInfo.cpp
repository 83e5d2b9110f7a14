#include "locks/SinkFSMLockInfo.h"

#include "platform/LogWriter.h"

SinkFSMLockInfo::SinkFSMLockInfo(int fd, unsigned long long lockOwner,
                                 const std::string& exportPath)
    : fd(fd), lockOwner(lockOwner), exportPath(exportPath) {
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
