// The behaviour of a virtual adapter. The bus the device is attached to (the
// umockdev bench, or USB/IP to a real kernel) delivers what the host sends;
// the model answers by handing data to the device's IN endpoints.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ycansim {

// What a model reaches of its device: the IN endpoints toward the host.
class DeviceEndpoints {
public:
    // Data the device has for the host on IN endpoint `ep`: it completes the
    // oldest pending IN transfer on that endpoint, or waits for one (as a
    // device buffers data until the host polls). A chunk longer than the
    // transfer fills it and the rest goes to the next one. Thread-safe.
    virtual void pushIn(uint8_t ep, std::vector<uint8_t> data) = 0;
    // The same, after a delay.
    virtual void pushInAfter(uint8_t ep, std::vector<uint8_t> data, std::chrono::milliseconds delay) = 0;
    // Length of the first transfer pending on `ep` that no queued chunk
    // will fill; 0 when there is none (the host is not asking for more).
    virtual size_t inRoom(uint8_t ep) const = 0;

protected:
    ~DeviceEndpoints() = default;
};

class DeviceModel {
public:
    virtual ~DeviceModel() = default;

    // The host wrote `data` to OUT endpoint `ep`. Called on the bus's
    // worker thread: answer with dev.pushIn() (now or later, from any
    // thread) but never block here, or the whole bus stalls.
    virtual void onOut(DeviceEndpoints& dev, uint8_t ep, const std::vector<uint8_t>& data) = 0;
    // The host reset the device (the transport does so after every open).
    virtual void onReset(DeviceEndpoints&) {}
    // The host cleared a halt on `ep`.
    virtual void onClearHalt(DeviceEndpoints&, uint8_t /*ep*/) {}
    // The host submitted an IN transfer on `ep` that nothing queued will
    // fill: a model holding data back (see InBatcher) sends it now. Called
    // on the bus's worker thread, without the device's lock.
    virtual void onInReady(DeviceEndpoints&, uint8_t /*ep*/) {}
};

}  // namespace ycansim
