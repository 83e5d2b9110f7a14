// DrillHole through fallocate(FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE).
#include "platform/DrillHole.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/ErrorText.h"

namespace {

std::string Range(long long offset, long long length) {
    return "at offset " + std::to_string(offset) + " length " + std::to_string(length);
}

}  // namespace

int DrillHole(int fd, long long offset, long long length, std::string& err) {
    if (offset < 0 || length < 0) {
        err = "punch hole " + Range(offset, length) + ": invalid range";
        errno = EINVAL;
        return -1;
    }
    if (length == 0)
        return 0;
    if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length) == 0)
        return 0;
    int saved = errno;
    err = "fallocate punch hole " + Range(offset, length) + " failed: " + ErrorTextAndNumber(saved);
    errno = saved;
    return -1;
}
