// A record of everything that crossed the virtual bus, for assertions.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ycansim {

enum class UsbEvent {
    Out,            // host to device data, as submitted
    In,             // device to host data, as completed
    Discard,        // the host cancelled a pending transfer (time-out)
    ClearHalt,      // CLEAR_HALT on `endpoint`
    ResetEndpoint,  // RESETEP on `endpoint`
    Reset,          // device reset
    Claim,          // interface claim (`endpoint` holds the interface; status -EBUSY
                    // when another open file holds it)
    Release,        // interface released
    UnclaimedUse,   // a transfer on an interface its open file had not claimed
                    // (usbfs claims it then, with a warning in the kernel log;
                    // status -EBUSY when another open file holds it)
    Control,        // a request on the default pipe (`data` holds its setup packet;
                    // status -EPIPE when the device stalled it)
    Unplug,
    Replug,
    Unknown,  // an ioctl the bench does not emulate (`status` holds the request)
};

const char* toString(UsbEvent e);

struct UsbTransfer {
    uint64_t timeUs;  // steady clock
    int device;       // the bench's device id
    UsbEvent kind;
    uint8_t endpoint;
    int status;  // URB status (0, -ENOENT, -EPIPE, -EPROTO ...)
    std::vector<uint8_t> data;
};

std::string describe(const UsbTransfer& t);

class UsbCapture {
public:
    void add(UsbTransfer t);
    std::vector<UsbTransfer> all() const;
    // Only the events of one kind (and endpoint, when given) of one device.
    std::vector<UsbTransfer> select(int device, UsbEvent kind, int endpoint = -1) const;
    void clear();
    // Waits until the predicate holds for the events so far.
    bool waitFor(const std::function<bool(const std::vector<UsbTransfer>&)>& done,
                 std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<UsbTransfer> events;
};

}  // namespace ycansim
