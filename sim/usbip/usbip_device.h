// One virtual USB device served over USB/IP: the device side of the
// protocol that the kernel's vhci-hcd speaks. vhci-hcd is a host controller
// whose ports are connected to sockets; every URB the kernel submits to a
// device on such a port arrives here as a CMD_SUBMIT, is answered with a
// RET_SUBMIT, and a cancelled one arrives as a CMD_UNLINK. So the real
// kernel (hub, usbfs, address, claims, resets) sits between the host
// program and the device's model, which stays the one of the umockdev bench.
//
// The default pipe is answered here: descriptors from the DeviceLayout,
// SET_CONFIGURATION (the model sees it as a reset: the kernel configures the
// device again after every port reset, which vhci-hcd performs itself),
// SET_INTERFACE, CLEAR_FEATURE(ENDPOINT_HALT), GET_STATUS; anything else
// stalls.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/bench/device_model.h"
#include "sim/bench/timer_thread.h"
#include "sim/bench/usb_layout.h"

namespace ycansim {

class UsbipDevice final : public DeviceEndpoints {
public:
    UsbipDevice(DeviceLayout layout, std::shared_ptr<DeviceModel> model, TimerThread& timer);
    ~UsbipDevice();
    UsbipDevice(const UsbipDevice&) = delete;
    UsbipDevice& operator=(const UsbipDevice&) = delete;

    const DeviceLayout& layout() const { return deviceLayout; }
    DeviceModel& model() { return *deviceModel; }

    // Serves the kernel on `fd` (this side of the socket whose other side
    // was handed to vhci-hcd) until disconnect() or the kernel closes it.
    void connect(int fd);
    // Ends the connection: pending transfers are dropped (the kernel gives
    // them back itself when the port goes), queued data is lost.
    void disconnect();
    bool connected() const;

    // DeviceEndpoints
    void pushIn(uint8_t ep, std::vector<uint8_t> data) override;
    void pushInAfter(uint8_t ep, std::vector<uint8_t> data, std::chrono::milliseconds delay) override;
    size_t inRoom(uint8_t ep) const override;
    // IN transfers the host has pending on `ep`.
    int pendingIn(uint8_t ep) const;

private:
    struct Header;
    struct PendingIn {
        uint32_t seqnum;
        uint8_t endpoint;
        uint32_t length;
    };

    void serve(int fd);
    // One CMD_SUBMIT (its OUT data read already).
    void submit(const Header& h, const std::vector<uint8_t>& out);
    void control(const Header& h, const std::vector<uint8_t>& out);
    void unlink(const Header& h);
    // Sends a RET_SUBMIT or RET_UNLINK (IN data after the header); false
    // once the connection is gone.
    bool replyLocked(uint32_t command, uint32_t seqnum, uint32_t direction, uint32_t ep, int32_t status,
                     int32_t actualLength, const std::vector<uint8_t>& data);
    bool replySubmit(const Header& h, int32_t status, const std::vector<uint8_t>& data);
    void matchLocked();

    const DeviceLayout deviceLayout;
    std::shared_ptr<DeviceModel> deviceModel;
    TimerThread& timer;

    mutable std::mutex lock;
    int socketFd = -1;  // the live connection; -1 once either side ended it
    int ownedFd = -1;   // closed by disconnect()
    std::thread reader;
    std::list<PendingIn> pending;
    std::map<uint8_t, std::deque<std::vector<uint8_t>>> inQueue;
};

}  // namespace ycansim
