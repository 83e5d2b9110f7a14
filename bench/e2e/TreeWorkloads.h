// Workloads over a tree of files made beforehand (MakeTree, with plain POSIX
// calls, directly in the export directory): whole reads of many small files
// and LOOKUP / GETATTR across a tree of a million files. Tree layout, under
// config.file: d0000 .. (config.dirs directories), each holding f000000 ..
// (config.files files).
#pragma once

#include <nfsc/libnfs.h>

#include "bench/e2e/BenchTypes.h"

namespace lumebench {

// Opens (LOOKUP) every file of config.file/d0000 untimed, then reads each
// whole file with one 4 KiB READ, config.depth in flight: files/s.
Results SmallFiles(nfs_context* nfs, const BenchConfig& config);

// Looks up the tree's directories untimed, then for config.seconds each:
// LOOKUP of random names across the tree, GETATTR of the handles those
// returned, in a random order: ops/s, config.depth in flight.
Results BigTree(nfs_context* nfs, const BenchConfig& config);

// Local: makes what is missing of the tree in config.localDir/config.file,
// writing config.fileBytes to each file that is shorter (which also leaves
// them in the page cache); two threads.
Results MakeTree(const BenchConfig& config);

// Local: flushes config.localDir/config.file and drops its cached pages.
Results DropCache(const BenchConfig& config);

}  // namespace lumebench
