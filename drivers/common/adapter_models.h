// The adapter models the library knows: one row per device type code with
// its family, USB identity, channel count and controller clock. Dispatch,
// the driver factory, the clock lookup and the transport opens all read it.
#pragma once

#include <cstdint>

namespace ycan {

enum class AdapterFamily {
    Classic,          // USB CAN, two channels (types 3, 4)
    ClassicReserved,  // codes routed to the classic functions, which refuse them
    CanFd,            // USB CAN FD, 2, 4 or 8 channels
    Recorder,         // CAN bus recorder
};

struct AdapterModel {
    uint32_t type;
    AdapterFamily family;
    uint16_t vendorId;   // 0 for reserved codes
    uint16_t productId;
    unsigned channels;
    unsigned clockMHz;   // controller clock (CAN FD); 0 where it does not apply
};

// The model of a device type code, or null for a code the library does not
// know (last error 6 at the interface).
const AdapterModel* findAdapterModel(uint32_t type);

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
