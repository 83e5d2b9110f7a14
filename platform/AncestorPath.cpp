// Walking up from a directory to one above it, a name at a time.
#include "platform/AncestorPath.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/BeneathPath.h"

namespace {

bool SameObject(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The hints split into their names, each list bottom first.
std::vector<std::vector<std::string>> NamesUpward(const std::vector<std::string>& hints) {
    std::vector<std::vector<std::string>> upward;
    for (const std::string& hint : hints) {
        std::vector<std::string> names;
        size_t end = hint.size();
        while (end > 0) {
            const size_t slash = hint.rfind('/', end - 1);
            const size_t begin = slash == std::string::npos ? 0 : slash + 1;
            if (end > begin)
                names.push_back(hint.substr(begin, end - begin));
            if (slash == std::string::npos)
                break;
            end = slash;
        }
        upward.push_back(std::move(names));
    }
    return upward;
}

bool Holds(int parentFd, const std::string& name, const struct stat& child) {
    struct stat st;
    return name != "." && name != ".." && name.find('/') == std::string::npos &&
           ::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           SameObject(st, child);
}

// The entry of the directory open on parentFd that holds child, by reading
// it through; false (errno ENOENT) when none does.
bool ReadName(int parentFd, const struct stat& child, std::string& name) {
    const int readable = ::openat(parentFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = readable >= 0 ? ::fdopendir(readable) : nullptr;
    if (!dir) {
        if (readable >= 0)
            ::close(readable);
        return false;
    }
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        // Inode numbers listed are the file system's own: a match is
        // confirmed on the entry itself.
        if (entry->d_ino == child.st_ino && Holds(parentFd, entry->d_name, child)) {
            name = entry->d_name;
            found = true;
            break;
        }
    }
    ::closedir(dir);
    if (!found)
        errno = ENOENT;
    return found;
}

// The name of child in the directory open on parentFd, level steps above
// the bottom.
bool NameIn(int parentFd, const struct stat& child, size_t level,
            const std::vector<std::vector<std::string>>& hints, std::string& name) {
    for (const std::vector<std::string>& names : hints)
        if (level < names.size() && Holds(parentFd, names[level], child)) {
            name = names[level];
            return true;
        }
    return ReadName(parentFd, child, name);
}

}  // namespace

int AncestorPath(int topFd, int dirFd, const std::vector<std::string>& hints,
                 std::string& relative) {
    struct stat top, at;
    UniqueFd level(::fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    if (!level.Valid() || ::fstat(topFd, &top) != 0 || ::fstat(level.Get(), &at) != 0)
        return -1;
    const std::vector<std::vector<std::string>> upward = NamesUpward(hints);
    std::vector<std::string> names;  // bottom first
    while (!SameObject(at, top)) {
        if (names.size() == kMostLevels) {
            errno = ELOOP;
            return -1;
        }
        UniqueFd parent(::openat(level.Get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat above;
        if (!parent.Valid() || ::fstat(parent.Get(), &above) != 0)
            return -1;
        // ".." of the top of the namespace is itself; of a mount's root, a
        // directory of another device.
        if (SameObject(above, at) || above.st_dev != at.st_dev) {
            errno = EXDEV;
            return -1;
        }
        std::string name;
        if (!NameIn(parent.Get(), at, names.size(), upward, name))
            return -1;
        names.push_back(std::move(name));
        level = std::move(parent);
        at = above;
    }
    relative.clear();
    for (auto name = names.rbegin(); name != names.rend(); ++name)
        relative += (relative.empty() ? "" : "/") + *name;
    return 0;
}
