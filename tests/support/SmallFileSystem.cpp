#include "tests/support/SmallFileSystem.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

SmallFileSystem::SmallFileSystem(size_t bytes) : m_path(m_dir / "fs") {
    const std::string size = "size=" + std::to_string(bytes) + ",mode=0755";
    if (::mkdir(m_path.c_str(), 0755) != 0 ||
        ::mount("tmpfs", m_path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) != 0)
        m_why = "cannot mount a tmpfs on " + m_path + ": " + std::strerror(errno);
}

SmallFileSystem::~SmallFileSystem() {
    if (m_why.empty())
        ::umount2(m_path.c_str(), MNT_DETACH);
}

bool SmallFileSystem::Mounted(std::string& why) const {
    why = m_why;
    return m_why.empty();
}

bool SmallFileSystem::Fill() {
    const int fd = ::open((m_path + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return false;
    const std::vector<char> block(64 * 1024, 'f');
    // A write cut short fills the last page it could have; the next one
    // finds none. Bounded: 4 GiB at most.
    bool full = false;
    for (int i = 0; i < (1 << 16) && !full; ++i)
        full = ::write(fd, block.data(), block.size()) < 0 && errno == ENOSPC;
    ::close(fd);
    return full;
}

void SmallFileSystem::Free() {
    ::unlink((m_path + "/filler").c_str());
}
