// How many descriptors this process has open, from /proc/self/fd.
#pragma once

#include <dirent.h>

#include <cstddef>

inline size_t OpenDescriptorCount() {
    size_t n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir))
        n += entry->d_name[0] != '.';
    ::closedir(dir);
    return n - 1;  // the directory stream's own descriptor
}
