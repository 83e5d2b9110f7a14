// Directory utilities.
#pragma once

#include <string>

#include "platform/CRaError.h"

class CRaDirectory {
  public:
    // Makes the directory (with its missing parents when recursive is true,
    // mode 0755, as the calling thread's identity). Success means the
    // directory exists afterwards, whether or not this call made it.
    // The path is walked once, a name at a time from "/" (or the working
    // directory), each name opened relative to the directory before it and
    // made there when missing; no symbolic link is followed, so one on the
    // way fails the call (ELOOP) with nothing made beyond it. A name that
    // is there but no directory fails with ENOTDIR, or EEXIST when it is
    // the last.
    static CRaError Create(const std::string& path, bool recursive);
};

class FXFolder {
  public:
    // True when the path names a directory (a symbolic link is followed).
    static bool DoesFolderExist(const std::string& path);
};
