// OXPI_FileSystemAgent: reads the saved access list and the library mount
// paths from the state directory.
#include "platform/FileSystemAgent.h"

#include <cerrno>
#include <cstring>

#include <nlohmann/json.hpp>

#include "platform/AtomicFile.h"
#include "platform/LogWriter.h"
#include "platform/StateDir.h"

std::string OXPI_FileSystemAgent::SavedAccessListPath() {
    return GetPlatformStateDir() + "/storage-access-list.json";
}

std::string OXPI_FileSystemAgent::LibraryMountPathsPath() {
    return GetPlatformStateDir() + "/library-mount-paths.json";
}

int OXPI_FileSystemAgent::getStorageAndAccessClientListForLume(std::string& text) {
    std::string path = SavedAccessListPath();
    if (!ReadWholeFile(path, text)) {
        OXLOG(1, 0, "No saved storage access list [%s]: %s", path.c_str(), strerror(errno));
        return 0;
    }
    return 1;
}

int OXPI_FileSystemAgent::getAllMagneticMountPaths(std::list<SMountPath>* paths) {
    std::string path = LibraryMountPathsPath();
    std::string text;
    if (!ReadWholeFile(path, text)) {
        if (errno == ENOENT) {
            paths->clear();
            return 1;
        }
        OXLOG(-1, 0, "Cannot read library mount paths [%s]: %s", path.c_str(), strerror(errno));
        return 0;
    }
    nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    auto list = value.is_object() ? value.find("mountPaths") : value.end();
    if (value.is_discarded() || !value.is_object() || list == value.end() || !list->is_array()) {
        OXLOG(-1, 0, "Library mount paths [%s] are not of the form {\"mountPaths\": [...]}.",
              path.c_str());
        return 0;
    }
    std::list<SMountPath> result;
    for (const nlohmann::json& entry : *list) {
        if (!entry.is_string()) {
            OXLOG(-1, 0, "Library mount paths [%s] hold a value that is not a path.", path.c_str());
            return 0;
        }
        result.push_back({entry.get<std::string>()});
    }
    paths->swap(result);
    return 1;
}
