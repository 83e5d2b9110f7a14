#include "bench/e2e/ChurnWorkload.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "bench/e2e/NfsMount.h"
#include "bench/e2e/NfsPipeline.h"

namespace lumebench {

namespace {

// Call number `call` of a churn of `cycles` files, `window` existing at most:
// the first `window` calls create, then removes and creates alternate (the
// remove first, so the window never holds one more), and the last `window`
// calls remove what is left.
struct ChurnCall {
    bool create;
    uint64_t file;
};

ChurnCall ChurnStep(uint64_t call, uint64_t cycles, uint64_t window) {
    if (call < window)
        return {true, call};
    if (call >= 2 * cycles - window)
        return {false, call - cycles};
    const uint64_t step = call - window;
    return step % 2 == 0 ? ChurnCall{false, step / 2} : ChurnCall{true, window + step / 2};
}

}  // namespace

Results Churn(nfs_context* nfs, const BenchConfig& config) {
    const std::string dir = "/" + config.file;
    const int made = nfs_mkdir(nfs, dir.c_str());
    if (made != 0 && made != -EEXIST)
        Fail(nfs, "mkdir " + dir);
    if (nfs_chdir(nfs, dir.c_str()) != 0)
        Fail(nfs, "chdir " + dir);
    const std::string prefix = "c" + std::to_string(::getpid()) + ".";
    const uint64_t cycles = config.files, window = std::min(kChurnWindow, cycles);
    const uint64_t calls = 2 * cycles;
    NfsPipeline pipeline(nfs, 1);
    Clock::time_point start = Clock::now();
    const uint64_t done = pipeline.Run(
        calls, After(config.capSeconds),
        [&](uint64_t i, void* tag) {
            const ChurnCall call = ChurnStep(i, cycles, window);
            const std::string name = prefix + std::to_string(call.file);
            return call.create ? nfs_creat_async(nfs, name.c_str(), 0644, NfsPipeline::OnNfs, tag)
                               : nfs_unlink_async(nfs, name.c_str(), NfsPipeline::OnNfs, tag);
        },
        [&](uint64_t i, void* data) {
            if (ChurnStep(i, cycles, window).create)  // local to libnfs for NFSv3: nothing is sent
                nfs_close(nfs, static_cast<nfsfh*>(data));
        });
    PhaseResult r = OpsPhase("churn", done / 2, cycles, start);
    r.unit = "cycles/s";
    return {r};
}

}  // namespace lumebench
