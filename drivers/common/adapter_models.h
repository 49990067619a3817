// The adapter models: one row per USB identity with its family, channel
// count, controller clock and the device type codes that open it. This is
// the one table of them: the library (dispatch, driver objects, transport
// opens), the ycan tool and ycan-virtual read it; python's copy is checked
// against it by python/tests/test_models.py, the udev rules by
// tests/test_udev_rules.cpp. (The emulation in sim/ keeps its own, as an
// independent check of the library.)
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace ycan {

enum class AdapterFamily {
    Classic,          // USB CAN, two channels
    ClassicReserved,  // codes the classic family refuses; never open
    CanFd,            // USB CAN FD, 2, 4 or 8 channels
    Recorder,         // CAN bus recorder
};

struct AdapterModel {
    AdapterFamily family;
    uint16_t vendorId;  // 0 for the reserved codes
    uint16_t productId;
    unsigned channels;
    unsigned clockMHz;  // CAN FD controller clock; 0 where it does not apply
    // The device type codes that open this model, in ascending order; the
    // unused places are 0 (no model has code 0).
    std::array<uint32_t, 7> types;

    bool opens(uint32_t type) const;
    // The last of its codes: the one the tools name it by.
    uint32_t preferredType() const;
};

// Every row, the reserved codes' included.
std::span<const AdapterModel> adapterModels();
// The model a device type code opens, or null for a code the library does
// not know (last error 6 at the interface).
const AdapterModel* findAdapterModel(uint32_t type);
// "CAN", "CAN FD", "recorder" or "reserved".
const char* familyName(AdapterFamily family);

// How the registry keeps a type's driver objects. The classic family's two
// type codes reach the same adapter: both are kept under the family's first
// code, one object per device index below 32, made on first use and kept
// until unload (it keeps its received frames across a close). Every other
// type has its own key and an object only while it is open.
uint32_t registryKey(uint32_t type);
// Device indices whose objects are kept; 0 for a type whose objects live
// while open.
unsigned keptIndices(uint32_t type);

}  // namespace ycan
