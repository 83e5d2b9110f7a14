// The state directory setting, made on first use and never freed, and the
// proof that it is the administrator's.
#include "platform/StateDir.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/BeneathPath.h"
#include "platform/ErrorText.h"
#include "platform/PathUtil.h"
#include "platform/ThreadSafety.h"

namespace {

struct StateDirSetting {
    Mutex mutex;
    bool set GUARDED_BY(mutex) = false;
    std::string dir GUARDED_BY(mutex);
};

// Made on first use and never freed, so it is ready for any static
// initialiser and still there for any static destructor.
StateDirSetting& Setting() {
    static auto* setting = new StateDirSetting;
    return *setting;
}

enum class Place { Above, StateDir };

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why others than root and this process's user may change the directory
// at path; "" when they may not.
std::string Exposure(const std::string& path, const struct stat& found, Place place) {
    const uid_t self = ::geteuid();
    if (!S_ISDIR(found.st_mode))
        return path + " is not a directory";
    if (found.st_uid != 0 && found.st_uid != self)
        return path + " is owned by uid " + std::to_string(found.st_uid) + ", not by root or uid " +
               std::to_string(self);
    const bool stickyRoot = found.st_uid == 0 && (found.st_mode & S_ISVTX);
    if ((found.st_mode & (S_IWGRP | S_IWOTH)) && !(place == Place::Above && stickyRoot))
        return path + " is writable by its group or by others (mode " + Octal(found.st_mode) + ")";
    return std::string();
}

// Why path, a directory to be, could not be opened (errno).
std::string Unopened(const std::string& path) {
    return path + (errno == ENOTDIR ? " is a link or not a directory" : ": " + ErrorText(errno));
}

// Opens name beneath at (or "/" when at is -1) as a directory, no link
// followed, and checks it; path names it in why.
bool OpenChecked(int at, const std::string& name, const std::string& path, Place place,
                 UniqueFd& opened, std::string& why) {
    const int flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(at < 0 ? ::open("/", flags) : ::openat(at, name.c_str(), flags));
    struct stat found {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &found) != 0) {
        why = Unopened(path);
        return false;
    }
    why = Exposure(path, found, place);
    opened = std::move(fd);
    return why.empty();
}

std::string Joined(const std::vector<std::string>& parts, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; ++i)
        path += "/" + parts[i];
    return path.empty() ? "/" : path;
}

// Splits the absolute path into its longest existing prefix, resolved, and
// the components below it that do not exist yet ("." dropped, ".." taking
// the one before). False with why when the prefix cannot be resolved, or a
// ".." would climb out of a directory that does not exist.
bool SplitExisting(const std::string& absolute, std::string& real, std::vector<std::string>& tail,
                   std::string& why) {
    const std::vector<std::string> parts = PathNames(absolute, '/');
    size_t existing = parts.size();
    char resolved[PATH_MAX];
    for (;; --existing) {
        const std::string prefix = Joined(parts, existing);
        if (::realpath(prefix.c_str(), resolved)) {
            real = resolved;
            break;
        }
        if (errno != ENOENT || existing == 0) {
            why = prefix + ": " + ErrorText(errno);
            return false;
        }
    }
    for (size_t i = existing; i < parts.size(); ++i) {
        if (parts[i] == ".." && tail.empty()) {
            why = absolute + ": \"..\" below a directory that does not exist";
            return false;
        }
        if (parts[i] == "..")
            tail.pop_back();
        else if (parts[i] != ".")
            tail.push_back(parts[i]);
    }
    return true;
}

std::string Absolute(const std::string& dir) {
    if (!dir.empty() && dir[0] == '/')
        return dir;
    char cwd[PATH_MAX];
    return std::string(::getcwd(cwd, sizeof cwd) ? cwd : "/") + "/" + dir;
}

}  // namespace

void SetPlatformStateDir(const std::string& dir) {
    StateDirSetting& s = Setting();
    MutexLock guard(s.mutex);
    s.dir = dir;
    s.set = true;
}

std::string GetPlatformStateDir() {
    StateDirSetting& s = Setting();
    MutexLock guard(s.mutex);
    if (s.set)
        return s.dir;
    const char* env = std::getenv("LUME_STATE_DIR");
    return env && *env ? env : "/var/lib/lume";
}

bool ProveStateDir(const std::string& dir, std::string& proved, std::string& why) {
    std::string real;
    std::vector<std::string> tail;
    if (!SplitExisting(Absolute(dir), real, tail, why))
        return false;
    std::vector<std::string> parts = PathNames(real, '/');
    const size_t existing = parts.size();
    parts.insert(parts.end(), tail.begin(), tail.end());
    UniqueFd at;
    if (!OpenChecked(-1, "/", "/", parts.empty() ? Place::StateDir : Place::Above, at, why))
        return false;
    for (size_t i = 0; i < parts.size(); ++i) {
        const std::string path = Joined(parts, i + 1);
        // Made here, in a directory already proved: nobody else put it there.
        if (i >= existing && ::mkdirat(at.Get(), parts[i].c_str(), 0755) != 0 && errno != EEXIST) {
            why = "cannot make " + path + ": " + ErrorText(errno);
            return false;
        }
        UniqueFd next;
        const Place place = i + 1 == parts.size() ? Place::StateDir : Place::Above;
        if (!OpenChecked(at.Get(), parts[i], path, place, next, why))
            return false;
        at = std::move(next);
    }
    proved = Joined(parts, parts.size());
    return true;
}

bool ProveStateSubdir(const std::string& path, std::string& why) {
    UniqueFd fd(::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat found {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &found) != 0) {
        why = Unopened(path);
        return false;
    }
    why = Exposure(path, found, Place::StateDir);
    return why.empty();
}
