// The CAN FD adapter tests' fixture: the common adapter fixture, plus the
// CAN FD driver object and initialisation records.
#pragma once

#include "adapter_fixture.h"
#include "drivers/canfd/QDeviceUsbCanFd2.h"

class CanFd : public ycantest::AdapterFixture<ycansim::VirtualCanFdAdapter> {
protected:
    QDeviceUsbCanFd2* driver(unsigned type = kType, unsigned index = 0) {
        return AdapterFixture::driver<QDeviceUsbCanFd2>(type, index);
    }
    static _YCAN_INITFD_CONFIG rates(unsigned abit, unsigned dbit, uint8_t fd = 1) {
        _YCAN_INITFD_CONFIG c{};
        c.AbitBaudRate = abit;
        c.DbitBaudRate = dbit;
        c.FdEnable = fd;
        return c;
    }
};
