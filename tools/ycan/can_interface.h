// A Linux CAN network interface (vcan, one end of a vxcan pair, a real
// controller) seen through a raw CAN socket bound to it: frames read from
// it are the frames other programs wrote there, frames written to it reach
// every other program on it (the socket does not read back its own).
#pragma once

#include <linux/can.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace ycantool {

class CanInterface {
public:
    explicit CanInterface(std::string ifaceName) : name_(std::move(ifaceName)) {}
    ~CanInterface() { close(); }
    CanInterface(const CanInterface&) = delete;
    CanInterface& operator=(const CanInterface&) = delete;

    const std::string& name() const { return name_; }
    // Bytes of frames other programs wrote that may wait to be read (the
    // kernel counts about a kilobyte per frame); 0: the system's default.
    void setReceiveBuffer(size_t bytes) { receiveBuffer = bytes; }

    // Binds a socket to the interface when it exists and is up; on failure
    // says why. An interface with the CAN FD MTU (72) carries both kinds,
    // one with the classic MTU (16) classic frames only.
    bool open(std::string& why);
    void close();
    bool isOpen() const { return sock >= 0; }
    int descriptor() const { return sock; }
    bool carriesFd() const { return fdMtu; }

    // Frames other programs wrote, as many as wait up to `max`, in one
    // system call: how many were read (sizes[k] is CAN_MTU or CANFD_MTU),
    // 0 when none waits, -1 when the interface went down or away (the
    // socket is closed; open() again later).
    int read(canfd_frame* frames, size_t* sizes, size_t max);
    // Frames the kernel dropped because this socket's receive buffer was
    // full, since the interface was first opened.
    uint64_t kernelDrops() const { return dropsBefore + dropsNow; }
    // Frames in order, as few system calls as the kernel allows. A frame the
    // kernel has no room for is skipped; when the interface went down or
    // away, `lost` is set, the socket closed and the rest not written.
    // Returns how many were written.
    size_t write(const canfd_frame* frames, const size_t* sizes, size_t count, bool& lost);
    // Writes a CAN error frame, CAN_ERR_FLAG with `classes` (e.g.
    // CAN_ERR_BUSOFF), as a controller's driver reports its state; false
    // when it could not be written.
    bool writeError(canid_t classes);

private:
    std::string name_;
    int sock = -1;
    bool fdMtu = false;
    size_t receiveBuffer = 0;
    uint64_t dropsBefore = 0;  // of sockets closed since
    uint32_t dropsNow = 0;     // of the open socket, as the kernel counts them
};

// Creates a vxcan pair, `name` and its peer `peer`, both with the CAN FD MTU
// and up (needs CAP_NET_ADMIN); on failure says why.
bool createVxcanPair(const std::string& name, const std::string& peer, std::string& why);
// Sets an interface up or down (needs CAP_NET_ADMIN); on failure says why.
bool setLinkUp(const std::string& name, bool up, std::string& why);
bool interfaceExists(const std::string& name);
// Whether an interface that is up has its carrier (a vxcan end: its peer is
// up too); false when it is down or missing.
bool hasCarrier(const std::string& name);
// The name of the bridge's end of the vxcan pair whose other end, `name`, is
// the one programs use: "NAME-ycan", or for names of more than 10
// characters their first 10, '-' and 4 hex digits of a hash of the whole
// name (the kernel takes 15 characters).
std::string bridgeEndName(const std::string& name);
// Deletes an interface (needs CAP_NET_ADMIN); on failure says why.
bool deleteInterface(const std::string& name, std::string& why);

}  // namespace ycantool
