// Waiting for an adapter to be plugged in: nothing is opened and no CPU is
// spent while it is away.
#pragma once

#include "tools/ycan/adapter_target.h"

namespace ycantool {

// Returns true once libusb lists the adapter TYPE:INDEX names, false as soon
// as `stopFd` becomes readable (it is left unread). Sleeps in poll() on
// libusb's hot-plug notices (udev's) and on `stopFd`, with a fresh look at
// the bus every 5 s for systems where no notice comes.
bool waitUntilAttached(const Target& t, int stopFd);

}  // namespace ycantool
