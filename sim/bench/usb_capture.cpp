#include "sim/bench/usb_capture.h"

#include <cstdio>

namespace ycansim {

const char* toString(UsbEvent e) {
    switch (e) {
        case UsbEvent::Out:
            return "OUT";
        case UsbEvent::In:
            return "IN";
        case UsbEvent::Discard:
            return "DISCARD";
        case UsbEvent::ClearHalt:
            return "CLEAR_HALT";
        case UsbEvent::ResetEndpoint:
            return "RESETEP";
        case UsbEvent::Reset:
            return "RESET";
        case UsbEvent::Claim:
            return "CLAIM";
        case UsbEvent::Release:
            return "RELEASE";
        case UsbEvent::UnclaimedUse:
            return "UNCLAIMED_USE";
        case UsbEvent::Control:
            return "CONTROL";
        case UsbEvent::Unplug:
            return "UNPLUG";
        case UsbEvent::Replug:
            return "REPLUG";
        case UsbEvent::Unknown:
            return "UNKNOWN";
    }
    return "?";
}

std::string describe(const UsbTransfer& t) {
    char head[96];
    snprintf(head, sizeof head, "dev%d %s ep%02x status %d:", t.device, toString(t.kind), t.endpoint,
             t.status);
    std::string text = head;
    for (uint8_t b : t.data) {
        char byte[4];
        snprintf(byte, sizeof byte, " %02x", b);
        text += byte;
    }
    return text;
}

void UsbCapture::add(UsbTransfer t) {
    {
        std::lock_guard guard(lock);
        events.push_back(std::move(t));
    }
    changed.notify_all();
}

std::vector<UsbTransfer> UsbCapture::all() const {
    std::lock_guard guard(lock);
    return events;
}

std::vector<UsbTransfer> UsbCapture::select(int device, UsbEvent kind, int endpoint) const {
    std::lock_guard guard(lock);
    std::vector<UsbTransfer> out;
    for (const UsbTransfer& t : events)
        if (t.device == device && t.kind == kind && (endpoint < 0 || t.endpoint == endpoint))
            out.push_back(t);
    return out;
}

void UsbCapture::clear() {
    std::lock_guard guard(lock);
    events.clear();
}

bool UsbCapture::waitFor(const std::function<bool(const std::vector<UsbTransfer>&)>& done,
                         std::chrono::milliseconds timeout) const {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, timeout, [&] { return done(events); });
}

}  // namespace ycansim
