// The adapters attached now, as a user can write them down: TYPE:INDEX (an
// ordinal among the adapters with the same USB id, which changes when
// another one is plugged in first), the USB port path ("1-2.3", as the
// kernel names the device; it stays while the adapter stays in its socket)
// and the USB serial number string where the adapter reports one. Nothing
// here opens an adapter through the library or writes to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/ycan/adapter_target.h"

struct libusb_device;

namespace ycantool {

struct AttachedAdapter {
    const AdapterModel* model = nullptr;
    uint32_t index = 0;  // among the attached adapters with the model's USB id, in libusb's order
    unsigned bus = 0;
    unsigned address = 0;
    std::string port;    // "" when the system gives no port path
    std::string serial;  // "" when it reports none (or it was not read)
};

// "1-2.3" of a listed device; "" when libusb knows no port path.
std::string portPathOf(libusb_device* dev);
// The USB serial number string of a listed device: read from sysfs, else
// asked of the device on its default pipe (which needs no claim); "" when
// it reports none or cannot be asked.
std::string serialOf(libusb_device* dev);

// Every attached adapter of a model the tool knows, in libusb's order.
// Serial numbers are read only when withSerials is set.
std::vector<AttachedAdapter> attachedAdapters(bool withSerials);

// Whether a listed device, the index-th with its USB id, is the adapter t
// names (by index, port path or serial number).
bool names(const Target& t, libusb_device* dev, uint32_t index);

// Finds the adapter t names among the attached ones and sets t.index to its
// index now (and t.justLocated, so that openTarget() at once does not look
// again); false, saying why, when none (or more than one) is.
bool locate(Target& t, std::string& why);

// Opens the adapter t names (YCAN_OpenDevice with the index locate() found)
// and, when t names it by port or serial, checks that the opened adapter is
// that one; an adapter plugged in meanwhile may have moved the indexes, so
// it looks again (three times). On failure says why on stderr (as
// reportOpenFailure does) and nothing is left open.
bool openTarget(Target& t);

}  // namespace ycantool
