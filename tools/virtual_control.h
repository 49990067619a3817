// ycan-virtual's control channel: a Unix socket through which the program
// under test (or its test harness) plays the other nodes of the virtual
// buses. One request per line, one reply line per request, "ok ..." or
// "error WHY":
//
//   inject TYPE:INDEX:CH FRAME...   frames arrive on the bus (cansend syntax)
//   sent TYPE:INDEX:CH [N [MS]]     frames the program put on the bus since
//                                   the last "sent", waiting up to MS ms for N
//   state TYPE:INDEX:CH             how the program set the channel up
//   recorder TYPE:INDEX:CH          what a recorder's channel holds: "ok
//                                   settings HEX filtering on|off filters
//                                   KIND:LO-HI ..." (HEX: the 25 stored
//                                   bytes of the settings, hex ids)
//   refuse TYPE:INDEX on|off        a recorder refuses (status byte 1)
//                                   every settings and filter request
//   unplug TYPE:INDEX, replug TYPE:INDEX [PORT]
//                                   (PORT: another port of its bus, where
//                                   the attachment can; it is then seen as
//                                   plugged in there)
//
// TYPE:INDEX name adapters as the library does: INDEX counts the adapters
// with the USB id of TYPE in libusb's order.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/bench/device_model.h"
#include "sim/canfd/canfd_adapter.h"
#include "sim/recorder/recorder_adapter.h"
#include "sim/usbcan/usbcan_adapter.h"
#include "tools/virtual_attachment.h"

namespace ycanvirtual {

// One virtual adapter the control channel can reach; exactly one of the
// models is set.
struct ControlledAdapter {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    ycansim::DeviceEndpoints* device = nullptr;
    std::shared_ptr<ycansim::VirtualCanFdAdapter> canFd;
    std::shared_ptr<ycansim::VirtualUsbCanAdapter> classic;
    std::shared_ptr<ycansim::VirtualRecorder> recorder;
};

class ControlServer {
public:
    // Listens on a new socket in a private temporary directory. `adapters`
    // in the order they were attached.
    ControlServer(Attachment& attachment, std::vector<ControlledAdapter> adapters);
    // Stops serving and removes the socket.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    const std::string& path() const { return socketPath; }
    // Answers one request line (also what the socket sessions use).
    std::string handle(const std::string& line);

private:
    void serve();
    void session(int fd);
    // Waits until fd has input (or hung up); false once we are stopping.
    bool awaitInput(int fd) const;
    const ControlledAdapter* find(uint32_t type, uint32_t index) const;

    Attachment& bench;
    std::vector<ControlledAdapter> adapters;
    std::string directory;
    std::string socketPath;
    int listenFd = -1;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::thread server;
};

}  // namespace ycanvirtual
