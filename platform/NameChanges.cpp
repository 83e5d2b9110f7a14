// NameChanges over a fanotify group: the watches, the draining of events
// and the eras.
#include "platform/NameChanges.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/LogWriter.h"

namespace {

constexpr uint64_t kEvents = FAN_MOVED_FROM | FAN_MOVED_TO | FAN_DELETE | FAN_ATTRIB | FAN_ONDIR;
// Events about a name: they carry the directory's handle and the name.
constexpr uint64_t kNameEvents = FAN_MOVED_FROM | FAN_MOVED_TO | FAN_DELETE;
// Reads per moment before a flood still queued counts as a change.
constexpr int kReadsPerMoment = 64;
// Names noted per era; one more starts a new era.
constexpr size_t kMostNames = 1 << 16;

// Events are packed without padding (a name makes any length), so their
// parts are copied out rather than read in place.
template <class T>
T Read(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// The name event (the bytes from at to end) carries; null when none.
const char* NameOf(const char* at, const char* end) {
    at += Read<fanotify_event_metadata>(at).metadata_len;
    while (at + sizeof(fanotify_event_info_header) <= end) {
        const auto header = Read<fanotify_event_info_header>(at);
        const char* next = at + header.len;
        if (header.len == 0 || next > end)
            return nullptr;
        // The directory's fsid and handle, then the name, NUL-ended.
        const char* handle = at + sizeof(fanotify_event_info_fid);
        if (header.info_type == FAN_EVENT_INFO_TYPE_DFID_NAME &&
            handle + sizeof(file_handle) <= next) {
            const char* name =
                handle + sizeof(file_handle) + Read<file_handle>(handle).handle_bytes;
            return name < next && std::memchr(name, '\0', next - name) ? name : nullptr;
        }
        at = next;
    }
    return nullptr;
}

}  // namespace

NameChanges& NameChanges::Process() {
    static auto* changes = new NameChanges;  // never freed: used until exit
    return *changes;
}

NameChanges::NameChanges()
    : m_group(::fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME | FAN_NONBLOCK | FAN_CLOEXEC,
                              O_RDONLY | O_LARGEFILE)) {
    if (m_group < 0)
        OXLOG(1, 0, "Name changes cannot be watched [%d]: every call resolves its handles.", errno);
}

NameChanges::Moment NameChanges::Now(const std::string& path) {
    if (m_group < 0 || !Watching(path))
        return Moment();
    int queued = 0;
    if (::ioctl(m_group, FIONREAD, &queued) != 0 || queued != 0 || m_reading != 0) {
        MutexLock guard(m_drainMutex);
        ++m_reading;
        if (Drain())
            NextEra();
        --m_reading;
    }
    // The era before the count: an era read after its count could belong to
    // events read after it.
    Moment now;
    now.era = m_era;
    now.read = m_read;
    return now;
}

void NameChanges::Note(const std::string& name) {
    UniqueMutexLock guard(m_namesMutex);
    if (m_names.size() < kMostNames) {
        m_names.insert(name);
        return;
    }
    guard.unlock();
    NextEra();
}

bool NameChanges::Quiet(const Moment& moment) const {
    return moment.era != 0 && m_read == moment.read && m_era == moment.era;
}

void NameChanges::NextEra() {
    MutexLock guard(m_namesMutex);
    m_names.clear();  // what was noted is for entries of the era now ending
    ++m_era;
}

bool NameChanges::Watching(const std::string& path) {
    {
        ReaderLock shared(m_watchMutex);
        if (m_paths.count(path) != 0)
            return !m_watched.empty();
    }
    WriterLock unique(m_watchMutex);
    if (m_paths.insert(path).second)
        Watch(path);
    return !m_watched.empty();
}

bool NameChanges::Watched(dev_t device) {
    ReaderLock shared(m_watchMutex);
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
            NextEra();  // an era from before the watch proves nothing about it
            return;
        }
        OXLOG(1, 0, "Name changes under [%s] cannot be watched [%d].", path.c_str(), errno);
    }
    if (fd >= 0)
        ::close(fd);
}

bool NameChanges::Drain() {
    char buffer[16384];
    bool matters = false;
    for (int reads = 0; reads < kReadsPerMoment; ++reads) {
        const ssize_t length = ::read(m_group, buffer, sizeof buffer);
        if (length < 0)
            return matters || errno != EAGAIN;  // unread events may matter
        const char* end = buffer + length;
        std::vector<const char*> events;
        for (const char* at = buffer; at + sizeof(fanotify_event_metadata) <= end;) {
            const uint32_t size = Read<fanotify_event_metadata>(at).event_len;
            if (size < sizeof(fanotify_event_metadata) || at + size > end)
                return true;  // not what the kernel writes: assume the worst
            events.push_back(at);
            at += size;
        }
        m_read += events.size();  // counted before judged: see Quiet
        for (const char* event : events)
            matters =
                matters || Matters(event, event + Read<fanotify_event_metadata>(event).event_len);
    }
    return true;  // a flood still queued: some of it may matter
}

bool NameChanges::Matters(const char* event, const char* end) {
    const uint64_t mask = Read<fanotify_event_metadata>(event).mask;
    if (mask & (FAN_Q_OVERFLOW | FAN_ONDIR))
        return true;  // any change to a directory
    if (!(mask & kNameEvents))
        return false;  // a file's attributes
    const char* name = NameOf(event, end);
    MutexLock guard(m_namesMutex);
    return !name || m_names.count(name) != 0;
}
