#include "sim/usbip/usbip_bus.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace ycansim {

namespace {

constexpr const char* kVhci = "/sys/devices/platform/vhci_hcd.0";
constexpr unsigned kHighSpeed = 3;  // USB_SPEED_HIGH
constexpr int kPortFree = 4;        // VDEV_ST_NULL in vhci-hcd's status

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return in ? text.str() : std::string();
}

void writeFile(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + strerror(errno));
    const ssize_t n = write(fd, text.data(), text.size());
    const int err = errno;
    close(fd);
    if (n != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("writing \"" + text + "\" to " + path + ": " + strerror(err));
}

// One line of vhci-hcd's status table: "hs  0000 004 000 00000000 000000 0-0".
struct PortStatus {
    std::string hub;
    int port = -1;
    int state = 0;
    std::string busId;
};

std::vector<PortStatus> portStatus() {
    std::vector<PortStatus> ports;
    std::istringstream lines(readFile(std::string(kVhci) + "/status"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        PortStatus p;
        std::string speed, dev, sockfd;
        if (!(words >> p.hub >> p.port >> p.state >> speed >> dev >> sockfd >> p.busId)) continue;
        ports.push_back(p);
    }
    return ports;
}

// Waits for `done`, looking again every few milliseconds.
template <class Done>
bool waitFor(Done done, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

UsbipBus::UsbipBus() : root(kVhci) {
    if (access((root + "/attach").c_str(), W_OK) != 0)
        throw std::runtime_error(std::string("no USB/IP host controller to attach to (") + kVhci +
                                 "/attach): load vhci-hcd (modprobe vhci-hcd) and run as root");
}

UsbipBus::~UsbipBus() {
    for (Slot& slot : slots) {
        try {
            detach(slot);
        } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): nothing more to do at the end
        }
    }
}

UsbipBus::Slot& UsbipBus::slotOf(const DeviceEndpoints& dev) {
    for (Slot& s : slots)
        if (static_cast<const DeviceEndpoints*>(s.device.get()) == &dev) return s;
    throw std::logic_error("not a device of this bus");
}

UsbipDevice& UsbipBus::addDevice(const DeviceLayout& layout, std::shared_ptr<DeviceModel> model) {
    Slot slot;
    slot.device = std::make_unique<UsbipDevice>(layout, std::move(model), timers);
    for (const PortStatus& p : portStatus()) {
        if (p.hub != "hs" || p.state != kPortFree) continue;
        bool ours = false;
        for (const Slot& s : slots) ours = ours || s.port == p.port;
        if (!ours) {
            slot.port = p.port;
            break;
        }
    }
    if (slot.port < 0) throw std::runtime_error("no free high-speed port on vhci-hcd");
    slots.push_back(std::move(slot));
    attach(slots.back());
    return *slots.back().device;
}

void UsbipBus::attach(Slot& slot) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error(std::string("socketpair: ") + strerror(errno));
    slot.device->connect(fds[0]);
    // The kernel takes its own reference to its end of the socket.
    const unsigned devid = static_cast<unsigned>((slot.port + 1) << 16 | (++slot.attachments & 0xFFFF));
    try {
        writeFile(root + "/attach", std::to_string(slot.port) + " " + std::to_string(fds[1]) + " " +
                                        std::to_string(devid) + " " + std::to_string(kHighSpeed));
    } catch (...) {
        close(fds[1]);
        slot.device->disconnect();
        throw;
    }
    close(fds[1]);

    // The kernel names the device once its hub has seen it; it is usable
    // once configured and its node is there.
    std::string busId;
    const bool ready = waitFor(
        [&] {
            for (const PortStatus& p : portStatus())
                if (p.hub == "hs" && p.port == slot.port && p.busId != "0-0") busId = p.busId;
            if (busId.empty()) return false;
            const std::string dir = "/sys/bus/usb/devices/" + busId;
            if (readFile(dir + "/bConfigurationValue").rfind('1', 0) != 0) return false;
            const int bus = atoi(readFile(dir + "/busnum").c_str());
            const int devnum = atoi(readFile(dir + "/devnum").c_str());
            return bus > 0 && devnum > 0 && access(usbDevNode(bus, devnum).c_str(), F_OK) == 0;
        },
        kEnumerationTimeout);
    if (!ready) {
        detach(slot);
        throw std::runtime_error("the kernel did not enumerate the device on vhci port " +
                                 std::to_string(slot.port) + " within " +
                                 std::to_string(kEnumerationTimeout.count()) + " s");
    }
    slot.busId = busId;
}

void UsbipBus::detach(Slot& slot) {
    if (slot.busId.empty() && !slot.device->connected()) return;
    bool inUse = false;
    for (const PortStatus& p : portStatus())
        if (p.hub == "hs" && p.port == slot.port && p.state != kPortFree) inUse = true;
    if (inUse) writeFile(root + "/detach", std::to_string(slot.port));
    slot.device->disconnect();
    const std::string gone = slot.busId;
    slot.busId.clear();
    // Until the kernel has let go of the port, it cannot take the device
    // back.
    waitFor(
        [&] {
            for (const PortStatus& p : portStatus())
                if (p.hub == "hs" && p.port == slot.port && p.state != kPortFree) return false;
            return gone.empty() || access(("/sys/bus/usb/devices/" + gone).c_str(), F_OK) != 0;
        },
        std::chrono::seconds(10));
}

void UsbipBus::unplug(DeviceEndpoints& dev) { detach(slotOf(dev)); }

void UsbipBus::replug(DeviceEndpoints& dev) {
    Slot& slot = slotOf(dev);
    detach(slot);
    attach(slot);
}

}  // namespace ycansim
