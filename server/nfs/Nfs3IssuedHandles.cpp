#include "server/nfs/Nfs3IssuedHandles.h"

#include <algorithm>

std::string Nfs3IssuedHandles::Key(const nfs_fh3& fh) {
    size_t length = std::min<size_t>(fh.len, LUME_NFS3_FHSIZE);
    return std::string(reinterpret_cast<const char*>(fh.data), length);
}

void Nfs3IssuedHandles::Record(const nfs_fh3& fh, unsigned long fileId) {
    std::string key = Key(fh);
    std::lock_guard<std::mutex> guard(m_mutex);
    m_ids[key] = fileId;
}

bool Nfs3IssuedHandles::Matches(const nfs_fh3& fh, unsigned long fileId) const {
    unsigned long recorded = 0;
    return Lookup(fh, recorded) && recorded == fileId;
}

bool Nfs3IssuedHandles::Lookup(const nfs_fh3& fh, unsigned long& fileId) const {
    std::string key = Key(fh);
    std::lock_guard<std::mutex> guard(m_mutex);
    auto found = m_ids.find(key);
    if (found == m_ids.end())
        return false;
    fileId = found->second;
    return true;
}
