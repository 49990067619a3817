// What a virtual USB device looks like from the host: ids and endpoints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ycansim {

enum class EndpointType : uint8_t { Bulk = 2, Interrupt = 3 };

struct EndpointLayout {
    uint8_t address;  // bit 7 set for IN
    EndpointType type;
    uint16_t maxPacket;
    uint8_t interval = 1;
};

struct DeviceLayout {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0x0100;
    // One vendor-specific interface with these endpoints.
    std::vector<EndpointLayout> endpoints;
    // The serial number string the device reports; empty: none (its device
    // descriptor names no serial number string).
    std::string serial;
};

// String descriptor indexes the virtual devices use.
constexpr uint8_t kSerialStringIndex = 3;

// Device descriptor followed by the whole configuration descriptor, as the
// kernel exposes them in sysfs.
std::vector<uint8_t> buildDescriptors(const DeviceLayout& layout);

// A GET_DESCRIPTOR request on the default pipe (device, configuration, or a
// string): the answer, cut to the length asked for; false for any other
// request, or a descriptor the device does not have (the device stalls).
bool answerDescriptorRequest(const DeviceLayout& layout, const uint8_t setup[8],
                             std::vector<uint8_t>& answer);

// The umockdev record that adds the device at bus/devnum under the given
// sysfs path.
// withNode false leaves the /dev node out (the caller makes it itself).
std::string umockdevRecord(const DeviceLayout& layout, const std::string& sysPath, int bus, int devnum,
                           bool withNode = true);

// "/dev/bus/usb/BBB/DDD"
std::string usbDevNode(int bus, int devnum);

}  // namespace ycansim
