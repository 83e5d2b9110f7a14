// The owner of a regular file may change its data whatever the file's mode
// says, as a local owner could (it may always chmod its own file): a file
// created read-only (CREATE with mode 0444, or EXCLUSIVE then SETATTR of
// the mode) is still written by its creator's WRITEs and size changes.
//
// The kernel refuses the caller's identity such an open, so it is made with
// the server's own identity (Nfs3Request::AsServer), only after the caller
// was found to own the file, only for a regular file, and only on the
// object the handle resolved (reopened from its descriptor, no path walked
// again); what was opened is checked again to be owned by the caller.
// Nobody else gains anything: another caller is judged as before.
#pragma once

#include <sys/stat.h>

#include <memory>

#include "server/nfs/Nfs3OpenFiles.h"
#include "server/nfs/Nfs3Request.h"

// Whether the caller owns the regular file with attributes st.
bool Nfs3OwnsFile(const Nfs3Request& req, const struct stat& st);

// A use of object's descriptor for writing (fileId: its unique id): opened
// with the caller's identity, or, when the kernel refuses that (EACCES) to
// the file's owner, with the server's. Null with errno set when none.
std::unique_ptr<Nfs3OpenFiles::Use> Nfs3AcquireForWrite(Nfs3Request& req,
                                                        const Nfs3Request::Object& object,
                                                        unsigned long fileId,
                                                        const struct stat& st);

// SETATTR's size change of object (attributes current): ISDIR for a
// directory, INVAL for anything but a regular file, FBIG for a size no file
// reaches (Nfs3Offsets.h); the owner's refused truncate is made again with
// the server's identity.
nfsstat3 Nfs3SetSize(Nfs3Request& req, const Nfs3Request::Object& object,
                     const struct stat& current, uint64_t size);
