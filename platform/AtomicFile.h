// Whole-file reads and atomic replacement of small state files. Neither
// follows a symbolic link at the file's own name, and files are made 0600:
// state files are the administrator's (StateDir.h).
#pragma once

#include <string>

// True and content filled with the whole file; false with errno set (ELOOP
// when path is a symbolic link).
bool ReadWholeFile(const std::string& path, std::string& content);

// Replaces path with content so that readers see the old file or the new one,
// never a mix: a temporary file in the same directory (made anew, mode 0600),
// fsync, rename, fsync of the directory. A link at path is replaced, never
// followed. False with errno set and nothing replaced on failure.
bool ReplaceFileAtomically(const std::string& path, const std::string& content);
