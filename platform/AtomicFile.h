// Whole-file reads and atomic replacement of small state files.
#pragma once

#include <string>

// True and content filled with the whole file; false with errno set.
bool ReadWholeFile(const std::string& path, std::string& content);

// Replaces path with content so that readers see the old file or the new one,
// never a mix: a temporary file in the same directory, fsync, rename, fsync of
// the directory. False with errno set and nothing replaced on failure.
bool ReplaceFileAtomically(const std::string& path, const std::string& content);
