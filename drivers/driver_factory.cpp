#include "drivers/driver_factory.h"

#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "drivers/record/QDeviceCanRecord.h"

std::shared_ptr<QDevice> createDriverObject(uint32_t type) {
    switch (type) {
        case 41: case 42: case 43: case 64: case 65: case 66: case 67:
            return std::make_shared<QDeviceUsbCanFd2>();
        case 61: case 62:
            return std::make_shared<QDeviceCanRecord>();
        default:
            return nullptr;
    }
}
