#include "tools/virtual_attachment.h"

#include <stdexcept>
#include <utility>

#include "sim/bench/usb_bench.h"
#include "sim/usbip/usbip_bus.h"

namespace ycanvirtual {

namespace {

// The device behind what a model sees of it.
template <class Device>
Device& deviceOf(ycansim::DeviceEndpoints& endpoints) {
    auto* dev = dynamic_cast<Device*>(&endpoints);
    if (dev == nullptr) throw std::logic_error("not a device of this attachment");
    return *dev;
}

class BenchAttachment final : public Attachment {
public:
    BenchAttachment() : owned(std::make_unique<ycansim::UsbBench>()), bench(*owned) {}
    explicit BenchAttachment(ycansim::UsbBench& existing) : bench(existing) {}

    ycansim::DeviceEndpoints& add(const ycansim::DeviceLayout& layout,
                                  std::shared_ptr<ycansim::DeviceModel> model) override {
        return bench.addDevice(layout, std::move(model));
    }
    void unplug(ycansim::DeviceEndpoints& dev) override {
        bench.unplug(deviceOf<ycansim::VirtualDevice>(dev));
    }
    void replug(ycansim::DeviceEndpoints& dev) override {
        bench.replug(deviceOf<ycansim::VirtualDevice>(dev));
    }
    bool replugAt(ycansim::DeviceEndpoints& dev, int port) override {
        bench.replug(deviceOf<ycansim::VirtualDevice>(dev), {.port = port});
        return true;
    }
    bool needsPreload() const override { return true; }

private:
    std::unique_ptr<ycansim::UsbBench> owned;
    ycansim::UsbBench& bench;
};

class UsbipAttachment final : public Attachment {
public:
    ycansim::DeviceEndpoints& add(const ycansim::DeviceLayout& layout,
                                  std::shared_ptr<ycansim::DeviceModel> model) override {
        return bus.addDevice(layout, std::move(model));
    }
    void unplug(ycansim::DeviceEndpoints& dev) override { bus.unplug(dev); }
    void replug(ycansim::DeviceEndpoints& dev) override { bus.replug(dev); }
    bool needsPreload() const override { return false; }

private:
    ycansim::UsbipBus bus;
};

}  // namespace

std::unique_ptr<Attachment> benchAttachment() { return std::make_unique<BenchAttachment>(); }

std::unique_ptr<Attachment> benchAttachment(ycansim::UsbBench& existing) {
    return std::make_unique<BenchAttachment>(existing);
}

std::unique_ptr<Attachment> usbipAttachment() { return std::make_unique<UsbipAttachment>(); }

}  // namespace ycanvirtual
