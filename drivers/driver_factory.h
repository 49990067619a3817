// Creates the driver object for a device type.
#pragma once

#include <cstdint>
#include <memory>

#include "drivers/common/QDevice.h"

// Null when no driver serves the type.
std::shared_ptr<QDevice> createDriverObject(uint32_t type);
