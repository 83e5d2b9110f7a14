// ACCESS as the kernel would answer it locally for the caller: the POSIX
// ACL of a regular file counts, read from a kept descriptor of it, else
// from one opened read-only with the server's identity (it reads the rules
// only, never data, and only of the file the handle resolved). Other
// objects are judged by their mode bits.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "server/nfs/Nfs3Request.h"

// The ACCESS3 bits of wanted the caller may use on object (attributes st).
uint32_t Nfs3FileAccess(Nfs3Request& req, const Nfs3Request::Object& object, const struct stat& st,
                        uint32_t wanted);
