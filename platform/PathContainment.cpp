// ResolveExistingPart and ResolvesWithin over realpath(3).
#include "platform/PathContainment.h"

#include <cerrno>
#include <cstdlib>

#include "platform/PathUtil.h"

namespace {

// The most components a resolution walks back through.
constexpr int kMaxComponents = 4096;

}  // namespace

std::string ResolveExistingPart(const std::string& path) {
    std::string head = path;
    RemoveDuplicates(head, '/');
    if (head.size() > 1 && head.back() == '/')
        head.pop_back();
    std::string tail;
    for (int i = 0; i < kMaxComponents && !head.empty(); ++i) {
        if (char* real = realpath(head.c_str(), nullptr)) {
            std::string resolved = RemoveDoubleDots(std::string(real) + "/" + tail, '/');
            free(real);
            return resolved;
        }
        if (errno != ENOENT)
            return "";
        size_t slash = head.find_last_of('/');
        if (slash == std::string::npos)
            return "";
        tail = head.substr(slash + 1) + (tail.empty() ? "" : "/" + tail);
        head.erase(slash == 0 ? 1 : slash);
    }
    return "";
}

bool ResolvesWithin(const std::string& path, const std::string& dir) {
    std::string resolvedPath = ResolveExistingPart(path);
    std::string resolvedDir = ResolveExistingPart(dir);
    if (resolvedPath.empty() || resolvedDir.empty())
        return false;
    if (resolvedDir.back() != '/')
        resolvedDir += '/';
    return resolvedPath + "/" == resolvedDir ||
           resolvedPath.compare(0, resolvedDir.size(), resolvedDir) == 0;
}
