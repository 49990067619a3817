// The virtual USB bench: a umockdev testbed with virtual devices that the
// real libusb talks to through the usbfs ioctls, in this process or in a
// child program run under the preload.
//
// Rules (see sim/README.md):
// - the process runs under libumockdev-preload (umockdev-wrapper);
// - create the bench before the first libusb_init and before other threads;
// - close every libusb handle and exit every libusb context before the bench
//   goes away.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/bench/device_model.h"
#include "sim/bench/timer_thread.h"
#include "sim/bench/usb_capture.h"
#include "sim/bench/usb_layout.h"
#include "sim/bench/virtual_device.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace ycansim {

// Links in the bench's tolerant uevent delivery (uevent_delivery.cpp): a
// program's monitor that goes away never ends the bench's process.
bool ueventDeliveryTolerant();

// Where a device is plugged in. A device keeps its bus and port from one
// plug-in to the next unless told otherwise, as an adapter that stays in its
// socket; its device number is new every time, as the kernel gives it.
struct PlugOptions {
    int bus = 0;     // 0: the device's own bus (1 for a new device)
    int port = 0;    // 0: the device's own port (a free one for a new device)
    int devnum = 0;  // 0: the next free number on the bus (2..127, round robin)
};

class UsbBench {
public:
    UsbBench();
    ~UsbBench();
    UsbBench(const UsbBench&) = delete;
    UsbBench& operator=(const UsbBench&) = delete;

    // Adds (plugs in) a device. libusb lists the newest device first.
    VirtualDevice& addDevice(const DeviceLayout& layout, std::shared_ptr<DeviceModel> model,
                             PlugOptions where = {});
    // Pulls the device out: its pending transfers end with `pendingStatus`
    // (by default a protocol error, libusb: LIBUSB_ERROR_IO, as Linux host
    // controllers end them; -ESHUTDOWN or -ENODEV give
    // LIBUSB_ERROR_NO_DEVICE, as some do), later requests get ENODEV
    // (LIBUSB_ERROR_NO_DEVICE), and a "remove" event goes out.
    void unplug(VirtualDevice& dev, int pendingStatus = kUnplugStatus);
    static constexpr int kUnplugStatus = -71;  // -EPROTO
    // Plugs it back in, by default into the same port under the next free
    // device number. Another port (or bus) is another place on the USB
    // tree: the device is seen there as a different one.
    void replug(VirtualDevice& dev, PlugOptions where = {});

    UsbCapture& capture() { return transfers; }
    // Deferred work still to run (delayed chunks, stalls to clear).
    size_t pendingWork() const;
    // File descriptors the bench's devices hold (see VirtualDevice).
    size_t descriptorsHeld() const;
    const std::string& rootDir() const { return root; }
    UMockdevTestbed* testbed() { return bed; }

    // Runs fn on the bench's timer thread after the delay.
    void after(std::chrono::milliseconds delay, std::function<void()> fn);

    // Microseconds on the capture's clock.
    static uint64_t nowUs();

private:
    friend class VirtualDevice;
    static constexpr int kMaxDevnum = 127;
    int nextDevnum(int bus);
    int freePort(int bus) const;

    UMockdevTestbed* bed = nullptr;
    std::string root;
    UsbCapture transfers;
    std::vector<std::unique_ptr<VirtualDevice>> devices;
    std::map<int, int> lastDevnum;
    std::unique_ptr<TimerThread> timer;
};

}  // namespace ycansim
