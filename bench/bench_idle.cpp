// An open adapter nobody sends anything to: both families open, one
// application thread per family waiting without limit for a frame. Counted:
// the CPU of the library's receive threads and of the waiting threads over
// the window. Beside it, a thread that polls the queue until a frame is
// there, as a literal reading of "wait for a frame" would, for the same
// window. Run under the bench's preload:
//   build/run-on-bench.sh build/bench/ycan_bench_idle
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "adapter_bench.h"
#include "drivers/common/receive_thread.h"
#include "thread_cpu.h"
#include "ycan.h"

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kFd = 43;
constexpr uint32_t kClassic = YCAN_TYPE_USBCAN_4;

duration<double> window() { return ycanbench::quick() ? 0.5s : 5.0s; }

void BM_IdleWaiting(benchmark::State& state) {
    ycanbench::adapters();
    for (auto _ : state) {
        if (!ycanbench::openAndStart(kFd) || !ycanbench::openAndStart(kClassic)) {
            state.SkipWithError("open failed");
            break;
        }
        std::atomic<pid_t> fdWaiter{0}, classicWaiter{0};
        std::thread fd([&] {
            fdWaiter = gettid();
            _YCAN_CANFD_OBJ f;
            YCAN_ReceiveFD(kFd, 0, 0, &f, 1, -1);
        });
        std::thread classic([&] {
            classicWaiter = gettid();
            _YCAN_CAN_OBJ f;
            YCAN_Receive(kClassic, 0, 0, &f, 1, -1);
        });
        while (fdWaiter == 0 || classicWaiter == 0) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(100ms);  // everyone settled in their wait
        auto threads = ycanbench::threadsNamed(ycan::ReceiveThread::kThreadName);
        const size_t receiveThreads = threads.size();
        threads.push_back(fdWaiter);
        threads.push_back(classicWaiter);
        const double cpu0 = ycanbench::threadsCpuSeconds(threads);
        const double process0 = ycanbench::processCpuSeconds();
        const auto t0 = steady_clock::now();
        std::this_thread::sleep_for(window());
        const double wall = duration<double>(steady_clock::now() - t0).count();
        const double cpu = ycanbench::threadsCpuSeconds(threads) - cpu0;
        const double process = ycanbench::processCpuSeconds() - process0;
        // Closing lets both waiters go.
        YCAN_CloseDevice(kFd, 0);
        YCAN_CloseDevice(kClassic, 0);
        fd.join();
        classic.join();
        state.counters["cpu_ms"] = cpu * 1000;
        state.counters["core_pct"] = cpu / wall * 100;
        state.counters["process_core_pct"] = process / wall * 100;
        state.counters["receive_threads"] = static_cast<double>(receiveThreads);
    }
}

void BM_IdlePolling(benchmark::State& state) {
    ycanbench::adapters();
    for (auto _ : state) {
        if (!ycanbench::openAndStart(kFd)) {
            state.SkipWithError("open failed");
            break;
        }
        double cpu = 0;
        double wall = 0;
        std::thread poller([&] {
            const double cpu0 = ycanbench::ownCpuSeconds();
            const auto t0 = steady_clock::now();
            const auto end = t0 + window();
            while (YCAN_GetReceiveNum(kFd, 0, 0, 1) == 0 && steady_clock::now() < end) {
            }
            wall = duration<double>(steady_clock::now() - t0).count();
            cpu = ycanbench::ownCpuSeconds() - cpu0;
        });
        poller.join();
        YCAN_CloseDevice(kFd, 0);
        state.counters["cpu_ms"] = cpu * 1000;
        state.counters["core_pct"] = cpu / wall * 100;
    }
}

}  // namespace

BENCHMARK(BM_IdleWaiting)->Name("Idle/waiting")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdlePolling)->Name("Idle/polling")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
