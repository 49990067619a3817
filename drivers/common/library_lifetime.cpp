#include "drivers/common/library_lifetime.h"

#include "drivers/common/call_gate.h"

namespace ycan::lifetime {
namespace {
constinit CallGate exportedCalls;
}  // namespace

bool enterCall() { return exportedCalls.enter(); }

void leaveCall() { exportedCalls.leave(); }

void beginShutdown() { exportedCalls.close(); }

bool waitCallsLeft(std::chrono::milliseconds limit) { return exportedCalls.drain(limit); }

}  // namespace ycan::lifetime
