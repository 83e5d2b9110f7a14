// A recorded path followed a name at a time, past directories renamed since.
#include "platform/RenamedPath.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/BeneathPath.h"

namespace {

constexpr int kDirectory = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool Split(const std::string& relative, std::vector<std::string>& names) {
    if (relative.empty())
        return true;  // the top itself
    size_t begin = 0;
    for (;;) {
        const size_t end = relative.find('/', begin);
        const std::string name = relative.substr(begin, end - begin);
        if (name.empty() || name == "." || name == "..")
            return false;
        names.push_back(name);
        if (end == std::string::npos)
            return true;
        begin = end + 1;
    }
}

// The subdirectory of the directory open on dirFd that holds next, opened;
// its name in name. -1 (ENOENT) when none does.
int StandIn(int dirFd, const std::string& next, std::string& name) {
    const int readable = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = readable >= 0 ? ::fdopendir(readable) : nullptr;
    if (!dir) {
        if (readable >= 0)
            ::close(readable);
        return -1;
    }
    int found = -1;
    struct stat st;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)
            continue;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        const int candidate = ::openat(dirFd, entry->d_name, kDirectory);
        if (candidate >= 0 && ::fstatat(candidate, next.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            name = entry->d_name;
            found = candidate;
            break;
        }
        if (candidate >= 0)
            ::close(candidate);
    }
    ::closedir(dir);
    if (found < 0)
        errno = ENOENT;
    return found;
}

}  // namespace

int OpenRenamed(int topFd, const std::string& relative, int flags, std::string& found) {
    std::vector<std::string> names;
    if (!Split(relative, names)) {
        errno = EINVAL;
        return -1;
    }
    UniqueFd at(::fcntl(topFd, F_DUPFD_CLOEXEC, 0));
    std::string path;
    for (size_t level = 0; at.Valid() && level < names.size(); ++level) {
        const bool last = level + 1 == names.size();
        std::string name = names[level];
        int next = ::openat(at.Get(), name.c_str(), last ? flags | O_CLOEXEC : kDirectory);
        // Whatever holds the name now if not a directory (a link left in
        // its place included, never followed), another may stand in.
        if (next < 0 && (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) && !last)
            next = StandIn(at.Get(), names[level + 1], name);
        if (next < 0)
            return -1;
        path += (path.empty() ? "" : "/") + name;
        at = UniqueFd(next);
    }
    if (!at.Valid())
        return -1;
    found = std::move(path);
    return at.Release();
}
