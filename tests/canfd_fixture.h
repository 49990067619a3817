// Fixture for tests of CAN FD adapters on the virtual bench.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#include "api/QYCANDevMgr.h"
#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "sim/canfd/canfd_adapter.h"
#include "sim/bench/usb_bench.h"
#include "ycan.h"

class CanFd : public ::testing::Test {
protected:
    ycansim::VirtualCanFdAdapter& attach(unsigned type) {
        auto model = std::make_shared<ycansim::VirtualCanFdAdapter>(type);
        devices.push_back(&bench.addDevice(ycansim::canFdSpec(type), model));
        models.push_back(model);
        return *model;
    }
    // Opens through the interface and remembers it for the tear-down.
    int open(unsigned type, unsigned index = 0) {
        opened.insert({type, index});
        return YCAN_OpenDevice(type, index);
    }
    // The registered driver object; valid while the device stays open.
    QDeviceUsbCanFd2* driver(unsigned type, unsigned index = 0) {
        auto* dev = dynamic_cast<QDeviceUsbCanFd2*>(ycanDevMgr.deviceFind(type, index).get());
        if (dev == nullptr) throw std::runtime_error("device not open");
        return dev;
    }
    // OUT transfers on the command endpoint of one device.
    std::vector<std::vector<uint8_t>> commandsTo(const ycansim::VirtualDevice& dev) {
        std::vector<std::vector<uint8_t>> out;
        for (auto& t : bench.capture().select(dev.id(), ycansim::UsbEvent::Out, 0x01)) out.push_back(t.data);
        return out;
    }
    static _YCAN_INITFD_CONFIG rates(unsigned abit, unsigned dbit, uint8_t fd = 1) {
        _YCAN_INITFD_CONFIG c{};
        c.AbitBaudRate = abit;
        c.DbitBaudRate = dbit;
        c.FdEnable = fd;
        return c;
    }
    void TearDown() override {
        // Every libusb handle must be gone before the bench.
        for (auto [type, index] : opened) YCAN_CloseDevice(type, index);
    }

    ycansim::UsbBench bench;
    std::vector<std::shared_ptr<ycansim::VirtualCanFdAdapter>> models;
    std::vector<ycansim::VirtualDevice*> devices;
    std::set<std::pair<unsigned, unsigned>> opened;
};

