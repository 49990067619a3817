// The whole receive path through the real libusb and a virtual CAN FD
// adapter, in one process: the adapter offers frames as a busy bus would,
// the library's receive thread reads them, an application thread takes
// them. Beside each figure, the same measured on the emulation alone (a
// device read through the transport without any driver). Run under the
// bench's preload: build/run-on-bench.sh build/bench/ycan_bench_end_to_end
//
// Counters:
//   EndToEnd   offered and achieved frames/s; CPU of the library's receive
//              thread per transfer, per frame and in % of one core; frames
//              per transfer; beside it the CPU per transfer of a thread that
//              only reads the emulation in the same shape (bare_...).
//   Latency    from the adapter completing an IN transfer to YCAN_ReceiveFD
//              returning the frame on another thread: median and 99th
//              percentile; the same for YCAN_ReceiveAll waiting for every
//              channel, and for a thread in poll() on the event descriptor
//              that then takes the frame; BareLatency the same to the
//              transport's read returning.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <poll.h>
#include <vector>

#include "adapter_bench.h"
#include "drivers/common/receive_thread.h"
#include "thread_cpu.h"
#include "ycan.h"

using namespace std::chrono;
using namespace std::chrono_literals;
using ycanbench::adapters;

namespace {

constexpr uint32_t kFd = 43;
// Identifiers keep counting across windows (29 bits wrap far beyond a run).
uint32_t frameBase = 0;

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// One window of traffic and what the reading thread cost in it.
struct Window {
    bool ok = false;
    uint32_t frames = 0;
    double wall = 0;       // first frame due to last frame taken, s
    double readerCpu = 0;  // s
    double appCpu = 0;     // s
    size_t transfers = 0;
};

// The library: a bus thread (this one) offers `rate` 8-byte FD frames/s, each
// millisecond the frames due by then with the time they were due as their
// tag; the adapter holds them until the receive thread polls; an
// application thread takes them. Every frame must arrive, in order.
Window libraryWindow(double rate, double seconds) {
    auto& a = adapters();
    ycansim::VirtualDevice& dev = *a.fdDevice;
    Window w;
    const auto total = static_cast<uint32_t>(rate * seconds);
    dev.waitPendingIn(0x83, 1, 2s);
    a.bench.capture().clear();
    const auto rx = ycanbench::threadsNamed(ycan::ReceiveThread::kThreadName);
    const double rxCpu0 = ycanbench::threadsCpuSeconds(rx);
    bool inOrder = true;
    uint32_t received = 0;
    steady_clock::time_point lastAt{};
    std::thread app([&] {
        const double cpu0 = ycanbench::ownCpuSeconds();
        std::vector<_YCAN_CANFD_OBJ> buf(512);
        const auto giveUp = steady_clock::now() + duration<double>(seconds + 10);
        while (received < total && steady_clock::now() < giveUp) {
            const int n = YCAN_ReceiveFD(kFd, 0, 0, buf.data(), static_cast<uint32_t>(buf.size()), 100);
            for (int i = 0; i < n; ++i)
                if (buf[static_cast<size_t>(i)].ID != (frameBase + received++)) inOrder = false;
            if (n > 0) lastAt = steady_clock::now();
        }
        w.appCpu = ycanbench::ownCpuSeconds() - cpu0;
    });
    const auto t0 = steady_clock::now();
    const uint64_t t0Us = ycansim::UsbBench::nowUs();
    uint32_t offered = 0;
    for (int tick = 1; offered < total; ++tick) {
        std::this_thread::sleep_until(t0 + tick * 1ms);
        const double due = std::min<double>(total, duration<double>(steady_clock::now() - t0).count() * rate);
        std::vector<ycansim::BusFrame> batch;
        for (; offered < static_cast<uint32_t>(due); ++offered)
            batch.push_back(ycanbench::fdFrame(
                frameBase + offered,
                static_cast<uint32_t>(t0Us + static_cast<uint64_t>(offered / rate * 1e6))));
        if (!batch.empty()) a.fd->fromBus(dev, batch);
    }
    app.join();
    frameBase += total;
    w.readerCpu = ycanbench::threadsCpuSeconds(rx) - rxCpu0;
    w.transfers = a.bench.capture().select(dev.id(), ycansim::UsbEvent::In, 0x83).size();
    a.bench.capture().clear();
    w.frames = received;
    w.wall = duration<double>(lastAt - t0).count();
    w.ok = received == total && inOrder && w.transfers > 0;
    return w;
}

// The emulation alone, in the same shape: a thread waits in the
// transport's 4096-byte read of a plain device and wakes a waiting
// application thread after each transfer, and every millisecond the device
// completes the read with 50 FD records' worth of bytes. No driver.
Window bareWindow(double seconds) {
    auto& a = adapters();
    Window w;
    const auto transfers = static_cast<int>(seconds * 1000);
    const std::vector<uint8_t> chunk(50 * 75 + 5 * 7, 0x5A);
    std::mutex lock;
    std::condition_variable woken;
    int read = 0, seen = 0;
    std::thread app([&] {
        const double cpu0 = ycanbench::ownCpuSeconds();
        std::unique_lock guard(lock);
        while (seen < transfers && woken.wait_for(guard, 1s, [&] { return read > seen; })) seen = read;
        w.appCpu = ycanbench::ownCpuSeconds() - cpu0;
    });
    std::thread reader([&] {
        const double cpu0 = ycanbench::ownCpuSeconds();
        uint8_t buf[4096];
        for (int n = 0; n < transfers && a.plain->bulkReadUSBDevice(buf, sizeof buf, 0x83, 1000) > 0; ++n) {
            {
                std::lock_guard guard(lock);
                ++read;
            }
            woken.notify_all();
        }
        w.readerCpu = ycanbench::ownCpuSeconds() - cpu0;
    });
    const auto t0 = steady_clock::now();
    for (int i = 0; i < transfers; ++i) {
        a.plainDevice->waitPendingIn(0x83, 1, 2s);
        std::this_thread::sleep_until(t0 + (i + 1) * 1ms);
        a.plainDevice->pushIn(0x83, chunk);
    }
    reader.join();
    app.join();
    a.bench.capture().clear();
    w.wall = duration<double>(steady_clock::now() - t0).count();
    w.transfers = static_cast<size_t>(read);
    w.ok = read == transfers;
    return w;
}

double median(std::vector<double> v) { return percentile(std::move(v), 0.5); }

// Windows of the bare emulation and of the library, taken in turn so that
// both see the same machine; medians over the windows.
void BM_EndToEnd(benchmark::State& state) {
    const double rate = static_cast<double>(state.range(0));
    const int rounds = ycanbench::quick() ? 1 : 6;
    const double seconds = ycanbench::quick() ? 0.3 : 1.0;
    if (!ycanbench::openAndStart(kFd)) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state) {
        std::vector<double> achieved, rxPerTransfer, barePerTransfer, ownPerTransfer, rxCore, appCore,
            perTransfer, transfersPerS;
        for (int r = 0; r < rounds; ++r) {
            const Window bare = bareWindow(seconds);
            const Window lib = libraryWindow(rate, seconds);
            if (!bare.ok || !lib.ok) {
                state.SkipWithError(bare.ok ? "frames lost or out of order"
                                            : "a bare transfer did not arrive");
                break;
            }
            achieved.push_back(lib.frames / lib.wall);
            rxPerTransfer.push_back(lib.readerCpu / static_cast<double>(lib.transfers) * 1e6);
            barePerTransfer.push_back(bare.readerCpu / static_cast<double>(bare.transfers) * 1e6);
            ownPerTransfer.push_back(rxPerTransfer.back() - barePerTransfer.back());
            rxCore.push_back(lib.readerCpu / lib.wall * 100);
            appCore.push_back(lib.appCpu / lib.wall * 100);
            perTransfer.push_back(static_cast<double>(lib.frames) / static_cast<double>(lib.transfers));
            transfersPerS.push_back(static_cast<double>(lib.transfers) / lib.wall);
        }
        if (achieved.size() != static_cast<size_t>(rounds)) break;
        state.counters["offered/s"] = rate;
        state.counters["achieved/s"] = median(achieved);
        state.counters["rx_cpu_us/transfer"] = median(rxPerTransfer);
        state.counters["bare_cpu_us/transfer"] = median(barePerTransfer);
        // The machine's speed drifts over seconds (a shared virtual machine):
        // the library's own share is taken window pair by window pair.
        state.counters["own_cpu_us/transfer"] = median(ownPerTransfer);
        state.counters["own_core_pct"] = median(ownPerTransfer) * median(transfersPerS) / 1e4;
        state.counters["rx_cpu_us/frame"] = median(rxPerTransfer) / median(perTransfer);
        state.counters["rx_core_pct"] = median(rxCore);
        state.counters["app_core_pct"] = median(appCore);
        state.counters["frames/transfer"] = median(perTransfer);
        state.counters["transfers/s"] = median(transfersPerS);
    }
    YCAN_CloseDevice(kFd, 0);
}

// One frame at a time: the adapter completes the transfer the reader has
// pending, and the reader notes when the frame reached it.
template <class Reader>
std::vector<double> latencies(ycansim::VirtualDevice& dev, size_t samples, Reader read,
                              const std::function<void(uint32_t)>& complete) {
    std::vector<double> out;
    out.reserve(samples);
    std::atomic<uint32_t> arrived{0};
    std::atomic<int64_t> arrivedAt{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            if (read()) {
                arrivedAt = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
                arrived.fetch_add(1);
                arrived.notify_one();
            }
        }
    });
    for (uint32_t i = 0; i < samples; ++i) {
        if (!dev.waitPendingIn(0x83, 1, 2s)) break;
        const uint32_t before = arrived.load();
        const int64_t t0 = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
        complete(i);
        arrived.wait(before);
        out.push_back(static_cast<double>(arrivedAt.load() - t0) / 1000.0);
    }
    stop = true;
    complete(static_cast<uint32_t>(samples));  // lets the reader's last read end
    reader.join();
    return out;
}

void reportLatency(benchmark::State& state, const std::vector<double>& us, size_t samples) {
    if (us.size() != samples) state.SkipWithError("a frame did not arrive");
    state.counters["p50_us"] = percentile(us, 0.50);
    state.counters["p99_us"] = percentile(us, 0.99);
    state.counters["samples"] = static_cast<double>(us.size());
}

void BM_Latency(benchmark::State& state) {
    const size_t samples = ycanbench::quick() ? 200 : 10000;
    auto& a = adapters();
    if (!ycanbench::openAndStart(kFd)) {
        state.SkipWithError("open failed");
        return;
    }
    for (auto _ : state) {
        auto us = latencies(
            *a.fdDevice, samples,
            [] {
                _YCAN_CANFD_OBJ f;
                return YCAN_ReceiveFD(kFd, 0, 0, &f, 1, 100) == 1;
            },
            [&](uint32_t i) { a.fd->fromBus(*a.fdDevice, {ycanbench::fdFrame(i, i)}); });
        reportLatency(state, us, samples);
    }
    a.bench.capture().clear();
    YCAN_CloseDevice(kFd, 0);
}

// The same through the ordered path: a blocking YCAN_ReceiveAll of every
// channel, or poll() on the event descriptor and a YCAN_ReceiveAll that
// does not wait.
template <bool ThroughEventFd>
void BM_LatencyInOrder(benchmark::State& state) {
    const size_t samples = ycanbench::quick() ? 200 : 10000;
    auto& a = adapters();
    if (!ycanbench::openAndStart(kFd)) {
        state.SkipWithError("open failed");
        return;
    }
    const int fd = YCAN_GetEventFd(kFd, 0);
    for (auto _ : state) {
        auto us = latencies(
            *a.fdDevice, samples,
            [&] {
                _YCAN_RX_FRAME f;
                if constexpr (ThroughEventFd) {
                    pollfd p{fd, POLLIN, 0};
                    if (poll(&p, 1, 100) != 1) return false;
                    return YCAN_ReceiveAll(kFd, 0, YCAN_ALL_CHANNELS, &f, 1, 0) == 1;
                } else {
                    return YCAN_ReceiveAll(kFd, 0, YCAN_ALL_CHANNELS, &f, 1, 100) == 1;
                }
            },
            [&](uint32_t i) { a.fd->fromBus(*a.fdDevice, {ycanbench::fdFrame(i, i)}); });
        reportLatency(state, us, samples);
    }
    a.bench.capture().clear();
    YCAN_CloseDevice(kFd, 0);
}

void BM_BareLatency(benchmark::State& state) {
    const size_t samples = ycanbench::quick() ? 200 : 10000;
    auto& a = adapters();
    const std::vector<uint8_t> packet = ycansim::encodeDataPacket({ycanbench::fdFrame(1, 1)});
    for (auto _ : state) {
        auto us = latencies(
            *a.plainDevice, samples,
            [&] {
                uint8_t buf[4096];
                return a.plain->bulkReadUSBDevice(buf, sizeof buf, 0x83, 100) > 0;
            },
            [&](uint32_t) { a.plainDevice->pushIn(0x83, packet); });
        reportLatency(state, us, samples);
    }
    a.bench.capture().clear();
}

}  // namespace

BENCHMARK(BM_EndToEnd)
    ->Name("EndToEnd/canfd_fd8")
    ->Arg(50000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Latency)->Name("Latency/canfd")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_LatencyInOrder, false)
    ->Name("Latency/receive_all")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_LatencyInOrder, true)
    ->Name("Latency/event_fd")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareLatency)->Name("Latency/bare")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
