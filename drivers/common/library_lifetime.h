// The library's own lifetime as the exported functions see it. Every
// exported call passes the gate below while it runs; at unload (process
// exit or dlclose) the library closes it, lets every waiting caller go, and
// waits for the calls still inside to leave before anything they use is
// torn down. The gate is constant-initialised with static storage: valid
// for the whole life of the process image, whatever the order of static
// destruction.
#pragma once

#include <chrono>

#include "drivers/common/call_gate.h"

namespace ycan::lifetime {

// The gate of the exported calls (hold it with a GateScope).
CallGate& exportedCalls();
// From here on the gate refuses.
void beginShutdown();
// Waits until no call is inside the library, at most `limit`; true if none is.
bool waitCallsLeft(std::chrono::milliseconds limit);

}  // namespace ycan::lifetime
