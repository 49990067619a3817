// Virtual USB devices attached to this machine's own kernel through USB/IP:
// each device is served over a socket whose other end is handed to a port of
// vhci-hcd (/sys/devices/platform/vhci_hcd.0), so the kernel enumerates it,
// gives it an address and a /dev/bus/usb node, and programs reach it through
// the real usbfs, as they would reach an adapter on a cable (or one on
// another machine, shared with usbip). Needs root and the vhci-hcd module.
//
// Unplugging detaches the port (the kernel sees the device go); plugging it
// back attaches it to the same port again, where the kernel gives it a new
// address, as for an adapter pulled and pushed back into its socket.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sim/bench/device_model.h"
#include "sim/bench/timer_thread.h"
#include "sim/bench/usb_layout.h"
#include "sim/usbip/usbip_device.h"

namespace ycansim {

class UsbipBus {
public:
    // Throws when vhci-hcd is not there or cannot be written to.
    UsbipBus();
    // Detaches every device.
    ~UsbipBus();
    UsbipBus(const UsbipBus&) = delete;
    UsbipBus& operator=(const UsbipBus&) = delete;

    // Attaches a device to the next free high-speed port and waits until the
    // kernel has configured it (its /dev node exists).
    UsbipDevice& addDevice(const DeviceLayout& layout, std::shared_ptr<DeviceModel> model);
    // Pulls the device out and waits until the kernel has let go of it.
    void unplug(DeviceEndpoints& dev);
    // Plugs it back into its port and waits until it is configured again.
    void replug(DeviceEndpoints& dev);

    // How long the kernel may take to enumerate a device (software
    // emulation is slow).
    static constexpr std::chrono::seconds kEnumerationTimeout{30};

private:
    struct Slot {
        std::unique_ptr<UsbipDevice> device;
        int port = -1;
        std::string busId;  // the kernel's name for it ("3-1"); empty while unplugged
        int attachments = 0;
    };
    Slot& slotOf(const DeviceEndpoints& dev);
    void attach(Slot& slot);
    void detach(Slot& slot);

    std::string root;
    TimerThread timers;
    std::vector<Slot> slots;
};

}  // namespace ycansim
