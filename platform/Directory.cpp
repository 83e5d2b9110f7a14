// CRaDirectory::Create (with parents when asked) and FXFolder.
#include "platform/Directory.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/PathUtil.h"

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir where an existing directory counts as made.
int MakeOne(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0)
        return 0;
    int err = errno;
    if (err == EEXIST && IsDirectory(path))
        return 0;
    return err;
}

int MakeWithParents(const std::string& path) {
    int err = MakeOne(path);
    if (err != ENOENT)
        return err;
    std::string parent;
    DirName(path, parent);
    if (parent == path || parent == "." || parent == "/")
        return err;  // nothing above to make
    err = MakeWithParents(parent);
    return err != 0 ? err : MakeOne(path);
}

}  // namespace

CRaError CRaDirectory::Create(const std::string& path, bool recursive) {
    if (path.empty())
        return CRaError::FromErrno(ENOENT);
    return CRaError::FromErrno(recursive ? MakeWithParents(path) : MakeOne(path));
}

bool FXFolder::DoesFolderExist(const std::string& path) {
    return IsDirectory(path);
}
