#include "drivers/driver_factory.h"

#include "drivers/canfd/QDeviceUsbCanFd2.h"

std::shared_ptr<QDevice> createDriverObject(uint32_t type) {
    switch (type) {
        case 41: case 42: case 43: case 64: case 65: case 66: case 67:
            return std::make_shared<QDeviceUsbCanFd2>();
        default:
            // NOT YET IMPLEMENTED: the recorder driver (types 61, 62) is not built
            // yet, so no recorder can be opened; the registry reports
            // "Device Not Exist!".
            return nullptr;
    }
}
