// The lexical path utilities of PathUtil.h.
#include "platform/PathUtil.h"

#include <vector>

std::vector<std::string> PathNames(const std::string& path, char separator) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(separator, start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

namespace {

// The components of path, with "", "." and resolvable ".." taken out.
std::vector<std::string> NormalComponents(const std::string& path, char separator, bool absolute) {
    std::vector<std::string> kept;
    for (std::string& part : PathNames(path, separator)) {
        if (part == ".")
            continue;
        if (part != "..")
            kept.push_back(std::move(part));
        else if (!kept.empty() && kept.back() != "..")
            kept.pop_back();
        else if (!absolute)
            kept.push_back(std::move(part));  // nothing to take away: it stays
    }
    return kept;
}

}  // namespace

std::string RemoveDoubleDots(const std::string& path, char separator) {
    if (path.empty())
        return path;
    bool absolute = path[0] == separator;
    std::string result = absolute ? std::string(1, separator) : std::string();
    bool first = true;
    for (const std::string& part : NormalComponents(path, separator, absolute)) {
        if (!first)
            result += separator;
        result += part;
        first = false;
    }
    return result;
}

void RemoveDuplicates(std::string& path, char separator) {
    size_t out = 0;
    for (size_t in = 0; in < path.size(); ++in) {
        if (path[in] == separator && out > 0 && path[out - 1] == separator)
            continue;
        path[out++] = path[in];
    }
    path.resize(out);
}

void DirName(const std::string& path, std::string& parent) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) {  // "" or only separators
        parent = path.empty() ? "." : "/";
        return;
    }
    size_t slash = path.rfind('/', end);
    if (slash == std::string::npos) {
        parent = ".";
        return;
    }
    size_t last = path.find_last_not_of('/', slash);
    parent = last == std::string::npos ? "/" : path.substr(0, last + 1);
}
