#include "sim/bench/usb_layout.h"

#include <cstdio>

namespace ycansim {

namespace {
void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
}  // namespace

std::vector<uint8_t> buildDescriptors(const DeviceLayout& layout) {
    std::vector<uint8_t> d = {18, 1};
    put16(d, 0x0200);                  // USB 2.0
    d.insert(d.end(), {0, 0, 0, 64});  // class by interface, EP0 of 64 bytes
    put16(d, layout.vendorId);
    put16(d, layout.productId);
    put16(d, layout.bcdDevice);
    // No manufacturer or product string; a serial number string when the
    // layout has one; one configuration.
    d.insert(d.end(), {0, 0, layout.serial.empty() ? uint8_t{0} : kSerialStringIndex, 1});

    const uint16_t total = static_cast<uint16_t>(9 + 9 + 7 * layout.endpoints.size());
    d.insert(d.end(), {9, 2});
    put16(d, total);
    d.insert(d.end(), {1, 1, 0, 0x80, 50});  // one interface, bus powered, 100 mA
    d.insert(d.end(), {9, 4, 0, 0, static_cast<uint8_t>(layout.endpoints.size()), 0xFF, 0, 0, 0});
    for (const EndpointLayout& ep : layout.endpoints) {
        d.insert(d.end(), {7, 5, ep.address, static_cast<uint8_t>(ep.type)});
        put16(d, ep.maxPacket);
        d.push_back(ep.interval);
    }
    return d;
}

bool answerDescriptorRequest(const DeviceLayout& layout, const uint8_t setup[8],
                             std::vector<uint8_t>& answer) {
    constexpr uint8_t kStandardIn = 0x80, kGetDescriptor = 6;
    constexpr unsigned kDevice = 1, kConfiguration = 2, kString = 3;
    const unsigned value = setup[2] | setup[3] << 8;
    const size_t wanted = setup[6] | setup[7] << 8;
    if (setup[0] != kStandardIn || setup[1] != kGetDescriptor) return false;
    const unsigned index = value & 0xFF;
    const std::vector<uint8_t> all = buildDescriptors(layout);
    constexpr size_t kDeviceLength = 18;
    switch (value >> 8) {
        case kDevice:
            if (index != 0) return false;
            answer.assign(all.begin(), all.begin() + kDeviceLength);
            break;
        case kConfiguration:
            if (index != 0) return false;
            answer.assign(all.begin() + kDeviceLength, all.end());
            break;
        case kString:
            if (index == 0) {
                answer = {4, kString, 0x09, 0x04};  // one language: US English
            } else if (index == kSerialStringIndex && !layout.serial.empty()) {
                answer = {static_cast<uint8_t>(2 + 2 * layout.serial.size()), kString};
                for (char c : layout.serial) answer.insert(answer.end(), {static_cast<uint8_t>(c), 0});
            } else {
                return false;
            }
            break;
        default:
            return false;
    }
    if (answer.size() > wanted) answer.resize(wanted);
    return true;
}

std::string usbDevNode(int bus, int devnum) {
    char node[32];
    snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, devnum);
    return node;
}

std::string umockdevRecord(const DeviceLayout& layout, const std::string& sysPath, int bus, int devnum,
                           bool withNode) {
    std::string hex;
    for (uint8_t b : buildDescriptors(layout)) {
        char byte[3];
        snprintf(byte, sizeof byte, "%02x", b);
        hex += byte;
    }
    const std::string node = usbDevNode(bus, devnum);
    const int minor = (bus - 1) * 128 + (devnum - 1);
    char text[1024];
    snprintf(text, sizeof text,
             "P: %s\n"
             "%s%s%s"
             "E: DEVNAME=%s\n"
             "E: DEVTYPE=usb_device\n"
             "E: DRIVER=usb\n"
             "E: PRODUCT=%x/%x/%x\n"
             "E: SUBSYSTEM=usb\n"
             "E: BUSNUM=%03d\n"
             "E: DEVNUM=%03d\n"
             "E: MAJOR=189\n"
             "E: MINOR=%d\n"
             "A: busnum=%d\n"
             "A: devnum=%d\n"
             "A: speed=480\n"
             "A: idVendor=%04x\n"
             "A: idProduct=%04x\n"
             "A: bConfigurationValue=1\n"
             "A: bNumConfigurations=1\n"
             "A: dev=189:%d\n",
             sysPath.c_str(), withNode ? "N: " : "", withNode ? node.c_str() + 5 : "", withNode ? "\n" : "",
             node.c_str(), layout.vendorId, layout.productId, layout.bcdDevice, bus, devnum, minor, bus,
             devnum, layout.vendorId, layout.productId, minor);
    std::string out = text;
    if (!layout.serial.empty()) out += "A: serial=" + layout.serial + "\n";
    return out + "H: descriptors=" + hex + "\n";
}

}  // namespace ycansim
