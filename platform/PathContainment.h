// Whether a path stays inside a directory once the file system resolves it.
//
// Lexical checks cannot see symbolic links: "/data/link/etc" may be "/etc".
// These functions resolve the longest existing leading part of each path
// with realpath(3), as the kernel walks it (a ".." after a link leaves the
// link's target, not the link), and append the rest, so a path that does
// not exist yet is judged by where it would be made.
#pragma once

#include <string>

// The resolved absolute form of path, in RemoveDoubleDots form; "" when it
// cannot be told (a lookup failed for a reason other than a missing name).
std::string ResolveExistingPart(const std::string& path);

// True when path, resolved, is dir or lies below it, resolved.
bool ResolvesWithin(const std::string& path, const std::string& dir);
