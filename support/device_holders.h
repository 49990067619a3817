// Which processes have a device node open: to tell a user who holds an
// adapter that cannot be had ("in use by another program (pid 1234, candump)").
// Reads /proc; processes whose descriptors the caller may not read are not
// seen.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace ycan {

struct DeviceHolder {
    pid_t pid = 0;
    std::string command;  // the process's name (/proc/PID/comm)
};

// Processes with an open descriptor on the node at `path` (this one
// included), by ascending pid; empty when the node cannot be looked at.
std::vector<DeviceHolder> deviceHolders(const std::string& path);

// "/dev/bus/usb/BBB/DDD", the usbfs node of a device.
std::string usbNodePath(unsigned bus, unsigned address);

// How a refused open names who holds the node: " (pid N, COMMAND)" for the
// first holder other than this process, "" when none is seen; *self (when
// not null) tells whether this process itself holds it.
std::string holderText(const std::vector<DeviceHolder>& holders, bool* self = nullptr);

}  // namespace ycan
