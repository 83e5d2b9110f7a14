// Lexical path utilities; none of them touches the file system.
#pragma once

#include <string>
#include <vector>

// The names of path in order, the empty ones (from a leading, doubled or
// trailing separator) left out; "." and ".." are kept as they are.
std::vector<std::string> PathNames(const std::string& path, char separator);

// A normalised copy: empty and "." components dropped, each ".." takes away
// the component before it (at the root of an absolute path it is dropped;
// at the front of a relative path it is kept), runs of separators become
// one, no trailing separator except for the root. "" stays "", and so does
// a relative path with nothing left ("a/..").
std::string RemoveDoubleDots(const std::string& path, char separator);

// Collapses each run of separators into one, in place.
void RemoveDuplicates(std::string& path, char separator);

// The parent directory as dirname(3) gives it: "/x/y/z" -> "/x/y",
// "/x" -> "/", "/" -> "/", "x" -> ".", "" -> "."; trailing separators of the
// path are ignored.
void DirName(const std::string& path, std::string& parent);
