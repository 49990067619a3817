// Costs of the virtual USB bench itself, through the real transport and
// libusb: a command round trip on the interrupt endpoints and 4096-byte bulk
// transfers. Run under the bench's preload:
//   build/run-on-bench.sh build/bench/ycan_bench_usb
#include <benchmark/benchmark.h>

#include <memory>

#include "sim/bench/usb_bench.h"
#include "transport/QUserLibUsb.h"

namespace {

class Echo : public ycansim::DeviceModel {
public:
    void onOut(ycansim::VirtualDevice& dev, uint8_t ep, const std::vector<uint8_t>& data) override {
        if (ep == 0x01) dev.pushIn(0x81, data);
    }
};

struct Setup {
    ycansim::UsbBench bench;
    ycansim::VirtualDevice* dev = nullptr;
    std::unique_ptr<QUserLibUsb> usb;
    Setup() {
        ycansim::DeviceLayout layout;
        layout.vendorId = 0x1234;
        layout.productId = 0x5678;
        layout.endpoints = {{0x01, ycansim::EndpointType::Interrupt, 64},
                          {0x81, ycansim::EndpointType::Interrupt, 64},
                          {0x02, ycansim::EndpointType::Bulk, 512},
                          {0x82, ycansim::EndpointType::Bulk, 512}};
        dev = &bench.addDevice(layout, std::make_shared<Echo>());
        usb = std::make_unique<QUserLibUsb>();
        usb->OpenUSBDevice(0x1234, 0x5678, 0);
    }
    ~Setup() { usb.reset(); }
};

Setup& setup() {
    static Setup s;
    return s;
}

}  // namespace

static void BM_CommandRoundTrip(benchmark::State& state) {
    Setup& s = setup();
    uint8_t cmd[64] = {0x55, 0x01};
    uint8_t reply[64];
    for (auto _ : state) {
        s.usb->WriteUSBDevice(cmd, 64, 0x01, 100);
        if (s.usb->ReadUSBDevice(reply, 64, 0x81, 500) != 64) state.SkipWithError("no reply");
    }
}
BENCHMARK(BM_CommandRoundTrip)->UseRealTime();

static void BM_BulkIn4096(benchmark::State& state) {
    Setup& s = setup();
    std::vector<uint8_t> block(4096, 0x5A);
    uint8_t buf[4096];
    for (auto _ : state) {
        s.dev->pushIn(0x82, block);
        if (s.usb->bulkReadUSBDevice(buf, 4096, 0x82, 500) != 4096) state.SkipWithError("short");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_BulkIn4096)->UseRealTime();

static void BM_BulkOut4096(benchmark::State& state) {
    Setup& s = setup();
    uint8_t buf[4096] = {};
    for (auto _ : state) s.usb->bulkWriteUSBDevice(buf, 4096, 0x02, 500);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}
BENCHMARK(BM_BulkOut4096)->UseRealTime();
