// Costs of the support services on the hot paths: the secured packet of the
// function set, the clock read in every wait loop, and a log call below the
// configured level (which must cost next to nothing).
#include <benchmark/benchmark.h>

#include "support/QUserLog.h"
#include "support/clock.h"
#include "support/yorvProcotol.h"

static void BM_FunctionSetPackUnpack(benchmark::State& state) {
    uint8_t payload[2] = {0, 0};
    uint8_t packet[64];
    uint8_t out[64];
    for (auto _ : state) {
        int len = yorvProcotolPack(packet, sizeof packet, 7, true, payload, 2);
        benchmark::DoNotOptimize(yorvProcotolUnPack(packet, len, out, sizeof out));
    }
}
BENCHMARK(BM_FunctionSetPackUnpack);

static void BM_ClockRead(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(getLapseMicroSec(0));
}
BENCHMARK(BM_ClockRead);

static void BM_LogBelowLevel(benchmark::State& state) {
    QUserLog* log = QUserLog::GetInstance();
    for (auto _ : state) log->Trace("dropped %d", 42);
}
BENCHMARK(BM_LogBelowLevel);
