// The cost of counting a call for the statistics (CallStats.h): what the
// dispatcher adds to every call (the thread's note reset, two clock reads,
// the shard's counters), against the whole of the cheapest call there is, a
// NULL call through RpcDispatcher (which itself counts), at 1, 2 and 8
// threads. x_DispatchNull is the share of a NULL call that counting takes.
#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <cstring>

#include <benchmark/benchmark.h>

#include "bench/Ratios.h"
#include "server/rpc/RpcDispatcher.h"
#include "server/stats/CallStats.h"

namespace {

constexpr uint32_t kProgram = 100003;

class NullProgram : public RpcProgram {
  public:
    uint32_t Number() const override { return kProgram; }
    uint32_t LowVersion() const override { return 3; }
    uint32_t HighVersion() const override { return 3; }
    accept_stat Call(const RpcCall&, XDR*, XDR*) override { return SUCCESS; }
    const char* ProcedureName(uint32_t) const override { return "NULL"; }
};

// xid, CALL, rpcvers 2, program, version 3, procedure 0, AUTH_NONE
// credential and verifier.
struct NullCall {
    uint32_t words[10];
    NullCall() {
        const uint32_t host[10] = {1, 0, 2, kProgram, 3, 0, 0, 0, 0, 0};
        for (int i = 0; i < 10; ++i)
            words[i] = htonl(host[i]);
    }
};

void BM_DispatchNull(benchmark::State& state) {
    static NullProgram program;
    static const RpcProgramTable programs = {{kProgram, &program}};
    RpcDispatcher dispatcher(programs, 64 * 1024);
    const NullCall call;
    const RpcCaller peer;
    RunBaseline(state, "DispatchNull", [&] {
        const uint8_t* reply = nullptr;
        size_t length = 0;
        dispatcher.Handle(reinterpret_cast<const uint8_t*>(call.words), sizeof call.words, peer,
                          reply, length);
        benchmark::DoNotOptimize(reply);
    });
}

void BM_CountCall(benchmark::State& state) {
    CallStats& stats = CallStats::Process();
    RunAgainst(state, "DispatchNull", [&] {
        const auto start = std::chrono::steady_clock::now();
        CallStats::BeginCall();
        const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now() - start);
        stats.Record({kProgram, 0, "NULL", 0, static_cast<uint64_t>(nanos.count()), 40, 24});
    });
}

BENCHMARK(BM_DispatchNull)->Name("DispatchNull")->Threads(1)->Threads(2)->Threads(8);
BENCHMARK(BM_CountCall)->Name("CountCall")->Threads(1)->Threads(2)->Threads(8);

}  // namespace
