// What this machine knows of its storage, as saved in the state directory:
//   storage-access-list.json  the storage-to-client access list (see
//                             StorageClientList.h), saved by the pull from
//                             the central management server (MountPathPull.h)
//   library-mount-paths.json  the library mount paths:
//                             {"mountPaths": ["/library/a", "/library/b"]}
// Each call reads the files afresh; thread-safe.
#pragma once

#include <list>
#include <string>

class OXPI_FileSystemAgent {
  public:
    struct SMountPath {
        std::string mountPath;
    };

    // The saved access list's path in the state directory.
    static std::string SavedAccessListPath();
    static std::string LibraryMountPathsPath();

    // Nonzero and text filled with the saved access list; 0 when none is
    // saved or it cannot be read.
    int getStorageAndAccessClientListForLume(std::string& text);
    // Nonzero and paths filled (in file order). A machine without a
    // library-mount-paths file has no library mount paths: nonzero and an
    // empty list. 0 when the file cannot be read or is not of the form above.
    int getAllMagneticMountPaths(std::list<SMountPath>* paths);
};
