// Where ycan-virtual plugs its virtual adapters in: the umockdev bench
// (usbfs emulated in this process, for a command run under its preload), or
// this machine's own kernel through USB/IP (real usbfs, for any command).
#pragma once

#include <memory>
#include <string>

#include "sim/bench/device_model.h"
#include "sim/bench/usb_layout.h"

namespace ycansim {
class UsbBench;
}

namespace ycanvirtual {

class Attachment {
public:
    virtual ~Attachment() = default;
    // Plugs a device in; it is there for the command from then on.
    virtual ycansim::DeviceEndpoints& add(const ycansim::DeviceLayout& layout,
                                          std::shared_ptr<ycansim::DeviceModel> model) = 0;
    virtual void unplug(ycansim::DeviceEndpoints& dev) = 0;
    // Back into the port it was in, under a new address.
    virtual void replug(ycansim::DeviceEndpoints& dev) = 0;
    // Into another port of its bus (a number); false where that cannot be
    // done (USB/IP gives the ports itself).
    virtual bool replugAt(ycansim::DeviceEndpoints&, int /*port*/) { return false; }
    // Whether the command must run under the umockdev preload.
    virtual bool needsPreload() const = 0;
};

// The umockdev bench; must be made before any other thread starts.
std::unique_ptr<Attachment> benchAttachment();
// A bench made elsewhere (a test's), which stays its owner's.
std::unique_ptr<Attachment> benchAttachment(ycansim::UsbBench& existing);
// vhci-hcd's ports; throws, saying why, when they cannot be used.
std::unique_ptr<Attachment> usbipAttachment();

}  // namespace ycanvirtual
