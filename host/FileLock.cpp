// Whole-file open-file-description locks (fcntl F_OFD_SETLK).
#include "host/FileLock.h"

#include <fcntl.h>

namespace {

// Whole file, owned by the open file description (l_pid must be 0).
int SetWholeFileLock(int fd, short type) {
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    fl.l_pid = 0;
    return fcntl(fd, F_OFD_SETLK, &fl);
}

}  // namespace

int GetLock(int fd, bool shared) {
    return SetWholeFileLock(fd, shared ? F_RDLCK : F_WRLCK);
}

int ReleaseLock(int fd, bool /*shared*/) {
    return SetWholeFileLock(fd, F_UNLCK);
}
