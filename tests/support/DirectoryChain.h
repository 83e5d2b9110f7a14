// Directories one in the other, deeper than any path may reach: made and
// removed a name at a time through descriptors, never by path.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

// Makes names[0] in the directory open on baseFd, names[1] in it, and so
// on: an O_PATH descriptor of the last, or -1 when one cannot be made.
inline int MakeDirectoryChain(int baseFd, const std::vector<std::string>& names) {
    int fd = ::fcntl(baseFd, F_DUPFD_CLOEXEC, 0);
    for (const std::string& name : names) {
        const int next = fd >= 0 && ::mkdirat(fd, name.c_str(), 0755) == 0
                             ? ::openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)
                             : -1;
        ::close(fd);
        fd = next;
    }
    return fd;
}

// Removes names[0] of the directory open on baseFd and the chain in it, as
// far as it goes: down by descriptor, then back up by "..".
inline void RemoveDirectoryChain(int baseFd, const std::vector<std::string>& names) {
    int fd = ::fcntl(baseFd, F_DUPFD_CLOEXEC, 0);
    size_t depth = 0;  // the names fd is below
    while (fd >= 0 && depth < names.size()) {
        const int next = ::openat(fd, names[depth].c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (next < 0)
            break;
        ::close(fd);
        fd = next;
        ++depth;
    }
    for (; depth > 0 && fd >= 0; --depth) {
        const int up = ::openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = up;
        ::unlinkat(fd, names[depth - 1].c_str(), AT_REMOVEDIR);
    }
    ::close(fd);
}
