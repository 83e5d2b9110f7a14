// The platform's file API: POSIX calls that report through a CRaError.
// Descriptors are opened close-on-exec. open and creat give the descriptor
// through their first argument, -1 on failure.
#pragma once

#include <string>

#include "platform/CRaError.h"

class CRaUTFOSAPI {
  public:
    static CRaError open(int& fd, const std::string& path, int flags, unsigned int mode);
    static CRaError creat(int& fd, const std::string& path, unsigned int mode);
    static CRaError mkdir(const std::string& path, unsigned int mode);
    static CRaError rmdir(const std::string& path);
    static CRaError unlink(const std::string& path);
    static CRaError rename(const std::string& from, const std::string& to);
    static CRaError chmod(const std::string& path, unsigned int mode);
    static CRaError access(const std::string& path, int mode);
};
