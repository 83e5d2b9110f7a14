// The host's one conversion of an errno into an NFS v3 status.
//
// The same errno can mean different things depending on what failed: ENOENT
// of a name the client looked up is NOENT, but ENOENT of the object behind a
// handle means the handle no longer names a file, which is STALE.
// Pure functions; thread-safe.
#pragma once

#include "server/protocol/nfs3.h"

enum class Nfs3ErrnoSite {
    kName,    // a name inside a directory (LOOKUP, CREATE, REMOVE, ...)
    kHandle,  // the object a client's handle stands for
};

nfsstat3 Nfs3StatusOfErrno(int err, Nfs3ErrnoSite site = Nfs3ErrnoSite::kName);
