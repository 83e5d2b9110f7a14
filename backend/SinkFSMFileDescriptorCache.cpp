#include "backend/SinkFSMFileDescriptorCache.h"

#include <unistd.h>

#include <cerrno>

#include "platform/BeneathPath.h"
#include "platform/LogWriter.h"

int SinkFSMFileDescriptorCache::Open(int objectFd, const char* path, int flags,
                                     unsigned long fileId) {
    int fd = -1;
    int savedErrno = 0;
    OxCriticalSectionLock guard(&m_lock);

    auto found = m_table.find(fileId);
    if (found != m_table.end()) {
        // The descriptor keeps the access mode of the open that made the entry.
        SinkFSMFileDescriptorInfo& entry = *found->second;
        fd = entry.fd;
        ++entry.refCount;
        OXLOG(2, 0,
              "INFO: Found fd [%d] in fd cache for file [%s]. Reuse the same fd, current "
              "reference count [%d].",
              fd, path, entry.refCount);
    } else {
        OXLOG(2, 0, "INFO: File [%s] not found in fd cache.", path);
        fd = ReopenDescriptor(objectFd, flags);
        savedErrno = fd < 0 ? errno : 0;
        if (fd >= 0) {
            auto entry = std::make_unique<SinkFSMFileDescriptorInfo>();
            entry->fd = fd;
            entry->refCount = 1;
            m_table.emplace(fileId, std::move(entry));
        }
    }
    errno = savedErrno;
    return fd;
}

int SinkFSMFileDescriptorCache::Close(int fd, const char* path, unsigned long fileId) {
    OxCriticalSectionLock guard(&m_lock);

    auto found = m_table.find(fileId);
    if (found == m_table.end()) {
        OXLOG(-1, 0, "File [%s], not found in fd cache.", path);
        return -1;
    }
    SinkFSMFileDescriptorInfo& entry = *found->second;
    if (entry.fd != fd) {
        // The caller's reference stays: it was not given back.
        OXLOG(-1, 0, "File [%s], Give fd [%d] != cached fd [%d]", path, fd, entry.fd);
        return -1;
    }
    if (entry.refCount > 1) {
        --entry.refCount;
        OXLOG(2, 0, "INFO: File [%s] has [%d] open references.", path, entry.refCount);
        return 0;
    }
    OXLOG(2, 0, "INFO: File [%s] has last open reference. closing the fd [%d]", path, fd);
    int result = ::close(fd);
    int closeErrno = errno;
    m_table.erase(found);  // the entry goes even when close fails
    errno = closeErrno;
    return result;
}

int SinkFSMFileDescriptorCache::GetFD(unsigned long fileId, SinkFSMFileDescriptorInfo*& entry) {
    OxCriticalSectionLock guard(&m_lock);
    auto found = m_table.find(fileId);
    if (found == m_table.end())
        return -1;
    entry = found->second.get();
    return 0;
}
