// Waiting for an adapter to be plugged in: nothing is opened and no CPU is
// spent while it is away.
#pragma once

#include <poll.h>

#include <vector>

#include "tools/ycan/adapter_target.h"

struct libusb_context;

namespace ycantool {

// Returns true once libusb lists the adapter TYPE:INDEX names, false as soon
// as `stopFd` becomes readable (it is left unread). Sleeps in poll() on
// libusb's hot-plug notices (udev's) and on `stopFd`, with a fresh look at
// the bus every 5 s for systems where no notice comes.
bool waitUntilAttached(const Target& t, int stopFd);

// Adds the descriptors libusb's events (hot-plug notices among them) come
// on to a poll() set; libusb_handle_events_timeout_completed() with a zero
// time-out takes what they bring.
void addUsbPollFds(libusb_context* ctx, std::vector<pollfd>& fds);

}  // namespace ycantool
