// CRaDirectory::Create (a name at a time, no link followed) and FXFolder.
#include "platform/Directory.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "platform/BeneathPath.h"
#include "platform/PathUtil.h"

namespace {

constexpr mode_t kDirectoryMode = 0755;

int OpenDirectory(int dirFd, const std::string& name) {
    return OpenNoLinks(dirFd, name, O_PATH | O_DIRECTORY);
}

// Opens name in dir, making it first when missing and make is set. On
// failure -1 with errno.
int Step(int dirFd, const std::string& name, bool make) {
    int fd = OpenDirectory(dirFd, name);
    if (fd >= 0 || errno != ENOENT || !make)
        return fd;
    // EEXIST: made meanwhile by someone else; what is there now is opened
    // as any existing name is.
    if (::mkdirat(dirFd, name.c_str(), kDirectoryMode) != 0 && errno != EEXIST)
        return -1;
    return OpenDirectory(dirFd, name);
}

int Make(const std::string& path, bool recursive) {
    UniqueFd dir(OpenDirectory(AT_FDCWD, path[0] == '/' ? "/" : "."));
    if (!dir.Valid())
        return errno;
    const std::vector<std::string> names = PathNames(path, '/');
    for (size_t i = 0; i < names.size(); ++i) {
        const bool last = i + 1 == names.size();
        UniqueFd next(Step(dir.Get(), names[i], recursive || last));
        if (!next.Valid())
            return last && errno == ENOTDIR ? EEXIST : errno;
        dir = std::move(next);
    }
    return 0;
}

}  // namespace

CRaError CRaDirectory::Create(const std::string& path, bool recursive) {
    if (path.empty())
        return CRaError::FromErrno(ENOENT);
    return CRaError::FromErrno(Make(path, recursive));
}

bool FXFolder::DoesFolderExist(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
