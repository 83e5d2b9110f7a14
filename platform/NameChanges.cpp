#include "platform/NameChanges.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/LogWriter.h"

namespace {

// Directory events come only with FAN_ONDIR; a file's attribute events come
// along and are passed over.
constexpr uint64_t kEvents = FAN_MOVED_FROM | FAN_DELETE | FAN_ATTRIB | FAN_ONDIR;
// Reads per Era before it gives up on a flood and counts it as a change.
constexpr int kReadsPerEra = 64;

bool Matters(uint64_t mask) {
    if (mask & (FAN_MOVED_FROM | FAN_DELETE | FAN_Q_OVERFLOW))
        return true;
    return (mask & FAN_ATTRIB) && (mask & FAN_ONDIR);
}

}  // namespace

NameChanges& NameChanges::Process() {
    static auto* changes = new NameChanges;  // never freed: used until exit
    return *changes;
}

NameChanges::NameChanges()
    : m_group(::fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_FID | FAN_NONBLOCK | FAN_CLOEXEC,
                              O_RDONLY | O_LARGEFILE)) {
    if (m_group < 0)
        OXLOG(1, 0, "Name changes cannot be watched [%d]: every call resolves its handles.", errno);
}

uint64_t NameChanges::Era(const std::string& path) {
    if (m_group < 0 || !Watching(path))
        return 0;
    int queued = 0;
    if (::ioctl(m_group, FIONREAD, &queued) == 0 && queued == 0 && m_reading == 0)
        return m_era;
    std::lock_guard<std::mutex> guard(m_drainMutex);
    ++m_reading;
    if (Drain())
        ++m_era;
    --m_reading;
    return m_era;
}

bool NameChanges::Watching(const std::string& path) {
    {
        std::shared_lock<std::shared_mutex> shared(m_watchMutex);
        if (m_paths.count(path) != 0)
            return !m_watched.empty();
    }
    std::unique_lock<std::shared_mutex> unique(m_watchMutex);
    if (m_paths.insert(path).second)
        Watch(path);
    return !m_watched.empty();
}

bool NameChanges::Watched(dev_t device) {
    std::shared_lock<std::shared_mutex> shared(m_watchMutex);
    return m_watched.count(device) != 0;
}

void NameChanges::Watch(const std::string& path) {
    // fanotify_mark takes no O_PATH descriptor.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && ::fstat(fd, &st) == 0 && !m_watched.count(st.st_dev)) {
        if (::fanotify_mark(m_group, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kEvents, fd, nullptr) ==
            0) {
            m_watched[st.st_dev] = fd;
            ++m_era;  // an era from before the watch proves nothing about it
            return;
        }
        OXLOG(1, 0, "Name changes under [%s] cannot be watched [%d].", path.c_str(), errno);
    }
    if (fd >= 0)
        ::close(fd);
}

bool NameChanges::Drain() {
    alignas(fanotify_event_metadata) char buffer[16384];
    bool matters = false;
    for (int reads = 0; reads < kReadsPerEra; ++reads) {
        ssize_t length = ::read(m_group, buffer, sizeof buffer);
        if (length < 0)
            return matters || errno != EAGAIN;  // unread events may matter
        auto* event = reinterpret_cast<const fanotify_event_metadata*>(buffer);
        for (; FAN_EVENT_OK(event, length); event = FAN_EVENT_NEXT(event, length))
            matters = matters || Matters(event->mask);
    }
    return true;  // a flood still queued: some of it may matter
}
