// CRaUTFOSAPI: each call is the POSIX call, close-on-exec, its errno turned
// into a CRaError.
#include "platform/CRaUTFOSAPI.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

CRaError Result(int rc) {
    return rc == 0 ? CRaError() : CRaError::FromErrno(errno);
}

CRaError Opened(int& fd, int rc) {
    fd = rc;
    return rc >= 0 ? CRaError() : CRaError::FromErrno(errno);
}

}  // namespace

CRaError CRaUTFOSAPI::open(int& fd, const std::string& path, int flags, unsigned int mode) {
    return Opened(fd, ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode)));
}

CRaError CRaUTFOSAPI::creat(int& fd, const std::string& path, unsigned int mode) {
    return Opened(fd, ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC,
                             static_cast<mode_t>(mode)));
}

CRaError CRaUTFOSAPI::mkdir(const std::string& path, unsigned int mode) {
    return Result(::mkdir(path.c_str(), static_cast<mode_t>(mode)));
}

CRaError CRaUTFOSAPI::rmdir(const std::string& path) {
    return Result(::rmdir(path.c_str()));
}

CRaError CRaUTFOSAPI::unlink(const std::string& path) {
    return Result(::unlink(path.c_str()));
}

CRaError CRaUTFOSAPI::rename(const std::string& from, const std::string& to) {
    return Result(::rename(from.c_str(), to.c_str()));
}

CRaError CRaUTFOSAPI::chmod(const std::string& path, unsigned int mode) {
    return Result(::chmod(path.c_str(), static_cast<mode_t>(mode)));
}

CRaError CRaUTFOSAPI::access(const std::string& path, int mode) {
    return Result(::access(path.c_str(), mode));
}
