// A reply's data held in a pipe: spliced from a file, then to the socket or read back into the
// reply.
#include "server/rpc/ReplyPipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {
constexpr size_t kPage = 4096;
// As large as a reply's data can be, with a page for an offset within one.
// Unprivileged, the system's limit (fs.pipe-max-size, 1 MiB unless set)
// may keep it smaller; reads the pipe cannot hold are then copied.
constexpr int kLargest = 2 * 1024 * 1024;

// The bytes of pages spliced data from offset takes in a pipe: one page
// per slot, the first one partly.
size_t PagesFor(uint64_t offset, size_t count) {
    return (offset % kPage + count + kPage - 1) / kPage * kPage;
}
}  // namespace

ReplyPipe::~ReplyPipe() {
    Close();
}

bool ReplyPipe::Open(size_t bytes) {
    if (m_out < 0) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
            return false;
        m_out = ends[0];
        m_in = ends[1];
        int size = ::fcntl(m_in, F_SETPIPE_SZ, kLargest);
        if (size < 0)
            size = ::fcntl(m_in, F_SETPIPE_SZ, kLargest / 2);
        if (size < 0)
            size = ::fcntl(m_in, F_GETPIPE_SZ);
        m_capacity = size > 0 ? static_cast<size_t>(size) : 0;
    }
    if (bytes <= m_capacity)
        return true;
    errno = EMSGSIZE;
    return false;
}

ssize_t ReplyPipe::Fill(int fd, uint64_t offset, size_t count, bool& end) {
    end = false;
    Clear();
    if (!Open(PagesFor(offset, count)))
        return -1;
    while (m_held < count) {
        loff_t at = static_cast<loff_t>(offset + m_held);
        // Non-blocking for the pipe only: the file is read as by pread.
        ssize_t moved = ::splice(fd, &at, m_in, nullptr, count - m_held, SPLICE_F_NONBLOCK);
        if (moved > 0) {
            m_held += static_cast<size_t>(moved);
            continue;
        }
        if (moved == 0) {
            end = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN && m_held > 0)
            break;  // full: a short read, the client asks for the rest
        const int error = errno;
        Clear();
        errno = error;
        return -1;
    }
    return static_cast<ssize_t>(m_held);
}

ssize_t ReplyPipe::SendTo(int socket, bool more) {
    ssize_t moved;
    do
        moved = ::splice(m_out, nullptr, socket, nullptr, m_held,
                         SPLICE_F_NONBLOCK | (more ? SPLICE_F_MORE : 0));
    while (moved < 0 && errno == EINTR);
    if (moved > 0)
        m_held -= static_cast<size_t>(moved);
    return moved;
}

bool ReplyPipe::Drain(char* into) {
    while (m_held > 0) {
        ssize_t got = ::read(m_out, into, m_held);
        if (got > 0) {
            into += got;
            m_held -= static_cast<size_t>(got);
        } else if (got == 0 || errno != EINTR) {
            const int error = got == 0 ? EIO : errno;
            Clear();
            errno = error;
            return false;
        }
    }
    return true;
}

void ReplyPipe::Clear() {
    // Rare (a reply dropped or undeliverable): a new pipe is simpler than
    // emptying this one.
    if (m_held != 0)
        Close();
}

void ReplyPipe::Close() {
    if (m_out >= 0) {
        ::close(m_out);
        ::close(m_in);
    }
    m_out = m_in = -1;
    m_capacity = 0;
    m_held = 0;
}
