// Directory utilities.
#pragma once

#include <string>

#include "platform/CRaError.h"

class CRaDirectory {
  public:
    // Makes the directory (with its missing parents when recursive is true,
    // mode 0755). Success means the directory exists afterwards, whether or
    // not this call made it.
    static CRaError Create(const std::string& path, bool recursive);
};

class FXFolder {
  public:
    // True when the path names a directory (a symbolic link is followed).
    static bool DoesFolderExist(const std::string& path);
};
