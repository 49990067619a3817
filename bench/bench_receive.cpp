// The receive path without USB, both families: a transfer's bytes decoded
// into the channel queues (as the receive thread does with each transfer),
// then the frames taken out (as an application does). The bytes come from
// the virtual adapters' own encoders, in the transfer shapes the adapters
// use. Counters: frames/s, heap allocations per frame once warm (the queues
// have grown to their working size), and, for frames left waiting in a
// queue, heap bytes per frame. The in-order rows take every channel's
// frames of both kinds through one reader (YCAN_ReceiveAll's path) and check
// that they come out in exactly the order sent.
#include <benchmark/benchmark.h>

#include <vector>

#include "alloc_counter.h"
#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "drivers/common/received_frames.h"
#include "drivers/usbcan/usbcan2_stream.h"
#include "sim/canfd/canfd_adapter.h"
#include "sim/usbcan/usbcan_adapter.h"

namespace {

enum class Records { Fd64, Fd8, Classic, Mixed };

constexpr size_t kFrames = 10000;
// The application takes what waits after every few transfers, as one that
// keeps up with the bus but is woken less often than frames arrive.
constexpr size_t kTransfersPerTake = 4;

// Transfers of up to 4096 bytes holding whole packets of 10 records, as the
// adapter sends what waits; frames spread over the 8 channels.
std::vector<std::vector<uint8_t>> canFdTransfers(Records kind, size_t frames) {
    std::vector<std::vector<uint8_t>> transfers(1);
    std::vector<ycansim::BusFrame> group;
    auto flush = [&] {
        auto p = ycansim::encodeDataPacket(group);
        if (transfers.back().size() + p.size() > 4096) transfers.emplace_back();
        transfers.back().insert(transfers.back().end(), p.begin(), p.end());
        group.clear();
    };
    for (size_t i = 0; i < frames; ++i) {
        ycansim::BusFrame f;
        f.channel = static_cast<unsigned>(i % 8);
        const bool classic = kind == Records::Classic || (kind == Records::Mixed && i % 2 == 0);
        f.flags = classic ? 0x00 : 0x01;
        f.id = static_cast<uint32_t>(i);
        f.timeTag = static_cast<uint32_t>(i * 20);
        f.dataLen = kind == Records::Fd64 ? 64 : 8;
        f.data.assign(classic ? 8 : 64, static_cast<uint8_t>(i));
        group.push_back(f);
        if (group.size() == 10) flush();
    }
    if (!group.empty()) flush();
    return transfers;
}

// Runs pass() (which moves kFrames frames through and says whether they all
// came out, in order) once to let the queues grow to their working size,
// then once per iteration, counting the allocations of the timed passes.
template <class Pass>
void timePasses(benchmark::State& state, Pass pass) {
    pass();
    const uint64_t allocsBefore = ycanbench::allocations();
    size_t frames = 0;
    for (auto _ : state) {
        if (!pass()) {
            state.SkipWithError("frames lost or out of order");
            break;
        }
        frames += kFrames;
    }
    const uint64_t allocs = ycanbench::allocations() - allocsBefore;
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["allocs/frame"] = frames ? static_cast<double>(allocs) / static_cast<double>(frames) : 0;
}

template <class Frame>
int takeAll(QDeviceUsbCanFd2& dev, std::vector<Frame>& out, uint32_t& lastId) {
    int taken = 0;
    for (unsigned ch = 0; ch < 8; ++ch) {
        int n;
        if constexpr (std::is_same_v<Frame, _YCAN_CANFD_OBJ>) {
            while ((n = dev.receiveFD(ch, out.data(), static_cast<unsigned>(out.size()), 0)) > 0) {
                taken += n;
                lastId = out[static_cast<size_t>(n) - 1].ID;
            }
        } else {
            while ((n = dev.receive(ch, out.data(), static_cast<unsigned>(out.size()), 0)) > 0) {
                taken += n;
                lastId = out[static_cast<size_t>(n) - 1].ID;
            }
        }
    }
    return taken;
}

template <Records Kind>
void BM_CanFdReceive(benchmark::State& state) {
    using Frame = std::conditional_t<Kind == Records::Classic, _YCAN_CAN_OBJ, _YCAN_CANFD_OBJ>;
    const auto transfers = canFdTransfers(Kind, kFrames);
    QDeviceUsbCanFd2 dev;
    std::vector<Frame> out(256);
    auto pass = [&] {
        uint32_t lastId = 0;
        int taken = 0;
        for (size_t t = 0; t < transfers.size(); ++t) {
            dev.usbRxDataProcess(transfers[t].data(), static_cast<unsigned>(transfers[t].size()));
            if (t % kTransfersPerTake == kTransfersPerTake - 1) taken += takeAll(dev, out, lastId);
        }
        taken += takeAll(dev, out, lastId);
        return taken == static_cast<int>(kFrames) && lastId == kFrames - 1;
    };
    timePasses(state, pass);
}

// Every channel's frames of both kinds through one reader, in order.
template <Records Kind>
void BM_CanFdReceiveInOrder(benchmark::State& state) {
    const auto transfers = canFdTransfers(Kind, kFrames);
    QDeviceUsbCanFd2 dev;
    std::vector<_YCAN_RX_FRAME> out(256);
    auto pass = [&] {
        uint32_t next = 0;
        bool inOrder = true;
        auto takeAll = [&] {
            int n;
            while ((n = dev.receiveAll(YCAN_ALL_CHANNELS, out.data(), static_cast<unsigned>(out.size()), 0)) >
                   0)
                for (int i = 0; i < n; ++i)
                    inOrder = inOrder && out[static_cast<size_t>(i)].Frame.ID == next++;
        };
        for (size_t t = 0; t < transfers.size(); ++t) {
            dev.usbRxDataProcess(transfers[t].data(), static_cast<unsigned>(transfers[t].size()));
            if (t % kTransfersPerTake == kTransfersPerTake - 1) takeAll();
        }
        takeAll();
        return inOrder && next == kFrames;
    };
    timePasses(state, pass);
}

// The classic adapters: 64-byte transfers cut from back-to-back records,
// decoded by the stream into per-channel queues, as the receive pass does.
void BM_ClassicReceive(benchmark::State& state) {
    std::vector<uint8_t> stream;
    for (size_t i = 0; i < kFrames; ++i) {
        ycansim::ClassicFrame f;
        f.channel = static_cast<unsigned>(i % 2);
        f.id = static_cast<uint32_t>(i % 0x800);
        f.dataLen = 8;
        f.data.assign(8, static_cast<uint8_t>(i));
        f.timeTag = static_cast<uint32_t>(i);
        auto r = ycansim::VirtualUsbCanAdapter::encodeRecord(f);
        stream.insert(stream.end(), r.begin(), r.end());
    }
    ycan::Usbcan2Stream rx;
    ycan::StagedFrames staged;
    ycan::ReceivedFrames queues(2);
    queues.open();
    std::vector<_YCAN_CAN_OBJ> out(256);
    auto takeAll = [&] {
        size_t taken = 0;
        for (unsigned ch = 0; ch < 2; ++ch) {
            int n;
            while ((n = queues.take(ch, out.data(), static_cast<unsigned>(out.size()), 0)) > 0)
                taken += static_cast<size_t>(n);
        }
        return taken;
    };
    auto pass = [&] {
        size_t taken = 0;
        for (size_t at = 0, t = 0; at < stream.size(); at += 64, ++t) {
            rx.feed(stream.data() + at, static_cast<unsigned>(std::min<size_t>(64, stream.size() - at)),
                    staged);
            queues.publish(staged);
            if (t % kTransfersPerTake == kTransfersPerTake - 1) taken += takeAll();
        }
        return taken + takeAll() == kFrames;
    };
    timePasses(state, pass);
}

// Heap bytes per frame with a million frames waiting in one channel's
// queue (an application that stopped reading), against the frame record.
template <class Frame>
void BM_QueuedFrameMemory(benchmark::State& state) {
    constexpr size_t kWaiting = 1000000;
    double perFrame = 0;
    for (auto _ : state) {
        ycan::ReceivedFrames queue(1);
        queue.open();
        ycan::StagedFrames batch;
        const size_t before = ycanbench::heapInUse();
        for (size_t n = 0; n < kWaiting;) {
            // What one transfer carries.
            for (size_t i = 0; i < 54 && n < kWaiting; ++i, ++n) {
                Frame f{};
                f.ID = static_cast<uint32_t>(n);
                batch.add(0, f);
            }
            queue.publish(batch);
        }
        const size_t after = ycanbench::heapInUse();
        if (queue.size(0, 2) != kWaiting) state.SkipWithError("frames lost");
        perFrame = static_cast<double>(after - before) / kWaiting;
    }
    state.counters["heap_bytes/frame"] = perFrame;
    state.counters["record_bytes"] = sizeof(Frame);
}

}  // namespace

BENCHMARK_TEMPLATE(BM_CanFdReceive, Records::Fd64)->Name("Receive/canfd_fd64")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_CanFdReceive, Records::Fd8)->Name("Receive/canfd_fd8")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_CanFdReceive, Records::Classic)
    ->Name("Receive/canfd_classic")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_CanFdReceiveInOrder, Records::Mixed)
    ->Name("ReceiveAll/canfd_mixed")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_CanFdReceiveInOrder, Records::Fd64)
    ->Name("ReceiveAll/canfd_fd64")
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClassicReceive)->Name("Receive/usbcan_classic")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_QueuedFrameMemory, _YCAN_CANFD_OBJ)
    ->Name("QueueMemory/fd")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_QueuedFrameMemory, _YCAN_CAN_OBJ)
    ->Name("QueueMemory/classic")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
