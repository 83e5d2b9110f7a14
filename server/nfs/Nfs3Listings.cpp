// A directory's entries read a batch at a time, and the listings kept open where a READDIR reply
// ended.
#include "server/nfs/Nfs3Listings.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "host/PerfCounters.h"

Nfs3Listing::Nfs3Listing(const Object& dir, const struct stat& st, DIR* stream, size_t bytes)
    : m_dir(dir),
      m_device(st.st_dev),
      m_inode(st.st_ino),
      m_stream(stream),
      m_viaModule(gPerfFlag.load()),
      m_fd(::dirfd(stream)),
      m_buffer(bytes),
      m_changed(st.st_ctim) {}

Nfs3Listing::~Nfs3Listing() {
    m_dir->closedir(nullptr, m_stream);  // a close needs no caller's context
}

int Nfs3Listing::Seek(LumeCtxt* ctx, cookie3 position) {
    // An lseek of its own, since seekdir cannot fail: a position the file
    // system refuses must not leave the stream where it was.
    const off_t to = static_cast<off_t>(position);
    if (::lseek(m_fd, to, SEEK_SET) < 0)
        return -1;
    if (m_viaModule)
        m_dir->seekdir(ctx, m_stream, to);  // the stream drops what it read ahead
    m_filled = m_at = 0;
    m_last = nullptr;
    m_again = false;
    return 0;
}

int Nfs3Listing::Resume(LumeCtxt* ctx, const struct stat& st, cookie3 position) {
    if (st.st_ctim.tv_sec == m_changed.tv_sec && st.st_ctim.tv_nsec == m_changed.tv_nsec)
        return 0;
    m_changed = st.st_ctim;
    return Seek(ctx, position);
}

const struct dirent64* Nfs3Listing::Next(LumeCtxt* ctx) {
    if (!m_again)
        m_last = Read(ctx);
    m_again = false;
    return m_last;
}

const struct dirent64* Nfs3Listing::Read(LumeCtxt* ctx) {
    if (m_viaModule) {
        errno = 0;
        return m_dir->readdir(ctx, m_stream);
    }
    if (m_at == m_filled) {
        const long got = ::syscall(SYS_getdents64, m_fd, m_buffer.data(), m_buffer.size());
        if (got <= 0) {
            errno = got == 0 ? 0 : errno;
            return nullptr;
        }
        m_filled = static_cast<size_t>(got);
        m_at = 0;
    }
    const auto* entry = reinterpret_cast<const struct dirent64*>(m_buffer.data() + m_at);
    m_at += entry->d_reclen;
    return entry;
}

Nfs3KeptListings::Listing Nfs3KeptListings::Take(const Nfs3Place& place, const struct stat& st) {
    MutexLock lock(m_mutex);
    auto found = m_byPlace.find(place);
    if (found == m_byPlace.end() || !found->second.first->Of(st))
        return nullptr;
    Listing listing = std::move(found->second.first);
    m_order.erase(found->second.second);
    m_byPlace.erase(found);
    return listing;
}

void Nfs3KeptListings::Keep(const Nfs3Place& place, Listing listing) {
    Listing displaced;  // closed once the mutex is let go
    MutexLock lock(m_mutex);
    if (m_capacity == 0 || m_byPlace.count(place)) {
        displaced = std::move(listing);
        return;
    }
    m_order.push_back(place);
    m_byPlace.emplace(place, std::make_pair(std::move(listing), std::prev(m_order.end())));
    if (m_byPlace.size() <= m_capacity)
        return;
    auto oldest = m_byPlace.find(m_order.front());
    displaced = std::move(oldest->second.first);
    m_byPlace.erase(oldest);
    m_order.pop_front();
}
