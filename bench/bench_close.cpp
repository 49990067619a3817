// Closing and recovering, both families, on virtual adapters. Run under the
// bench's preload: build/run-on-bench.sh build/bench/ycan_bench_close
//   Close      close latency of an open adapter with a receiver waiting
//              without limit on it, and how long after the close began that
//              receiver was let go (close_ms, release_ms: means).
//   Recovery   the adapter is pulled out while frames arrive every
//              millisecond and plugged back in; the time from the replug to
//              the first frame an application thread receives
//              (replug_to_frame_ms: median and max over the cycles).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "adapter_bench.h"
#include "ycan.h"

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

void BM_Close(benchmark::State& state) {
    ycanbench::adapters();
    const auto type = static_cast<uint32_t>(state.range(0));
    double closeMs = 0, releaseMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!ycanbench::openAndStart(type)) {
            state.SkipWithError("open failed");
            break;
        }
        auto waiter = std::async(std::launch::async, [type] {
            _YCAN_CAN_OBJ f[1];
            YCAN_Receive(type, 0, 0, f, 1, -1);
            return steady_clock::now();
        });
        std::this_thread::sleep_for(20ms);
        state.ResumeTiming();
        const auto t0 = steady_clock::now();
        YCAN_CloseDevice(type, 0);
        const auto t1 = steady_clock::now();
        state.PauseTiming();
        const auto released = waiter.get();
        closeMs += duration<double, std::milli>(t1 - t0).count();
        releaseMs += duration<double, std::milli>(released - t0).count();
        state.ResumeTiming();
    }
    const double n = static_cast<double>(std::max<int64_t>(1, state.iterations()));
    state.counters["close_ms"] = closeMs / n;
    state.counters["release_ms"] = releaseMs / n;
}

void BM_Recovery(benchmark::State& state) {
    auto& a = ycanbench::adapters();
    const auto type = static_cast<uint32_t>(state.range(0));
    const bool fd = type == 43;
    ycansim::VirtualDevice& dev = fd ? *a.fdDevice : *a.classicDevice;
    const int cycles = ycanbench::quick() ? 1 : 5;
    if (!ycanbench::openAndStart(type)) {
        state.SkipWithError("open failed");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<int64_t> replugAt{0};      // ns, 0 while not waiting
    std::atomic<int64_t> firstFrameAt{0};  // ns, of the first frame after it
    auto nowNs = [] { return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count(); };
    std::thread bus([&] {
        for (uint32_t id = 0; !stop; ++id) {
            if (fd)
                a.fd->fromBus(dev, {ycanbench::fdFrame(id, id)});
            else
                a.classic->fromBus(dev, {ycanbench::classicFrame(id, id)});
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread app([&] {
        while (!stop) {
            int n;
            if (fd) {
                _YCAN_CANFD_OBJ f[64];
                n = YCAN_ReceiveFD(type, 0, 0, f, 64, 50);
            } else {
                _YCAN_CAN_OBJ f[64];
                n = YCAN_Receive(type, 0, 0, f, 64, 50);
            }
            const int64_t since = replugAt.load();
            if (n > 0 && since != 0 && firstFrameAt.load() == 0) firstFrameAt = nowNs();
        }
    });
    std::vector<double> ms;
    for (auto _ : state) {
        for (int c = 0; c < cycles; ++c) {
            a.bench.unplug(dev);
            std::this_thread::sleep_for(300ms);  // the library has seen it go
            firstFrameAt = 0;
            replugAt = nowNs();
            a.bench.replug(dev);
            const auto giveUp = steady_clock::now() + 10s;
            while (firstFrameAt.load() == 0 && steady_clock::now() < giveUp) std::this_thread::sleep_for(1ms);
            if (firstFrameAt.load() == 0) {
                state.SkipWithError("no frame after the replug");
                break;
            }
            ms.push_back(static_cast<double>(firstFrameAt.load() - replugAt.load()) / 1e6);
            replugAt = 0;
            std::this_thread::sleep_for(100ms);
        }
    }
    stop = true;
    bus.join();
    app.join();
    YCAN_CloseDevice(type, 0);
    a.bench.capture().clear();
    std::sort(ms.begin(), ms.end());
    state.counters["replug_to_frame_ms"] = ms.empty() ? 0 : ms[ms.size() / 2];
    state.counters["replug_to_frame_max_ms"] = ms.empty() ? 0 : ms.back();
    state.counters["cycles"] = static_cast<double>(ms.size());
}

}  // namespace

BENCHMARK(BM_Close)
    ->Name("Close/canfd")
    ->Arg(43)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Close)
    ->Name("Close/classic")
    ->Arg(4)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Recovery)
    ->Name("Recovery/canfd")
    ->Arg(43)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Recovery)
    ->Name("Recovery/classic")
    ->Arg(4)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
