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

// What to tell of an adapter whose node at `path` someone else holds:
// "WHAT is in use by another program (pid N, COMMAND)", or without the pid
// when the holder cannot be seen, or "WHAT is already open in this program"
// when this process holds it and no other program does. A program that
// started this one and holds the node too is named only when nobody else
// does: it may hold the node without using it (a program serving emulated
// devices, say).
std::string inUseText(const std::string& what, const std::string& path);

}  // namespace ycan
