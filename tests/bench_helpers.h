// Helpers for tests that run adapters on the virtual USB bench.
#pragma once

#include <libusb.h>

#include <utility>
#include <vector>

namespace ycantest {

// (bus, address) of the attached devices with these ids, in libusb's own
// list order: the order in which a device index counts them.
inline std::vector<std::pair<int, int>> libusbOrder(uint16_t vid, uint16_t pid) {
    std::vector<std::pair<int, int>> order;
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) return order;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(list[i], &d);
        if (d.idVendor == vid && d.idProduct == pid)
            order.emplace_back(libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]));
    }
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return order;
}

}  // namespace ycantest
