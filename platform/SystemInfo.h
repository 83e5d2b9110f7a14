// Processor count and random numbers, with a seam through which tests steer
// both. A source set through the seam is used until it is cleared with an
// empty function; set and clear sources only while no other thread calls.
#pragma once

#include <functional>

// A random 64-bit number from the system's entropy pool.
unsigned long long GetRand64();
// The number of logical processors online (at least 1).
int GetLogicalProcessorCount();

namespace PlatformSeam {
void SetLogicalProcessorCount(std::function<int()> source);
void SetRand64(std::function<unsigned long long()> source);
}  // namespace PlatformSeam
