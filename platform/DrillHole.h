// Punching holes in files.
#pragma once

#include <string>

// Frees the storage of [offset, offset + length) in the file open for writing
// on fd; the file keeps its size and the range reads back as zeros.
// 0 on success (a zero length punches nothing). Otherwise -1 with errno set
// and err describing the failure; a negative offset or length is EINVAL.
int DrillHole(int fd, long long offset, long long length, std::string& err);
