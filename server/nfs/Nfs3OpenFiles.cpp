// The descriptors kept open across READ, WRITE and COMMIT, and the thread that closes idle ones.
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

Nfs3OpenFiles::Nfs3OpenFiles(std::chrono::milliseconds idle, size_t maxKept,
                             Nfs3WriteVerifier& verifier)
    : m_idle(idle), m_maxKept(maxKept), m_verifier(verifier), m_reaper([this] { Reaper(); }) {}

Nfs3OpenFiles::~Nfs3OpenFiles() {
    {
        MutexLock guard(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_reaper.join();
    MutexLock guard(m_mutex);
    for (auto& keyAndEntry : m_entries)
        Close(*keyAndEntry.second);
    m_entries.clear();
}

std::shared_ptr<Nfs3OpenFiles::Entry> Nfs3OpenFiles::Open(const Object& object,
                                                          const ExportPtr& exp, bool forWrite) {
    LumeCtxt ctx(IdInfo(), exp, Object());
    const int how = (forWrite ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    auto entry = std::make_shared<Entry>();
    entry->object = object;
    entry->exp = exp;
    entry->fd = object->open(&ctx, object->GetClientPath().c_str(), how, 0);
    if (entry->fd < 0)
        return nullptr;
    const int mode = ::fcntl(entry->fd, F_GETFL);
    entry->writable = mode >= 0 && (mode & O_ACCMODE) != O_RDONLY;
    return entry;
}

std::shared_ptr<Nfs3OpenFiles::Entry> Nfs3OpenFiles::OpenWritable(const Object& object,
                                                                  unsigned long fileId,
                                                                  const ExportPtr& exp) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::shared_ptr<Entry> entry = Open(object, exp, true);
        if (!entry || entry->writable)
            return entry;
        Close(*entry);
        auto reader = m_entries.find(Key(fileId, false));
        if (reader == m_entries.end() || reader->second->users > 0)
            break;
        Close(*reader->second);
        m_entries.erase(reader);
    }
    errno = EAGAIN;  // a reader holds the file's one descriptor for now
    return nullptr;
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
    if (entry.object->close(&ctx, entry.fd) != 0) {
        OXLOG(-1, 0, "Closing [%s] failed [%s]", entry.object->GetClientPath().c_str(),
              std::strerror(errno));
        if (entry.writable)
            m_verifier.Renew();
    }
    entry.fd = -1;
}

std::unique_ptr<Nfs3OpenFiles::Use> Nfs3OpenFiles::Acquire(const Object& object,
                                                           unsigned long fileId,
                                                           const ExportPtr& exp, bool keep,
                                                           bool forWrite) {
    MutexLock guard(m_mutex);
    auto found = m_entries.find(Key(fileId, forWrite));
    if (found == m_entries.end() && !forWrite)
        found = m_entries.find(Key(fileId, true));  // a writable one reads as well
    std::shared_ptr<Entry> entry;
    keep = keep && m_entries.size() < m_maxKept;
    if (found != m_entries.end()) {
        entry = found->second;
    } else {
        entry = OpenEntry(object, fileId, exp, forWrite);
        if (!entry || (keep && !CheckKept(*entry, fileId)))
            return nullptr;
        entry->kept = keep;
        if (keep)
            m_entries[Key(fileId, entry->writable)] = entry;
    }
    ++entry->users;
    return std::make_unique<Use>(this, entry);
}

std::shared_ptr<Nfs3OpenFiles::Entry> Nfs3OpenFiles::OpenEntry(const Object& object,
                                                               unsigned long fileId,
                                                               const ExportPtr& exp,
                                                               bool forWrite) {
    auto open = [&]() REQUIRES(m_mutex) {
        return forWrite ? OpenWritable(object, fileId, exp) : Open(object, exp, false);
    };
    std::shared_ptr<Entry> entry = open();
    const int err = errno;
    if (entry || (err != EMFILE && err != ENFILE))
        return entry;
    if (GiveBackIdle() == 0) {
        errno = err;
        return nullptr;
    }
    return open();
}

size_t Nfs3OpenFiles::GiveBackIdle() {
    size_t given = 0;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second->users > 0) {
            ++it;
            continue;
        }
        Close(*it->second);
        it = m_entries.erase(it);
        ++given;
    }
    return given;
}

std::unique_ptr<Nfs3OpenFiles::Use> Nfs3OpenFiles::Hold(unsigned long fileId, dev_t& device,
                                                        ino_t& inode) {
    MutexLock guard(m_mutex);
    auto found = m_entries.find(Key(fileId, true));
    if (found == m_entries.end())
        found = m_entries.find(Key(fileId, false));
    if (found == m_entries.end())
        return nullptr;
    const std::shared_ptr<Entry>& entry = found->second;
    device = entry->device;
    inode = entry->inode;
    ++entry->users;
    return std::make_unique<Use>(this, entry);
}

void Nfs3OpenFiles::Release(const std::shared_ptr<Entry>& entry) {
    MutexLock guard(m_mutex);
    entry->lastUse = std::chrono::steady_clock::now();
    if (--entry->users == 0 && (!entry->kept || entry->doomed))
        Close(*entry);
}

void Nfs3OpenFiles::Forget(unsigned long fileId) {
    MutexLock guard(m_mutex);
    for (bool writable : {false, true}) {
        auto found = m_entries.find(Key(fileId, writable));
        if (found == m_entries.end())
            continue;
        if (found->second->users == 0)
            Close(*found->second);
        else
            found->second->doomed = true;
        m_entries.erase(found);
    }
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
    UniqueMutexLock lock(m_mutex);
    while (!m_stopping) {
        // Half the idle time: a descriptor lives at most 1.5 idle times unused.
        m_wake.wait_for(lock.Native(), m_idle / 2,
                        [this]() REQUIRES(m_mutex) { return m_stopping; });
        ReapIdle();
    }
}
