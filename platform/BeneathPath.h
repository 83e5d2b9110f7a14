// Resolving paths beneath a directory, once.
//
// A path below an export is never handed to the kernel whole: it is resolved
// relative to a descriptor of the export's root with openat2, the kernel
// refusing to leave that directory (RESOLVE_BENEATH), to follow any symbolic
// link on the way (RESOLVE_NO_SYMLINKS), or to jump through /proc's links
// (RESOLVE_NO_MAGICLINKS). With O_PATH | O_NOFOLLOW a final symbolic link is
// opened as itself. What was resolved is then acted on through its
// descriptor, so a name swapped after the resolution changes nothing.
// Paths longer than the kernel takes in one call are resolved a piece at a
// time, each piece beneath the directory the one before it reached; only
// each name's own length bounds them. Needs Linux 5.8 (openat2, and
// AT_EMPTY_PATH for faccessat2 and utimensat).
// Thread safety: everything here may be called from any thread; a
// BeneathRoot never changes after it is built.
#pragma once

#include <sys/types.h>

#include <string>

// An owned descriptor, closed when it goes.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd();

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release();

  private:
    int m_fd = -1;
};

// openat2 of relative beneath dirFd, as described above; "" and "." name
// dirFd itself. The descriptor, or -1 with errno (ELOOP for a symbolic
// link on the way, EXDEV for a way out).
int OpenBeneath(int dirFd, const std::string& relative, int flags, mode_t mode = 0);

// openat2 of path from dirFd (AT_FDCWD, or a directory) following no
// symbolic link anywhere on the way (ELOOP), but free to climb ("..") or to
// start at "/"; for paths resolved already, or single names.
int OpenNoLinks(int dirFd, const std::string& path, int flags);

// Opens what an O_PATH descriptor refers to anew with flags (through
// /proc/self/fd, which re-checks the caller's permissions); O_CREAT, O_EXCL
// and O_NOFOLLOW are dropped. A symbolic link cannot be opened (ELOOP).
int ReopenDescriptor(int pathFd, int flags);
// The /proc/self/fd name of fd, for the calls that have no descriptor form.
std::string DescriptorPath(int fd);

// Splits relative into its directory part ("" for the root) and its last
// name.
void SplitLastName(const std::string& relative, std::string& parent, std::string& name);

// The part of the absolute path below the directory root ("" for root
// itself); false when path does not lie below it as text.
bool RelativeBelow(const std::string& root, const std::string& path, std::string& relative);

// A directory that resolutions start from: its O_PATH descriptor and its
// path (for messages and for making absolute paths relative).
class BeneathRoot {
  public:
    // Opens path, an absolute path already resolved (no link on it: one
    // swapped in since is refused, ELOOP). Valid() tells whether that worked
    // (errno set).
    explicit BeneathRoot(const std::string& path);

    bool Valid() const { return m_fd.Valid(); }
    int Fd() const { return m_fd.Get(); }
    const std::string& Path() const { return m_path; }
    // RelativeBelow the root.
    bool Relative(const std::string& path, std::string& relative) const {
        return RelativeBelow(m_path, path, relative);
    }
    // The absolute path of relative.
    std::string Absolute(const std::string& relative) const;
    int Open(const std::string& relative, int flags, mode_t mode = 0) const {
        return OpenBeneath(Fd(), relative, flags, mode);
    }

  private:
    std::string m_path;
    UniqueFd m_fd;
};
