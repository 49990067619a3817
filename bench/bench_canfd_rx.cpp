// The CAN FD receive path without USB: reassembly and decoding of a
// transfer's packets into the queues, then taking the frames out, as the
// receive thread and an application do. Reports frames per second.
#include <benchmark/benchmark.h>

#include <vector>

#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "sim/canfd/canfd_adapter.h"

namespace {

// 4096-byte transfers cut from a stream of 10-record packets.
std::vector<std::vector<uint8_t>> makeTransfers(bool fd, size_t frames) {
    std::vector<uint8_t> stream;
    std::vector<ycansim::BusFrame> group;
    for (size_t i = 0; i < frames; ++i) {
        ycansim::BusFrame f;
        f.channel = 0;
        f.flags = fd ? 0x01 : 0x00;
        f.id = static_cast<uint32_t>(i);
        f.dataLen = fd ? 64 : 8;
        f.data.assign(fd ? 64 : 8, static_cast<uint8_t>(i));
        group.push_back(f);
        if (group.size() == 10) {
            auto p = ycansim::encodeDataPacket(group);
            stream.insert(stream.end(), p.begin(), p.end());
            group.clear();
        }
    }
    std::vector<std::vector<uint8_t>> transfers;
    for (size_t at = 0; at < stream.size(); at += 4096)
        transfers.emplace_back(stream.begin() + static_cast<long>(at),
                               stream.begin() + static_cast<long>(std::min(stream.size(), at + 4096)));
    return transfers;
}

template <bool Fd>
void BM_ReceivePath(benchmark::State& state) {
    constexpr size_t kFrames = 10000;
    const auto transfers = makeTransfers(Fd, kFrames);
    QDeviceUsbCanFd2 dev;
    using Frame = std::conditional_t<Fd, _YCAN_CANFD_OBJ, _YCAN_CAN_OBJ>;
    std::vector<Frame> out(256);
    size_t frames = 0;
    for (auto _ : state) {
        for (const auto& t : transfers) dev.usbRxDataProcess(t.data(), static_cast<unsigned>(t.size()));
        size_t taken = 0;
        int n;
        if constexpr (Fd) {
            while ((n = dev.receiveFD(0, out.data(), 256, 0)) > 0) taken += static_cast<size_t>(n);
        } else {
            while ((n = dev.receive(0, out.data(), 256, 0)) > 0) taken += static_cast<size_t>(n);
        }
        if (taken != kFrames || out[(kFrames - 1) % 256].ID != kFrames - 1) {
            state.SkipWithError("frames lost or out of order");
            break;
        }
        frames += taken;
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK_TEMPLATE(BM_ReceivePath, false)->Name("ReceivePath/classic")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_ReceivePath, true)->Name("ReceivePath/fd")->Unit(benchmark::kMillisecond);
