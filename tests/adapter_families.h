// The three adapter families on the virtual bench behind one interface, so
// that a scenario (unplug cycles, hostile adapters, soak) is written once
// and run for every family it applies to.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/bench/usb_bench.h"
#include "sim/canfd/canfd_adapter.h"
#include "sim/recorder/recorder_adapter.h"
#include "sim/usbcan/usbcan_adapter.h"
#include "sim/usbip/usbip_bus.h"
#include "ycan.h"

namespace ycantest {

// Frame number n as the families inject it on channel 0: a standard ID from
// n, eight data bytes carrying n and its complement.
uint32_t frameId(uint32_t n);
std::vector<uint8_t> framePayload(uint32_t n);
// The frame number an intact frame carries; -1 for a frame that is not one
// of ours exactly (wrong length, ID or payload).
int64_t frameNumber(const _YCAN_CAN_OBJ& f);

// One exported call, as a round of calls makes it: what it returns and how
// long it may take (the sum of its exchanges' time-outs, plus a margin).
struct ExportedCall {
    std::string name;
    std::chrono::milliseconds bound;
    std::function<int()> run;
    std::function<bool(int)> documented;  // whether a result is one the call documents
};

class AdapterFamily {
public:
    virtual ~AdapterFamily() = default;
    virtual std::string name() const = 0;
    virtual uint32_t type() const = 0;
    virtual bool carriesFrames() const { return true; }
    // Plugs the family's adapter into the umockdev bench, or into the
    // kernel through USB/IP.
    void attach(ycansim::UsbBench& bench);
    void attach(ycansim::UsbipBus& bus);
    // Opens the adapter and initialises channel 0 (the recorder: opens it).
    virtual bool ready() = 0;
    virtual bool recovering() = 0;
    // Frame number n on channel 0, from the adapter.
    virtual void inject(uint32_t n) = 0;
    // The bytes of frame n as the adapter's stream carries it.
    virtual std::vector<uint8_t> encoded(uint32_t n) = 0;
    void injectRaw(const std::vector<uint8_t>& bytes) { endpoints->pushIn(streamEp(), bytes); }
    virtual uint8_t streamEp() const = 0;
    // Received bytes the library holds of an unfinished packet or record.
    virtual unsigned reassemblyBytes() { return 0; }
    // Endpoints of the command channel (request out, reply in).
    virtual uint8_t commandOutEp() const = 0;
    virtual uint8_t replyEp() const = 0;
    // Frame number n sent on channel 0 through the exported interface; the
    // transmit's result.
    int transmit(uint32_t n);
    // Frame numbers the adapter put on the bus from channel 0 since the last
    // call, in order (-1 for a frame that is not one of ours exactly).
    virtual std::vector<int64_t> takeBusNumbers() { return {}; }
    // One quick command through the exported interface; true when it worked.
    virtual bool command() = 0;
    // Every exported call that talks to this family's adapter.
    virtual std::vector<ExportedCall> calls() = 0;

    // The adapter on the bench (null over USB/IP), and what its model
    // reaches wherever it is attached.
    ycansim::VirtualDevice* dev = nullptr;
    ycansim::DeviceEndpoints* endpoints = nullptr;

protected:
    // A new model (kept by the family) and the layout its adapter has.
    virtual std::shared_ptr<ycansim::DeviceModel> makeModel() = 0;
    virtual ycansim::DeviceLayout layout() const = 0;
};

// "canfd" (type 43), "classic" (type 4) or "recorder" (type 61).
std::unique_ptr<AdapterFamily> makeFamily(const std::string& name);

}  // namespace ycantest
