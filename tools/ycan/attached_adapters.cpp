#include "tools/ycan/attached_adapters.h"

#include <libusb.h>

#include <cstdio>
#include <fstream>
#include <map>

#include "ycan.h"

namespace ycantool {

std::string portPathOf(libusb_device* dev) {
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(dev, ports, sizeof ports);
    if (depth <= 0) return "";
    std::string text = std::to_string(libusb_get_bus_number(dev));
    for (int i = 0; i < depth; ++i) {
        text += i == 0 ? '-' : '.';
        text += std::to_string(ports[i]);
    }
    return text;
}

namespace {

// The UTF-8 text sysfs gives, as libusb's ASCII reading of the string
// descriptor gives it (and so the library, which compares what it read):
// '?' for every UTF-16 unit outside ASCII.
std::string asAscii(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        out += c < 0x80 ? static_cast<char>(c) : '?';
        if (len == 4) out += '?';  // a surrogate pair
        i += len;
    }
    return out;
}

}  // namespace

std::string serialOf(libusb_device* dev) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(dev, &d) != LIBUSB_SUCCESS || d.iSerialNumber == 0) return "";
    const std::string port = portPathOf(dev);
    if (!port.empty()) {
        std::ifstream file("/sys/bus/usb/devices/" + port + "/serial");
        std::string line;
        if (file && std::getline(file, line)) return asAscii(line);
    }
    libusb_device_handle* handle = nullptr;
    if (libusb_open(dev, &handle) != LIBUSB_SUCCESS) return "";
    unsigned char text[256];
    const int n = libusb_get_string_descriptor_ascii(handle, d.iSerialNumber, text, sizeof text);
    libusb_close(handle);
    return n > 0 ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(n)) : "";
}

std::vector<AttachedAdapter> attachedAdapters(bool withSerials) {
    std::vector<AttachedAdapter> found;
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != LIBUSB_SUCCESS) return found;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    std::map<std::pair<uint16_t, uint16_t>, uint32_t> seen;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != LIBUSB_SUCCESS) continue;
        for (const AdapterModel* m : knownModels()) {
            if (m->vendorId != d.idVendor || m->productId != d.idProduct) continue;
            AttachedAdapter a;
            a.model = m;
            a.index = seen[{d.idVendor, d.idProduct}]++;
            a.bus = libusb_get_bus_number(list[i]);
            a.address = libusb_get_device_address(list[i]);
            a.port = portPathOf(list[i]);
            if (withSerials) a.serial = serialOf(list[i]);
            found.push_back(std::move(a));
            break;
        }
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return found;
}

bool names(const Target& t, libusb_device* dev, uint32_t index) {
    switch (t.by) {
        case Target::By::Index:
            return index == t.index;
        case Target::By::Port:
            return portPathOf(dev) == t.place;
        case Target::By::Serial:
            return serialOf(dev) == t.place;
    }
    return false;
}

bool locate(Target& t, std::string& why) {
    if (t.by == Target::By::Index) return true;
    const AdapterModel* model = modelOfType(t.type);
    if (model == nullptr) {
        why = "no adapter has device type " + std::to_string(t.type);
        return false;
    }
    int matches = 0;
    for (const AttachedAdapter& a : attachedAdapters(t.by == Target::By::Serial)) {
        if (a.model != model) continue;
        if ((t.by == Target::By::Port ? a.port : a.serial) != t.place) continue;
        t.index = a.index;
        ++matches;
    }
    t.justLocated = matches == 1;
    if (matches == 1) return true;
    if (matches == 0)
        why = t.name() + ": no such adapter is attached ('ycan list' shows the ones that are)";
    else
        why = t.name() + ": " + std::to_string(matches) + " attached adapters of the type report serial number " +
              t.place + "; name it by its port instead";
    return false;
}

bool openTarget(Target& t) {
    for (int tries = 0; tries < 3; ++tries) {
        std::string why;
        const bool fresh = tries == 0 && t.justLocated;
        t.justLocated = false;
        if (!fresh && !locate(t, why)) {
            fprintf(stderr, "ycan: %s\n", why.c_str());
            return false;
        }
        if (YCAN_OpenDevice(t.type, t.index) != 1) {
            reportOpenFailure(t);
            return false;
        }
        if (t.by == Target::By::Index) return true;
        char port[YCAN_PORT_PATH_SIZE] = "";
        char serial[YCAN_SERIAL_SIZE] = "";
        if (YCAN_GetDeviceLocation(t.type, t.index, port, sizeof port, serial, sizeof serial) == 1 &&
            (t.by == Target::By::Port ? port : serial) == t.place)
            return true;
        // Another adapter stood at that index by the time it was opened.
        YCAN_CloseDevice(t.type, t.index);
    }
    fprintf(stderr, "ycan: %s: adapters kept being plugged in or out while it was opened; try again\n",
            t.name().c_str());
    return false;
}

}  // namespace ycantool
