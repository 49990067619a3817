#include "tools/ycan/adapter_arrival.h"

#include <libusb.h>
#include <poll.h>

#include <cerrno>
#include <vector>

#include "tools/ycan/adapter_holder.h"

namespace ycantool {

namespace {

constexpr int kLookEveryMs = 5000;

int LIBUSB_CALL noteArrival(libusb_context*, libusb_device*, libusb_hotplug_event, void* arrived) {
    *static_cast<bool*>(arrived) = true;
    return 0;  // stay registered
}

}  // namespace

void addUsbPollFds(libusb_context* ctx, std::vector<pollfd>& fds) {
    const libusb_pollfd** usbFds = libusb_get_pollfds(ctx);
    for (const libusb_pollfd** p = usbFds; p != nullptr && *p != nullptr; ++p)
        fds.push_back({(*p)->fd, (*p)->events, 0});
    libusb_free_pollfds(usbFds);
}

bool waitUntilAttached(const Target& t, int stopFd) {
    if (isAttached(t)) return true;
    const AdapterModel* model = modelOfType(t.type);
    libusb_context* ctx = nullptr;
    if (model == nullptr || libusb_init(&ctx) != LIBUSB_SUCCESS) ctx = nullptr;
    bool arrived = false;
    libusb_hotplug_callback_handle handle = 0;
    const bool notices = ctx != nullptr && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) &&
                         libusb_hotplug_register_callback(ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED,
                                                          LIBUSB_HOTPLUG_NO_FLAGS, model->vendorId,
                                                          model->productId, LIBUSB_HOTPLUG_MATCH_ANY,
                                                          noteArrival, &arrived, &handle) == LIBUSB_SUCCESS;
    bool attached = false;
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign({{stopFd, POLLIN, 0}});
        if (notices) addUsbPollFds(ctx, fds);
        const int n = poll(fds.data(), fds.size(), kLookEveryMs);
        if (n < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) break;
        if (notices) {
            timeval now{0, 0};
            libusb_handle_events_timeout_completed(ctx, &now, nullptr);
        }
        // A notice, or time for a fresh look; either way the list decides
        // (an arrival of another adapter of the type may leave INDEX absent).
        if ((n > 0 && !arrived) || !(attached = isAttached(t))) {
            arrived = false;
            continue;
        }
        break;
    }
    if (notices) libusb_hotplug_deregister_callback(ctx, handle);
    if (ctx != nullptr) libusb_exit(ctx);
    return attached;
}

}  // namespace ycantool
