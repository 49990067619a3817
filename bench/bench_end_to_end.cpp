// The whole receive path through the real libusb and a virtual CAN FD
// adapter, in one process: the adapter offers frames as a busy bus would,
// the library's receive thread reads them, an application thread takes
// them. Beside each figure, the same measured on the emulation alone (a
// device read through the transport without any driver). Run under the
// bench's preload: build/run-on-bench.sh build/bench/ycan_bench_end_to_end
//
// Counters:
//   EndToEnd   offered and achieved frames/s; CPU of the library's receive
//              thread per frame and in % of one core; frames per transfer.
//   Transfer   the emulation's bare cost of an IN transfer at the same pace:
//              CPU of a thread that only reads.
//   Latency    from the adapter completing an IN transfer to YCAN_ReceiveFD
//              returning the frame on another thread: median and 99th
//              percentile; BareLatency the same to the transport's read
//              returning.
#include <benchmark/benchmark.h>

#include <algorithm>
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
using ycanbench::adapters;

namespace {

constexpr uint32_t kFd = 43;

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void BM_EndToEnd(benchmark::State& state) {
    const double rate = static_cast<double>(state.range(0));
    const double seconds = ycanbench::quick() ? 0.3 : 3.0;
    auto& a = adapters();
    if (!ycanbench::openAndStart(kFd)) {
        state.SkipWithError("open failed");
        return;
    }
    ycansim::VirtualDevice& dev = *a.fdDevice;
    for (auto _ : state) {
        const auto total = static_cast<uint32_t>(rate * seconds);
        dev.waitPendingIn(0x83, 1, 2s);
        a.bench.capture().clear();
        const auto rx = ycanbench::threadsNamed(ycan::ReceiveThread::kThreadName);
        const double rxCpu0 = ycanbench::threadsCpuSeconds(rx);

        std::atomic<uint32_t> received{0};
        std::atomic<bool> inOrder{true};
        steady_clock::time_point lastAt{};
        double appCpu = 0;
        std::thread app([&] {
            const double cpu0 = ycanbench::ownCpuSeconds();
            std::vector<_YCAN_CANFD_OBJ> buf(512);
            uint32_t next = 0;
            const auto giveUp = steady_clock::now() + duration<double>(seconds + 10);
            while (next < total && steady_clock::now() < giveUp) {
                const int n = YCAN_ReceiveFD(kFd, 0, 0, buf.data(), static_cast<uint32_t>(buf.size()), 100);
                for (int i = 0; i < n; ++i)
                    if (buf[static_cast<size_t>(i)].ID != next++) inOrder = false;
                if (n > 0) {
                    lastAt = steady_clock::now();
                    received = next;
                }
            }
            appCpu = ycanbench::ownCpuSeconds() - cpu0;
        });

        // The bus: every millisecond, the frames due by then, each tagged
        // with the time it was due.
        const auto t0 = steady_clock::now();
        const uint64_t t0Us = ycansim::UsbBench::nowUs();
        uint32_t offered = 0;
        for (int tick = 1; offered < total; ++tick) {
            std::this_thread::sleep_until(t0 + tick * 1ms);
            const double due = std::min<double>(total, duration<double>(steady_clock::now() - t0).count() * rate);
            std::vector<ycansim::BusFrame> batch;
            for (; offered < static_cast<uint32_t>(due); ++offered)
                batch.push_back(ycanbench::fdFrame(
                    offered, static_cast<uint32_t>(t0Us + static_cast<uint64_t>(offered / rate * 1e6))));
            if (!batch.empty()) a.fd->fromBus(dev, batch);
        }
        app.join();
        const double rxCpu = ycanbench::threadsCpuSeconds(rx) - rxCpu0;
        const size_t transfers = a.bench.capture().select(dev.id(), ycansim::UsbEvent::In, 0x83).size();
        a.bench.capture().clear();
        if (received != total || !inOrder) {
            state.SkipWithError("frames lost or out of order");
            break;
        }
        const double wall = duration<double>(lastAt - t0).count();
        state.counters["offered/s"] = rate;
        state.counters["achieved/s"] = received / wall;
        state.counters["rx_cpu_us/frame"] = rxCpu / received * 1e6;
        state.counters["rx_cpu_us/transfer"] = transfers ? rxCpu / static_cast<double>(transfers) * 1e6 : 0;
        state.counters["rx_core_pct"] = rxCpu / wall * 100;
        state.counters["app_core_pct"] = appCpu / wall * 100;
        state.counters["frames/transfer"] = transfers ? static_cast<double>(received) / static_cast<double>(transfers) : 0;
        state.counters["transfers/s"] = static_cast<double>(transfers) / wall;
    }
    YCAN_CloseDevice(kFd, 0);
}

// The emulation's own cost of an IN transfer through libusb, paced as the
// receive thread sees them at 50,000 frames/s: a thread waits in a
// 4096-byte read, and every millisecond the device completes it with 50
// records' worth of bytes. Counted: that thread's CPU per transfer.
void BM_Transfer(benchmark::State& state) {
    auto& a = adapters();
    const int transfers = ycanbench::quick() ? 200 : 2000;
    const std::vector<uint8_t> chunk(50 * 75 + 5 * 7, 0x5A);
    for (auto _ : state) {
        std::atomic<int> read{0};
        double cpu = 0;
        std::thread reader([&] {
            const double cpu0 = ycanbench::ownCpuSeconds();
            uint8_t buf[4096];
            while (read < transfers && a.plain->bulkReadUSBDevice(buf, sizeof buf, 0x83, 1000) > 0) ++read;
            cpu = ycanbench::ownCpuSeconds() - cpu0;
        });
        const auto t0 = steady_clock::now();
        for (int i = 0; i < transfers; ++i) {
            a.plainDevice->waitPendingIn(0x83, 1, 2s);
            std::this_thread::sleep_until(t0 + (i + 1) * 1ms);
            a.plainDevice->pushIn(0x83, chunk);
        }
        reader.join();
        a.bench.capture().clear();
        if (read != transfers) {
            state.SkipWithError("a transfer did not arrive");
            break;
        }
        state.counters["cpu_us/transfer"] = cpu / transfers * 1e6;
    }
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

BENCHMARK(BM_EndToEnd)->Name("EndToEnd/canfd_fd8")->Arg(50000)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Transfer)->Name("Transfer/bare")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Latency)->Name("Latency/canfd")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareLatency)->Name("Latency/bare")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
