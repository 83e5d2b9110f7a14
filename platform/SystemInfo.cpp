// Processor count and random numbers from the system, unless a test's seam
// gives them.
#include "platform/SystemInfo.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform/LogWriter.h"

namespace {

struct Seams {
    std::function<int()> processorCount;
    std::function<unsigned long long()> rand64;
};

// Never freed, so the seams outlive every static destructor that asks.
Seams& TheSeams() {
    static auto* seams = new Seams;
    return *seams;
}

// getrandom may be interrupted before the pool is ready; a few tries are
// plenty, and the fallback keeps a caller going should the call be missing.
unsigned long long SystemRand64() {
    unsigned long long value = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    size_t got = 0;
    for (int attempt = 0; attempt < 100 && got < sizeof(value); ++attempt) {
        ssize_t n = getrandom(bytes + got, sizeof(value) - got, 0);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            break;
    }
    if (got == sizeof(value))
        return value;
    OXLOG(-1, 0, "getrandom failed: %s; using std::random_device", std::strerror(errno));
    std::random_device device;
    return (static_cast<unsigned long long>(device()) << 32) ^ device();
}

}  // namespace

unsigned long long GetRand64() {
    const Seams& seams = TheSeams();
    return seams.rand64 ? seams.rand64() : SystemRand64();
}

int GetLogicalProcessorCount() {
    const Seams& seams = TheSeams();
    if (seams.processorCount)
        return seams.processorCount();
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count >= 1 ? static_cast<int>(count) : 1;
}

namespace PlatformSeam {

void SetLogicalProcessorCount(std::function<int()> source) {
    TheSeams().processorCount = std::move(source);
}

void SetRand64(std::function<unsigned long long()> source) {
    TheSeams().rand64 = std::move(source);
}

}  // namespace PlatformSeam
