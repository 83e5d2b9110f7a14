// The module's shared descriptors, one per file and access mode, with their
// reference counts.
#include "module/backend/SinkFSMFileDescriptorCache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/BeneathPath.h"
#include "platform/LogWriter.h"

std::unique_ptr<SinkFSMFileDescriptorInfo>* SinkFSMFileDescriptorCache::HoldingFd(Modes& modes,
                                                                                  int fd) {
    if (modes.readWrite && modes.readWrite->fd == fd)
        return &modes.readWrite;
    if (modes.readOnly && modes.readOnly->fd == fd)
        return &modes.readOnly;
    return nullptr;
}

SinkFSMFileDescriptorInfo* SinkFSMFileDescriptorCache::AnyEntry(const Modes& modes) {
    return modes.readWrite ? modes.readWrite.get() : modes.readOnly.get();
}

int SinkFSMFileDescriptorCache::Open(int objectFd, const char* path, int flags,
                                     unsigned long fileId) {
    const bool writer = (flags & O_ACCMODE) != O_RDONLY;
    int fd = -1;
    int savedErrno = 0;
    OxCriticalSectionLock guard(&m_lock);

    Modes& modes = m_table[fileId];
    std::unique_ptr<SinkFSMFileDescriptorInfo>& slot = writer ? modes.readWrite : modes.readOnly;
    if (slot) {
        fd = slot->fd;
        ++slot->refCount;
        OXLOG(2, 0,
              "INFO: Found fd [%d] in fd cache for file [%s]. Reuse the same fd, current "
              "reference count [%d].",
              fd, path, slot->refCount);
    } else {
        OXLOG(2, 0, "INFO: File [%s] not found in fd cache.", path);
        // Writers share one descriptor, so it must serve readers among them too.
        fd = ReopenDescriptor(objectFd, writer ? (flags & ~O_ACCMODE) | O_RDWR : flags);
        savedErrno = fd < 0 ? errno : 0;
        if (fd >= 0) {
            slot = std::make_unique<SinkFSMFileDescriptorInfo>();
            slot->fd = fd;
            slot->refCount = 1;
        } else if (!AnyEntry(modes)) {
            m_table.erase(fileId);
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
    std::unique_ptr<SinkFSMFileDescriptorInfo>* slot = HoldingFd(found->second, fd);
    if (!slot) {
        // The caller's reference stays: it was not given back.
        OXLOG(-1, 0, "File [%s], Give fd [%d] != cached fd [%d]", path, fd,
              AnyEntry(found->second)->fd);
        return -1;
    }
    SinkFSMFileDescriptorInfo& entry = **slot;
    if (entry.refCount > 1) {
        --entry.refCount;
        OXLOG(2, 0, "INFO: File [%s] has [%d] open references.", path, entry.refCount);
        return 0;
    }
    OXLOG(2, 0, "INFO: File [%s] has last open reference. closing the fd [%d]", path, fd);
    int result = ::close(fd);
    int closeErrno = errno;
    slot->reset();  // the entry goes even when close fails
    if (!AnyEntry(found->second))
        m_table.erase(found);
    errno = closeErrno;
    return result;
}

int SinkFSMFileDescriptorCache::GetFD(unsigned long fileId, int fd,
                                      SinkFSMFileDescriptorInfo*& entry) {
    OxCriticalSectionLock guard(&m_lock);
    auto found = m_table.find(fileId);
    std::unique_ptr<SinkFSMFileDescriptorInfo>* slot =
        found == m_table.end() ? nullptr : HoldingFd(found->second, fd);
    if (!slot)
        return -1;
    entry = slot->get();
    return 0;
}

int SinkFSMFileDescriptorCache::GetFD(unsigned long fileId, SinkFSMFileDescriptorInfo*& entry) {
    OxCriticalSectionLock guard(&m_lock);
    auto found = m_table.find(fileId);
    if (found == m_table.end())
        return -1;
    entry = AnyEntry(found->second);
    return 0;
}
