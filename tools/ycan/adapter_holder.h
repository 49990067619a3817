// An adapter that would not open: is another program using it, and which?
// Or may this user not open it at all?
#pragma once

#include <string>

#include "tools/ycan/adapter_target.h"

namespace ycantool {

// "TYPE:INDEX is in use by another program (pid N, COMMAND)" when another
// program has the adapter (see ycan::inUseText), "" when nobody holds it
// (it is absent, or failed otherwise). Asks the kernel by claiming the
// adapter's interface, which writes nothing to it; a claim that succeeds is
// handed back at once.
std::string inUseBy(const Target& t);

// "TYPE:INDEX: permission denied on /dev/bus/usb/BBB/DDD ..." with where the
// udev rule is, when this user may not open the adapter's node; "" when it
// may, or the adapter is not there.
std::string accessDenied(const Target& t);

// Whether libusb lists an adapter TYPE:INDEX names.
bool isAttached(const Target& t);

}  // namespace ycantool
