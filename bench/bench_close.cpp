// Close latency of an idle adapter with a receiver waiting without limit on
// it, and how long after the close began that receiver was let go; both
// families, on virtual adapters. Run under the bench's preload:
//   build/run-on-bench.sh build/bench/ycan_bench_close
// Counters: close_ms and release_ms (means over the iterations).
#include <benchmark/benchmark.h>

#include <chrono>
#include <future>
#include <memory>

#include "sim/canfd/canfd_adapter.h"
#include "sim/bench/usb_bench.h"
#include "sim/usbcan/usbcan_adapter.h"
#include "ycan.h"

namespace {

struct Adapters {
    ycansim::UsbBench bench;
    Adapters() {
        bench.addDevice(ycansim::canFdLayout(43), std::make_shared<ycansim::VirtualCanFdAdapter>(43));
        bench.addDevice(ycansim::usbCanLayout(), std::make_shared<ycansim::VirtualUsbCanAdapter>());
    }
};

Adapters& adapters() {
    static Adapters a;
    return a;
}

bool openAndInit(uint32_t type) {
    if (YCAN_OpenDevice(type, 0) != 1) return false;
    if (type == 4) {
        _YCAN_INIT_CONFIG c{};
        c.BusTiming1 = 0x14;
        return YCAN_InitCAN(type, 0, 0, &c) == 1;
    }
    _YCAN_INITFD_CONFIG c{};
    c.AbitBaudRate = 1000000;
    c.DbitBaudRate = 5000000;
    c.FdEnable = 1;
    return YCAN_InitCANFD(type, 0, 0, &c) == 1;
}

void BM_CloseWithWaitingReceiver(benchmark::State& state) {
    adapters();
    const auto type = static_cast<uint32_t>(state.range(0));
    double closeMs = 0, releaseMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!openAndInit(type)) {
            state.SkipWithError("open failed");
            break;
        }
        auto waiter = std::async(std::launch::async, [type] {
            _YCAN_CAN_OBJ f[1];
            YCAN_Receive(type, 0, 0, f, 1, -1);
            return std::chrono::steady_clock::now();
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        state.ResumeTiming();
        const auto t0 = std::chrono::steady_clock::now();
        YCAN_CloseDevice(type, 0);
        const auto t1 = std::chrono::steady_clock::now();
        state.PauseTiming();
        const auto released = waiter.get();
        closeMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
        releaseMs += std::chrono::duration<double, std::milli>(released - t0).count();
        state.ResumeTiming();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["close_ms"] = closeMs / n;
    state.counters["release_ms"] = releaseMs / n;
}

}  // namespace

BENCHMARK(BM_CloseWithWaitingReceiver)->Arg(43)->Arg(4)->Iterations(20)->Unit(benchmark::kMillisecond)
    ->UseRealTime();
