// The behaviour of a virtual adapter. The bench delivers what the host sends;
// the model answers by handing data to its VirtualDevice's IN endpoints.
#pragma once

#include <cstdint>
#include <vector>

namespace ycansim {

class VirtualDevice;

class DeviceModel {
public:
    virtual ~DeviceModel() = default;

    // The host wrote `data` to OUT endpoint `ep`. Called on the bench's
    // worker thread: answer with dev.pushIn() (now or later, from any
    // thread) but never block here, or the whole bus stalls.
    virtual void onOut(VirtualDevice& dev, uint8_t ep, const std::vector<uint8_t>& data) = 0;
    // The host reset the device (the transport does so after every open).
    virtual void onReset(VirtualDevice&) {}
    // The host cleared a halt on `ep`.
    virtual void onClearHalt(VirtualDevice&, uint8_t /*ep*/) {}
    // The host submitted an IN transfer on `ep` that nothing queued will
    // fill: a model holding data back (see InBatcher) sends it now. Called
    // on the bench's worker thread, without the device's lock.
    virtual void onInReady(VirtualDevice&, uint8_t /*ep*/) {}
};

}  // namespace ycansim
