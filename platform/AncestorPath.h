// The names that lead from a directory down to a directory beneath it,
// found from below: the lower one is held open, and each level's name is
// read in its parent, reached by "..", until the upper one is met. No path
// is handed to the kernel whole, so depth bounds nothing but the walk's
// own level count; what renamed any level in between changes only the
// names found.
//
// A level's name is found by the entry of its parent that holds the same
// (device, inode): a hint is tried first (one fstatat), else the parent is
// read through. A walk that reaches the top of the namespace, crosses onto
// another device, or passes kMostLevels without meeting the upper
// directory fails: the lower one does not lie beneath it.
// Thread safety: plain system calls on the caller's descriptors, under the
// calling thread's identity (which needs search and read rights on the
// levels between); nothing shared.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr size_t kMostLevels = size_t(1) << 16;

// The names from the directory open on topFd down to the directory open on
// dirFd, joined by '/' ("" when both are one directory). hints are paths
// relative to topFd that may lead there: a level k steps above the bottom
// first tries the name k places from the end of each. 0, or -1 with errno:
// EXDEV when dirFd does not lie beneath topFd, ELOOP past kMostLevels,
// ENOENT when a level's name is not found (moved meanwhile), or a system
// call's own.
int AncestorPath(int topFd, int dirFd, const std::vector<std::string>& hints,
                 std::string& relative);
