// openat2 beneath a directory, a piece at a time for long paths, and the
// helpers around it.
#include "platform/BeneathPath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace {

constexpr unsigned long long kNoLinks = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
constexpr unsigned long long kResolve = RESOLVE_BENEATH | kNoLinks;
// The longest piece handed to the kernel at once, without its terminator
// (PATH_MAX with it).
constexpr size_t kPieceMax = PATH_MAX - 1;
constexpr int kRetries = 64;

int OpenAt2(int dirFd, const char* path, int flags, mode_t mode,
            unsigned long long resolve = kResolve) {
    struct open_how how {};
    how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
    // The kernel refuses a mode without O_CREAT or O_TMPFILE.
    how.mode = (flags & (O_CREAT | __O_TMPFILE)) ? mode : 0;
    how.resolve = resolve;
    int fd = -1;
    // EAGAIN: a rename elsewhere raced the walk; the kernel asks to try again.
    for (int tries = 0; tries < kRetries; ++tries) {
        fd = static_cast<int>(::syscall(SYS_openat2, dirFd, path, &how, sizeof how));
        if (fd >= 0 || errno != EAGAIN)
            break;
    }
    return fd;
}

// Where the piece of relative starting at begin must end: at most kPieceMax
// bytes, cut at a '/' that neither piece keeps; npos when no '/' is near
// enough.
size_t PieceEnd(const std::string& relative, size_t begin) {
    if (relative.size() - begin <= kPieceMax)
        return relative.size();
    size_t cut = relative.rfind('/', begin + kPieceMax);
    if (cut == std::string::npos || cut <= begin)
        return std::string::npos;  // one name longer than any path may be
    return cut;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.Release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (m_fd >= 0)
        ::close(m_fd);
}

int UniqueFd::Release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
}

int OpenBeneath(int dirFd, const std::string& relative, int flags, mode_t mode) {
    // The directory itself needs no walk, and so no search permission on it.
    if (relative.empty() && (flags & O_PATH))
        return ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (relative.empty())
        return OpenAt2(dirFd, ".", flags, mode);
    UniqueFd step;  // the directory the pieces so far reached
    size_t begin = 0;
    for (;;) {
        size_t end = PieceEnd(relative, begin);
        if (end == std::string::npos) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::string piece = relative.substr(begin, end - begin);
        int from = step.Valid() ? step.Get() : dirFd;
        if (end == relative.size())
            return OpenAt2(from, piece.c_str(), flags, mode);
        int next = OpenAt2(from, piece.c_str(), O_PATH | O_DIRECTORY, 0);
        if (next < 0)
            return -1;
        step = UniqueFd(next);
        begin = end + 1;
    }
}

int OpenNoLinks(int dirFd, const std::string& path, int flags) {
    return OpenAt2(dirFd, path.c_str(), flags, 0, kNoLinks);
}

std::string DescriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

int ReopenDescriptor(int pathFd, int flags) {
    flags &= ~(O_CREAT | O_EXCL | O_NOFOLLOW);
    return ::open(DescriptorPath(pathFd).c_str(), flags | O_CLOEXEC);
}

void SplitLastName(const std::string& relative, std::string& parent, std::string& name) {
    size_t slash = relative.rfind('/');
    if (slash == std::string::npos) {
        parent.clear();
        name = relative;
        return;
    }
    parent = relative.substr(0, slash);
    name = relative.substr(slash + 1);
}

bool RelativeBelow(const std::string& root, const std::string& path, std::string& relative) {
    if (path == root) {
        relative.clear();
        return true;
    }
    // The root "/" is every absolute path's prefix.
    const size_t prefix = root == "/" ? 0 : root.size();
    if (path.size() <= prefix + 1 || path.compare(0, prefix, root, 0, prefix) != 0 ||
        path[prefix] != '/')
        return false;
    relative = path.substr(prefix + 1);
    return true;
}

BeneathRoot::BeneathRoot(const std::string& path)
    : m_path(path), m_fd(OpenNoLinks(AT_FDCWD, path, O_PATH | O_DIRECTORY)) {}

std::string BeneathRoot::Absolute(const std::string& relative) const {
    if (relative.empty())
        return m_path;
    return (m_path == "/" ? "" : m_path) + "/" + relative;
}
