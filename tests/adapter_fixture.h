// The fixtures of the adapter tests, one shape for every family: they put
// virtual adapters on a bench, open them through the exported interface and
// close whatever a test opened before the bench goes away (every libusb
// handle must be gone first).
//
//   class CanFd : public ycantest::AdapterFixture<ycansim::VirtualCanFdAdapter> {};
//   TEST_F(CanFd, ...) { auto& a = attach(43); ASSERT_EQ(open(43), 1); ... }
//
//   class Scenario : public ycantest::FamilyFixture {};
//   TEST_P(Scenario, ...) { ASSERT_TRUE(fam->ready()); fam->inject(1); ... }
//   INSTANTIATE_TEST_SUITE_P(Families, Scenario, ::testing::Values("canfd", "classic"));
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "adapter_families.h"
#include "api/QYCANDevMgr.h"
#include "sim/bench/usb_bench.h"
#include "sim/canfd/canfd_adapter.h"
#include "sim/recorder/recorder_adapter.h"
#include "sim/usbcan/usbcan_adapter.h"
#include "ycan.h"

namespace ycantest {

// How each family's virtual adapter is made and seen on the bus.
template <class Model>
struct AdapterKind;

template <>
struct AdapterKind<ycansim::VirtualCanFdAdapter> {
    static constexpr unsigned kType = 43;
    static std::shared_ptr<ycansim::VirtualCanFdAdapter> make(unsigned type) {
        return std::make_shared<ycansim::VirtualCanFdAdapter>(type);
    }
    static ycansim::DeviceLayout layout(unsigned type) { return ycansim::canFdLayout(type); }
};

template <>
struct AdapterKind<ycansim::VirtualUsbCanAdapter> {
    // Types 3 and 4 are the same adapter (0471:1200).
    static constexpr unsigned kType = 4;
    static std::shared_ptr<ycansim::VirtualUsbCanAdapter> make(unsigned) {
        return std::make_shared<ycansim::VirtualUsbCanAdapter>();
    }
    static ycansim::DeviceLayout layout(unsigned) { return ycansim::usbCanLayout(); }
};

template <>
struct AdapterKind<ycansim::VirtualRecorder> {
    static constexpr unsigned kType = 61;
    static std::shared_ptr<ycansim::VirtualRecorder> make(unsigned) {
        return std::make_shared<ycansim::VirtualRecorder>();
    }
    static ycansim::DeviceLayout layout(unsigned type) { return ycansim::recorderLayout(type); }
};

// A virtual adapter of `type` added to `bench`, and its device there:
template <class Model>
struct AddedAdapter {
    std::shared_ptr<Model> model;
    ycansim::VirtualDevice& device;
};

template <class Model>
AddedAdapter<Model> addAdapter(ycansim::UsbBench& bench, unsigned type) {
    auto model = AdapterKind<Model>::make(type);
    ycansim::VirtualDevice& device = bench.addDevice(AdapterKind<Model>::layout(type), model);
    return {std::move(model), device};
}

template <class Model>
class AdapterFixture : public ::testing::Test {
protected:
    static constexpr unsigned kType = AdapterKind<Model>::kType;

    // Adds an adapter of device type `type` to the bench.
    Model& attach(unsigned type = kType) {
        auto added = addAdapter<Model>(bench, type);
        models.push_back(added.model);
        devices.push_back(&added.device);
        return *added.model;
    }
    // Opens through the exported interface and remembers it for the tear-down.
    int open(unsigned type = kType, unsigned index = 0) {
        opened.insert({type, index});
        return YCAN_OpenDevice(type, index);
    }
    // The registered driver object of an open adapter; valid while it stays open.
    template <class Driver>
    Driver* driver(unsigned type = kType, unsigned index = 0) {
        auto* found = dynamic_cast<Driver*>(ycanDevMgr.deviceFind(type, index).get());
        if (found == nullptr) throw std::runtime_error("device not open");
        return found;
    }
    // What the host wrote on the command endpoint of one adapter, in order.
    std::vector<std::vector<uint8_t>> commandsTo(const ycansim::VirtualDevice& dev, uint8_t ep = 0x01) {
        std::vector<std::vector<uint8_t>> out;
        for (auto& t : bench.capture().select(dev.id(), ycansim::UsbEvent::Out, ep)) out.push_back(t.data);
        return out;
    }
    void TearDown() override {
        for (auto [type, index] : opened) YCAN_CloseDevice(type, index);
    }

    ycansim::UsbBench bench;
    std::vector<std::shared_ptr<Model>> models;
    std::vector<ycansim::VirtualDevice*> devices;  // in the order attached
    std::set<std::pair<unsigned, unsigned>> opened;
};

// A scenario written once for the families it applies to: the test
// parameter names the family ("canfd", "classic", "recorder"), whose adapter
// is on the bench (not yet open).
class FamilyFixture : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        fam = makeFamily(GetParam());
        fam->attach(bench);
    }
    void TearDown() override { YCAN_CloseDevice(fam->type(), 0); }

    ycansim::UsbBench bench;
    std::unique_ptr<AdapterFamily> fam;
};

}  // namespace ycantest
