#include "tools/ycan/adapter_holder.h"

#include <libusb.h>
#include <unistd.h>

#include <cerrno>

#include "support/device_holders.h"
#include "tools/ycan/attached_adapters.h"

namespace ycantool {

namespace {

// Looks at the adapter TYPE:INDEX names in libusb's list: what `look` says
// of it, "" when it is not there.
template <class Look>
std::string lookAt(const Target& t, Look look) {
    const AdapterModel* model = modelOfType(t.type);
    if (model == nullptr) return "";
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != LIBUSB_SUCCESS) return "";
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    std::string text;
    uint32_t seen = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != LIBUSB_SUCCESS) continue;
        if (d.idVendor != model->vendorId || d.idProduct != model->productId || !names(t, list[i], seen++))
            continue;
        text = look(list[i],
                    ycan::usbNodePath(libusb_get_bus_number(list[i]), libusb_get_device_address(list[i])));
        break;
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return text;
}

std::string name(const Target& t) { return t.name(); }

}  // namespace

std::string inUseBy(const Target& t) {
    return lookAt(t, [&](libusb_device* dev, const std::string& node) -> std::string {
        libusb_device_handle* handle = nullptr;
        if (libusb_open(dev, &handle) != LIBUSB_SUCCESS) return "";
        const int claimed = libusb_claim_interface(handle, 0);
        if (claimed == LIBUSB_SUCCESS) libusb_release_interface(handle, 0);
        libusb_close(handle);
        return claimed == LIBUSB_ERROR_BUSY ? ycan::inUseText(name(t), node) : "";
    });
}

std::string accessDenied(const Target& t) {
    return lookAt(t, [&](libusb_device*, const std::string& node) -> std::string {
        if (access(node.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return "";
        return name(t) + ": permission denied on " + node +
               ": the udev rule " YCAN_RULES_FILE
               " lets the user at the seat and the members of group "
               "plugdev open the adapters (see 'man ycan', FILES)";
    });
}

bool isAttached(const Target& t) {
    return !lookAt(t, [](libusb_device*, const std::string&) -> std::string { return "attached"; }).empty();
}

}  // namespace ycantool
