#include "drivers/common/library_lifetime.h"

namespace ycan::lifetime {
namespace {
constinit CallGate gate;
}  // namespace

CallGate& exportedCalls() { return gate; }

void beginShutdown() { gate.close(); }

bool waitCallsLeft(std::chrono::milliseconds limit) { return gate.drain(limit); }

}  // namespace ycan::lifetime
