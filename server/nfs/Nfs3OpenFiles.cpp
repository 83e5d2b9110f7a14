#include "server/nfs/Nfs3OpenFiles.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "host/LumeCtxt.h"
#include "platform/LogWriter.h"
#include "platform/UniqueFileId.h"

struct Nfs3OpenFiles::Entry {
    Object object;
    ExportPtr exp;
    int fd = -1;
    dev_t device = 0;  // of a kept descriptor
    ino_t inode = 0;
    bool writable = false;
    bool kept = false;
    bool doomed = false;
    int users = 0;
    std::chrono::steady_clock::time_point lastUse;
};

Nfs3OpenFiles::Use::Use(Nfs3OpenFiles* owner, std::shared_ptr<Entry> entry)
    : m_owner(owner), m_entry(std::move(entry)) {}

Nfs3OpenFiles::Use::~Use() {
    m_owner->Release(m_entry);
}

int Nfs3OpenFiles::Use::Fd() const {
    return m_entry->fd;
}

bool Nfs3OpenFiles::Use::Writable() const {
    return m_entry->writable;
}

Nfs3OpenFiles::Nfs3OpenFiles(std::chrono::milliseconds idle, size_t maxKept)
    : m_idle(idle), m_maxKept(maxKept), m_reaper([this] { Reaper(); }) {}

Nfs3OpenFiles::~Nfs3OpenFiles() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_reaper.join();
    std::lock_guard<std::mutex> guard(m_mutex);
    for (auto& idAndEntry : m_entries)
        Close(*idAndEntry.second);
    m_entries.clear();
}

std::shared_ptr<Nfs3OpenFiles::Entry> Nfs3OpenFiles::Open(const Object& object,
                                                          const ExportPtr& exp, bool forWrite) {
    LumeCtxt ctx(IdInfo(), exp, Object());
    const int common = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    auto entry = std::make_shared<Entry>();
    entry->object = object;
    entry->exp = exp;
    entry->writable = true;
    entry->fd = object->open(&ctx, object->GetClientPath().c_str(), O_RDWR | common, 0);
    // A reader who may not write still gets a descriptor to read with.
    if (entry->fd < 0 && !forWrite && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        entry->writable = false;
        entry->fd = object->open(&ctx, object->GetClientPath().c_str(), O_RDONLY | common, 0);
    }
    if (entry->fd < 0)
        return nullptr;
    return entry;
}

bool Nfs3OpenFiles::CheckKept(Entry& entry, unsigned long fileId) {
    unsigned long id = 0;
    struct stat st;
    if (GetUniqueFileIdOfDescriptor(entry.fd, id, st) == 0 && id == fileId) {
        entry.device = st.st_dev;
        entry.inode = st.st_ino;
        return true;
    }
    Close(entry);
    errno = ESTALE;
    return false;
}

void Nfs3OpenFiles::Close(Entry& entry) {
    LumeCtxt ctx(IdInfo(), entry.exp, Object());
    if (entry.object->close(&ctx, entry.fd) != 0)
        OXLOG(-1, 0, "Closing [%s] failed [%s]", entry.object->GetClientPath().c_str(),
              std::strerror(errno));
    entry.fd = -1;
}

std::unique_ptr<Nfs3OpenFiles::Use> Nfs3OpenFiles::Acquire(const Object& object,
                                                           unsigned long fileId,
                                                           const ExportPtr& exp, bool keep,
                                                           bool forWrite) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto found = m_entries.find(fileId);
    if (found != m_entries.end() && forWrite && !found->second->writable &&
        found->second->users == 0) {
        Close(*found->second);
        m_entries.erase(found);
        found = m_entries.end();
    }
    std::shared_ptr<Entry> entry;
    keep = keep && m_entries.size() < m_maxKept;
    if (found != m_entries.end()) {
        entry = found->second;
    } else {
        entry = Open(object, exp, forWrite);
        if (!entry || (keep && !CheckKept(*entry, fileId)))
            return nullptr;
        entry->kept = keep;
        if (keep)
            m_entries[fileId] = entry;
    }
    ++entry->users;
    return std::make_unique<Use>(this, entry);
}

std::unique_ptr<Nfs3OpenFiles::Use> Nfs3OpenFiles::Hold(unsigned long fileId, dev_t& device,
                                                        ino_t& inode) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto found = m_entries.find(fileId);
    if (found == m_entries.end())
        return nullptr;
    const std::shared_ptr<Entry>& entry = found->second;
    device = entry->device;
    inode = entry->inode;
    ++entry->users;
    return std::make_unique<Use>(this, entry);
}

void Nfs3OpenFiles::Release(const std::shared_ptr<Entry>& entry) {
    std::lock_guard<std::mutex> guard(m_mutex);
    entry->lastUse = std::chrono::steady_clock::now();
    if (--entry->users == 0 && (!entry->kept || entry->doomed))
        Close(*entry);
}

void Nfs3OpenFiles::Forget(unsigned long fileId) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto found = m_entries.find(fileId);
    if (found == m_entries.end())
        return;
    if (found->second->users == 0)
        Close(*found->second);
    else
        found->second->doomed = true;
    m_entries.erase(found);
}

void Nfs3OpenFiles::ReapIdle() {
    auto now = std::chrono::steady_clock::now();
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        Entry& entry = *it->second;
        if (entry.users == 0 && now - entry.lastUse >= m_idle) {
            Close(entry);
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
}

void Nfs3OpenFiles::Reaper() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        // Half the idle time: a descriptor lives at most 1.5 idle times unused.
        m_wake.wait_for(lock, m_idle / 2, [this] { return m_stopping; });
        ReapIdle();
    }
}
