// The module's file handle: its wire layout, building it from a path, a
// descriptor or a client's handle, and the path cache entries it writes.
#include "module/filehandle/SinkFSMFileHandle.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include <boost/shared_ptr.hpp>

#include "host/ExportCache.h"
#include "module/exports/SinkFSMExport.h"
#include "module/filehandle/SinkFSMPathCache.h"
#include "platform/LogWriter.h"
#include "platform/UniqueFileId.h"

namespace SinkFSMHandleWire {

static_assert(kZeroAt + kZeroWidth == kLength, "the length covers every field");
static_assert(kLength <= LUME_NFS3_FHSIZE, "fits an NFSv3 handle");

namespace {

uint32_t Word(const nfs_fh3& fh, size_t at) {
    uint32_t value;
    std::memcpy(&value, fh.data + at, sizeof(value));
    return value;
}

}  // namespace

bool IsWellFormed(const nfs_fh3& fh) {
    return fh.len == kLength && Word(fh, kTypeAt) == static_cast<uint32_t>(SinkFSM::kFSMType);
}

uint32_t ShareId(const nfs_fh3& fh) {
    return Word(fh, kShareIdAt);
}

unsigned long Checksum(const nfs_fh3& fh) {
    unsigned long checksum;
    std::memcpy(&checksum, fh.data + kChecksumAt, sizeof(checksum));
    return checksum;
}

void Write(nfs_fh3& fh, uint32_t shareId, unsigned long checksum) {
    const uint32_t type = SinkFSM::kFSMType;
    fh.len = kLength;
    std::memcpy(fh.data + kTypeAt, &type, sizeof(type));
    std::memcpy(fh.data + kShareIdAt, &shareId, sizeof(shareId));
    std::memcpy(fh.data + kChecksumAt, &checksum, sizeof(checksum));
    // No memory contents of this process reach a client.
    std::memset(fh.data + kZeroAt, 0, kZeroWidth);
}

}  // namespace SinkFSMHandleWire

namespace {

// The export's path cache; empty for an export without one, another
// module's export, or none.
boost::shared_ptr<SinkFSMPathCache> PathCacheOf(const ExportPtr& exp) {
    SinkFSMExport* sinkExport = AsSinkFSMExport(exp);
    return sinkExport ? sinkExport->GetPathCache() : boost::shared_ptr<SinkFSMPathCache>();
}

}  // namespace

SinkFSMFileHandle::SinkFSMFileHandle(unsigned shareId, const std::string& path)
    : LumeFileHandle(shareId), m_path(path) {
    Identified(GetUniqueFileId(m_path, m_checksum) == 0);
}

SinkFSMFileHandle::SinkFSMFileHandle(unsigned shareId, const std::string& path, int fd,
                                     struct stat* found, int dirFd, const std::string& name)
    : LumeFileHandle(shareId), m_path(path) {
    struct stat st;
    Identified(fd >= 0 &&
               GetUniqueFileIdOfDescriptor(fd, m_checksum, found ? *found : st, dirFd, name) == 0);
}

SinkFSMFileHandle::SinkFSMFileHandle(unsigned shareId, const std::string& path,
                                     unsigned long checksum)
    : LumeFileHandle(shareId), m_path(path), m_checksum(checksum) {
    Identified(true);
}

void SinkFSMFileHandle::Identified(bool found) {
    if (!found) {
        // Callers that build objects report this errno, not the logger's.
        int savedErrno = errno;
        OXLOG(-1, 0, "Failed to get unique ID for file [%s]", m_path.c_str());
        errno = savedErrno;
        return;
    }
    m_initSuccess = true;
    OXLOG(10, 0, "SinkFSMFileHandle [%p] created", static_cast<void*>(this));
}

SinkFSMFileHandle::SinkFSMFileHandle(ExportPtr& exp, const nfs_fh3& fh) : LumeFileHandle(fh) {
    if (SinkFSMHandleWire::IsWellFormed(fh)) {
        unsigned long long jobId = JobIdOf(exp);
        m_checksum = SinkFSMHandleWire::Checksum(fh);
        boost::shared_ptr<SinkFSMPathCache> cache = PathCacheOf(exp);
        if (!cache) {
            OXLOG(-1, jobId, "Path Cache is NULL");
        } else if (cache->Find(m_checksum, m_path)) {
            m_initSuccess = true;
            OXLOG(3, jobId, "path [%s] cksum [%llx] got from cache.", m_path.c_str(),
                  static_cast<unsigned long long>(m_checksum));
        } else {
            OXLOG(1, jobId, "cksum [%llx] not found.", static_cast<unsigned long long>(m_checksum));
        }
    }
    OXLOG(10, 0, "SinkFSMFileHandle [%p] created", static_cast<void*>(this));
}

SinkFSMFileHandle::SinkFSMFileHandle(const SinkFSMFileHandle& other)
    : LumeFileHandle(other),
      m_initSuccess(other.m_initSuccess),
      m_path(other.m_path),
      m_checksum(other.m_checksum) {
    OXLOG(10, 0, "SinkFSMFileHandle [%p] created", static_cast<void*>(this));
}

SinkFSMFileHandle& SinkFSMFileHandle::operator=(const SinkFSMFileHandle& other) {
    LumeFileHandle::operator=(other);
    m_path = other.m_path;
    m_checksum = other.m_checksum;
    return *this;
}

SinkFSMFileHandle::~SinkFSMFileHandle() {
    OXLOG(10, 0, "SinkFSMFileHandle [%p] deleted", static_cast<void*>(this));
}

void SinkFSMFileHandle::ToNfsFH(nfs_fh3& fh) const {
    SinkFSMHandleWire::Write(fh, m_shareId, m_checksum);

    ExportPtr exp;
    if (!gAllExports->FindExport(m_shareId, exp)) {
        OXLOG(-1, 0, "Export not found for shareId [%u]", m_shareId);
        return;
    }
    unsigned long long jobId = JobIdOf(exp);
    boost::shared_ptr<SinkFSMPathCache> cache = PathCacheOf(exp);
    if (!cache) {
        OXLOG(-1, jobId, "Path Cache is NULL");
        return;
    }
    cache->Add(m_checksum, m_path);
    OXLOG(3, jobId, "path [%s] cksum [%llx] added to cache.", m_path.c_str(),
          static_cast<unsigned long long>(m_checksum));
}

void SinkFSMFileHandle::ToStr(std::string& out) const {
    std::ostringstream text;
    text << "ShareId:" << m_shareId << " FSMType: " << SinkFSM::kFSMType << " cksum: " << std::hex
         << m_checksum << std::dec << " Path: " << m_path;
    out = text.str();
}

bool SinkFSMFileHandle::operator==(const SinkFSMFileHandle& other) const {
    return m_checksum == other.m_checksum && LumeFileHandle::operator==(other);
}

bool SinkFSMFileHandle::IsValid(const nfs_fh3& fh) {
    if (!SinkFSMHandleWire::IsWellFormed(fh))
        return false;
    uint32_t shareId = SinkFSMHandleWire::ShareId(fh);
    ExportPtr exp;
    if (!gAllExports->FindExport(shareId, exp)) {
        OXLOG(-1, 0, "Export not found for shareId [%u]", shareId);
        return false;
    }
    boost::shared_ptr<SinkFSMPathCache> cache = PathCacheOf(exp);
    if (!cache) {
        OXLOG(-1, 0, "Path Cache is NULL");
        return false;
    }
    unsigned long checksum = SinkFSMHandleWire::Checksum(fh);
    std::string scratch;
    if (!cache->Find(checksum, scratch)) {
        OXLOG(-1, 0, "Path not found for cksum [%llu]", static_cast<unsigned long long>(checksum));
        return false;
    }
    return true;
}

void SinkFSMFileHandle::Forget(unsigned shareId, unsigned long checksum) {
    const int savedErrno = errno;  // the removal's outcome stays for its caller
    ExportPtr exp;
    // No export: its cache went with it.
    if (gAllExports->FindExport(shareId, exp))
        if (boost::shared_ptr<SinkFSMPathCache> cache = PathCacheOf(exp))
            cache->Remove(checksum);
    errno = savedErrno;
}
