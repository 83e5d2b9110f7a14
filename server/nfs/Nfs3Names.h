// Checks of the names and paths clients send, made before the module sees
// them (it joins names into paths as given).
//
// A name is one directory entry: not empty, no '/' and no NUL (INVAL), at
// most 255 bytes (NAMETOOLONG). "." and ".." name the directory and its
// parent; making an entry by those names answers EXIST, removing or renaming
// one INVAL, as native servers do. Pure functions; thread-safe.
#pragma once

#include <string>

#include "server/protocol/nfs3.h"

constexpr size_t kNfs3NameMax = 255;
constexpr size_t kNfs3PathMax = 4095;  // a symbolic link's target, as Linux takes it

enum class Nfs3NameUse {
    kLookup,  // "." and ".." allowed
    kCreate,  // CREATE, MKDIR, SYMLINK, MKNOD, LINK
    kRemove,  // REMOVE, RMDIR, both names of RENAME
};

// NFS3_OK with name filled, or the status to answer.
nfsstat3 Nfs3CheckName(const filename3& wire, Nfs3NameUse use, std::string& name);
// A symbolic link's target: not empty, no NUL (INVAL), at most 4095 bytes.
nfsstat3 Nfs3CheckPath(const nfspath3& wire, std::string& path);

inline bool Nfs3IsDotName(const std::string& name) {
    return name == "." || name == "..";
}
