#include "drivers/driver_factory.h"

std::shared_ptr<QDevice> createDriverObject(uint32_t type) {
    (void)type;
    // NOT YET IMPLEMENTED: the CAN FD driver (types 41-43, 64-67) and the
    // recorder driver (61, 62) are not built yet, so no adapter of these types
    // can be opened; the registry reports "Device Not Exist!".
    return nullptr;
}
