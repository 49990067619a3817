#include "sim/bench/usb_bench.h"

#include <umockdev.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <utility>

namespace ycansim {

UsbBench::UsbBench() {
    if (!ueventDeliveryTolerant()) throw std::logic_error("uevent delivery not linked in");
    bed = umockdev_testbed_new();
    gchar* dir = umockdev_testbed_get_root_dir(bed);
    root = dir;
    g_free(dir);
    if (!umockdev_in_mock_environment()) {
        g_object_unref(bed);
        throw std::runtime_error(
            "the virtual USB bench needs the umockdev preload: run under umockdev-wrapper");
    }
    // libusb refuses to start without a usbfs directory, even an empty one.
    std::filesystem::create_directories(root + "/dev/bus/usb");
    timer = std::make_unique<TimerThread>();
}

UsbBench::~UsbBench() {
    timer.reset();

    for (auto& dev : devices) {
        const bool plugged = dev->plugged();
        const std::string sysPath = plugged ? dev->sysPath() : std::string();
        dev->detachHandlers();
        if (plugged) umockdev_testbed_remove_device(bed, sysPath.c_str());
    }
    devices.clear();
    g_object_unref(bed);
}

size_t UsbBench::pendingWork() const { return timer->pending(); }

size_t UsbBench::descriptorsHeld() const {
    size_t n = 0;
    for (auto& dev : devices) n += dev->descriptorsHeld();
    return n;
}

uint64_t UsbBench::nowUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

int UsbBench::nextDevnum(int bus) {
    // As the kernel numbers devices: round robin over 2..127 (1 is the root
    // hub), skipping numbers in use, so that a device plugged in and out all
    // day keeps getting valid addresses.
    int& last = lastDevnum[bus];
    for (int step = 0; step < kMaxDevnum - 1; ++step) {
        const int candidate = last >= kMaxDevnum || last < 2 ? 2 : last + 1;
        last = candidate;
        bool inUse = false;
        for (auto& d : devices)
            inUse = inUse || (d->plugged() && d->busNumber() == bus && d->deviceNumber() == candidate);
        if (!inUse) return candidate;
    }
    throw std::runtime_error("no free device number on bus " + std::to_string(bus));
}

VirtualDevice& UsbBench::addDevice(const DeviceLayout& layout, std::shared_ptr<DeviceModel> model,
                                   PlugOptions where) {
    int id = static_cast<int>(devices.size());
    devices.push_back(std::make_unique<VirtualDevice>(*this, id, layout, std::move(model)));
    VirtualDevice& dev = *devices.back();
    replug(dev, where);
    return dev;
}

void UsbBench::unplug(VirtualDevice& dev, int pendingStatus) {
    static_assert(kUnplugStatus == -EPROTO);
    if (!dev.plugged()) return;
    dev.unplug(pendingStatus);
    transfers.add({nowUs(), dev.id(), UsbEvent::Unplug, 0, 0, {}});
}

int UsbBench::freePort(int bus) const {
    for (int port = 1;; ++port) {
        bool taken = false;
        for (auto& d : devices) taken = taken || (d->busNumber() == bus && d->portNumber() == port);
        if (!taken) return port;
    }
}

void UsbBench::replug(VirtualDevice& dev, PlugOptions where) {
    const bool replugged = dev.deviceNumber() != 0;
    if (dev.plugged()) unplug(dev);
    const int bus = where.bus > 0 ? where.bus : replugged ? dev.busNumber() : 1;
    int port = where.port;
    if (port <= 0) port = replugged && bus == dev.busNumber() ? dev.portNumber() : freePort(bus);
    for (auto& d : devices)
        if (d.get() != &dev && d->plugged() && d->busNumber() == bus && d->portNumber() == port)
            throw std::logic_error("port " + std::to_string(bus) + "-" + std::to_string(port) +
                                   " is taken by another device");
    const int devnum = where.devnum > 0 ? where.devnum : nextDevnum(bus);
    // A number used before belongs to the new device from now on: any old
    // node of another device under that name lets go of it.
    for (auto& d : devices)
        if (d.get() != &dev) d->releaseNode(bus, devnum);
    char sysPath[128];
    snprintf(sysPath, sizeof sysPath, "/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", bus, bus, port);
    dev.plug(bus, port, devnum, sysPath);
    // libusb learns about new devices from udev events.
    umockdev_testbed_uevent(bed, (std::string("/sys") + sysPath).c_str(), "add");
    if (replugged) transfers.add({nowUs(), dev.id(), UsbEvent::Replug, 0, 0, {}});
}

void UsbBench::after(std::chrono::milliseconds delay, std::function<void()> fn) {
    timer->after(delay, std::move(fn));
}

}  // namespace ycansim
