// What the benchmarks that run adapters on the virtual bench share: one
// bench per process (made before libusb starts), a CAN FD adapter (type 43),
// a classic adapter (type 4) and a plain device read through the transport
// directly, for the emulation's own costs. These programs run under the
// bench's preload (build/run-on-bench.sh).
#pragma once

#include <cstdint>
#include <memory>

#include "sim/bench/usb_bench.h"
#include "sim/canfd/canfd_adapter.h"
#include "sim/usbcan/usbcan_adapter.h"
#include "transport/QUserLibUsb.h"

namespace ycanbench {

struct Adapters {
    Adapters();
    ~Adapters();
    ycansim::UsbBench bench;
    std::shared_ptr<ycansim::VirtualCanFdAdapter> fd;
    ycansim::VirtualDevice* fdDevice = nullptr;
    std::shared_ptr<ycansim::VirtualUsbCanAdapter> classic;
    ycansim::VirtualDevice* classicDevice = nullptr;
    // A device that only answers what is pushed on its bulk IN endpoint
    // 0x83, opened through the transport without any driver.
    ycansim::VirtualDevice* plainDevice = nullptr;
    std::unique_ptr<QUserLibUsb> plain;
};

// Made on first use, before anything else opens libusb.
Adapters& adapters();

// Opens the adapter of `type` (43 or 4) and initialises channel 0: 1 Mbit/s,
// CAN FD with a 5 Mbit/s data phase.
bool openAndStart(uint32_t type);

// An 8-byte CAN FD frame on channel 0.
ycansim::BusFrame fdFrame(uint32_t id, uint32_t timeTag);
ycansim::ClassicFrame classicFrame(uint32_t id, uint32_t timeTag);

// Set by YCAN_BENCH_QUICK: runs shortened for a smoke run.
bool quick();

}  // namespace ycanbench
