// The registry file: reads, and writes under the process mutex and the flock.
#include "platform/OXPlatformInfo.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>

#include "platform/AtomicFile.h"
#include "platform/Directory.h"
#include "platform/ErrorText.h"
#include "platform/LogWriter.h"
#include "platform/StateDir.h"
#include "platform/ThreadSafety.h"

using json = nlohmann::json;

namespace {

const char kFileName[] = "/registry.json";
const char kLockName[] = "/registry.lock";

// The registry as stored. A missing file is an empty registry; so is an
// unreadable or corrupt one, after a message saying so.
json ReadRegistry(const std::string& path) {
    std::string text;
    int err = ReadWholeFile(path, text) ? 0 : errno;
    if (err == ENOENT)
        return json::object();
    if (err != 0) {
        OXLOG(-1, 0, "cannot read registry %s: %s; reading it as empty", path.c_str(),
              ErrorTextAndNumber(err).c_str());
        return json::object();
    }
    json registry = json::parse(text, nullptr, false);
    if (registry.is_discarded() || !registry.is_object()) {
        OXLOG(-1, 0, "registry %s is corrupt; reading it as empty", path.c_str());
        return json::object();
    }
    return registry;
}

// The value at section/key, or null.
const json* Find(const json& registry, const std::string& section, const std::string& key) {
    auto s = registry.find(section);
    if (s == registry.end() || !s->is_object())
        return nullptr;
    auto k = s->find(key);
    return k == s->end() ? nullptr : &*k;
}

// Holds an flock on the registry's lock file while it lives.
class RegistryFileLock {
  public:
    explicit RegistryFileLock(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {
        if (m_fd < 0) {
            m_err = errno;
            return;
        }
        // Bounded: only a signal storm could interrupt this many times.
        for (int attempt = 0; attempt < 1000; ++attempt) {
            if (::flock(m_fd, LOCK_EX) == 0)
                return;
            if ((m_err = errno) != EINTR)
                break;
        }
        ::close(m_fd);
        m_fd = -1;
    }
    ~RegistryFileLock() {
        if (m_fd >= 0)
            ::close(m_fd);  // releases the lock
    }
    RegistryFileLock(const RegistryFileLock&) = delete;
    RegistryFileLock& operator=(const RegistryFileLock&) = delete;

    bool Held() const { return m_fd >= 0; }
    int Error() const { return m_err; }

  private:
    int m_fd;
    int m_err = 0;
};

// Not freed, so that a static destructor may still write.
Mutex& ProcessMutex() {
    static auto* mutex = new Mutex;
    return *mutex;
}

// Reads the registry, lets change alter it and, when change returns true,
// stores the result. True when stored.
bool Update(const std::function<bool(json&)>& change) {
    MutexLock guard(ProcessMutex());
    std::string dir = GetPlatformStateDir();
    CRaError made = CRaDirectory::Create(dir, true);
    if (made.IsError()) {
        OXLOG(-1, 0, "cannot make state directory %s: %s", dir.c_str(), made.AsString().c_str());
        return false;
    }
    RegistryFileLock lock(dir + kLockName);
    if (!lock.Held()) {
        OXLOG(-1, 0, "cannot lock registry in %s: %s", dir.c_str(),
              ErrorTextAndNumber(lock.Error()).c_str());
        return false;
    }
    std::string path = dir + kFileName;
    json registry = ReadRegistry(path);
    if (!change(registry))
        return false;
    std::string text;
    try {
        text = registry.dump(4) + "\n";
    } catch (const json::exception& e) {  // a string that is not UTF-8
        OXLOG(-1, 0, "cannot store registry %s: %s", path.c_str(), e.what());
        return false;
    }
    if (!ReplaceFileAtomically(path, text)) {
        OXLOG(-1, 0, "cannot store registry %s: %s", path.c_str(),
              ErrorTextAndNumber(errno).c_str());
        return false;
    }
    return true;
}

std::string RegistryPath() {
    return GetPlatformStateDir() + kFileName;
}

}  // namespace

int OXPlatformInfo::getNumber(const std::string& section, const std::string& key,
                              unsigned long* value) {
    json registry = ReadRegistry(RegistryPath());
    const json* found = Find(registry, section, key);
    if (!found || !found->is_number_unsigned())
        return 0;
    *value = found->get<unsigned long>();
    return 1;
}

int OXPlatformInfo::getDirectory(const std::string& section, const std::string& key,
                                 std::string* value) {
    json registry = ReadRegistry(RegistryPath());
    const json* found = Find(registry, section, key);
    if (!found || !found->is_string())
        return 0;
    *value = found->get<std::string>();
    return 1;
}

int OXPlatformInfo::setNumber(const std::string& section, const std::string& key,
                              unsigned long value) {
    return Update([&](json& registry) {
        json& s = registry[section];
        if (!s.is_object())
            s = json::object();
        s[key] = value;
        return true;
    });
}

int OXPlatformInfo::setDirectory(const std::string& section, const std::string& key,
                                 const std::string& value) {
    return Update([&](json& registry) {
        json& s = registry[section];
        if (!s.is_object())
            s = json::object();
        s[key] = value;
        return true;
    });
}

int OXPlatformInfo::removeValue(const std::string& section, const std::string& key) {
    return Update([&](json& registry) {
        auto s = registry.find(section);
        if (s == registry.end() || !s->is_object() || s->erase(key) == 0)
            return false;
        if (s->empty())
            registry.erase(s);
        return true;
    });
}
