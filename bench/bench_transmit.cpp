// Transmit packing without USB: frames laid out into the data packets that
// go on the wire, as the transmit calls do before each bulk write (CAN FD:
// 10 records a packet; classic: 3 records a packet). Counter: frames/s.
#include <benchmark/benchmark.h>

#include <vector>

#include "drivers/canfd/canfd_packet.h"
#include "drivers/usbcan/usbcan2_stream.h"

namespace {

template <class Frame>
std::vector<Frame> frames(size_t n, uint8_t len) {
    std::vector<Frame> out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i].ID = static_cast<uint32_t>(i);
        out[i].DataLen = len;
        out[i].ExternFlag = i % 2;
        for (size_t b = 0; b < sizeof out[i].Data; ++b) out[i].Data[b] = static_cast<uint8_t>(i + b);
    }
    return out;
}

template <class Frame>
void BM_CanFdPacking(benchmark::State& state) {
    const auto batch = frames<Frame>(1000, static_cast<uint8_t>(state.range(0)));
    uint8_t packet[ycan::canfd::kMaxPacketLen];
    size_t packed = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < batch.size(); at += ycan::canfd::kRecordsPerPacket) {
            const unsigned n =
                ycan::canfd::encodeDataPacket(packet, static_cast<unsigned>(at % 8), batch.data() + at,
                                              static_cast<unsigned>(std::min<size_t>(10, batch.size() - at)));
            benchmark::DoNotOptimize(n);
            benchmark::ClobberMemory();
        }
        packed += batch.size();
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(packed), benchmark::Counter::kIsRate);
}

void BM_ClassicPacking(benchmark::State& state) {
    const auto batch = frames<_YCAN_CAN_OBJ>(999, 8);
    uint8_t packet[3 * ycan::Usbcan2Stream::kRecordLen];
    size_t packed = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < batch.size(); at += 3) {
            for (size_t i = 0; i < 3; ++i)
                ycan::Usbcan2Stream::encodeRecord(packet + i * ycan::Usbcan2Stream::kRecordLen, batch[at + i],
                                                  0);
            benchmark::DoNotOptimize(packet);
            benchmark::ClobberMemory();
        }
        packed += batch.size();
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(packed), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK_TEMPLATE(BM_CanFdPacking, _YCAN_CANFD_OBJ)->Name("Transmit/canfd_fd64")->Arg(64);
BENCHMARK_TEMPLATE(BM_CanFdPacking, _YCAN_CANFD_OBJ)->Name("Transmit/canfd_fd8")->Arg(8);
BENCHMARK_TEMPLATE(BM_CanFdPacking, _YCAN_CAN_OBJ)->Name("Transmit/canfd_classic")->Arg(8);
BENCHMARK(BM_ClassicPacking)->Name("Transmit/usbcan_classic");
