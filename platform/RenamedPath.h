// Following a path recorded once to where its object is now, when a
// directory on the way was renamed in place since.
//
// The path is resolved a name at a time beneath a directory, following no
// symbolic link, so its length bounds nothing. Where a directory on the way
// no longer holds the next name, the first of its subdirectories that holds
// the name after it stands in for it: one renamed directory per level is
// followed, a move to another depth is not. What is reached is only a
// candidate: the caller proves it is the object it looks for.
// Thread safety: plain system calls under the calling thread's identity
// (which needs search and read rights on the way); nothing shared.
#pragma once

#include <string>

// Opens relative beneath topFd with flags (O_PATH | O_NOFOLLOW for the
// object itself) as described above: the descriptor, with found the names
// that led to it ("" names topFd itself), or -1 with errno (ENOENT when
// nothing stands in, EINVAL for an empty name, "." or "..").
int OpenRenamed(int topFd, const std::string& relative, int flags, std::string& found);
