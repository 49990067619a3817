#include "drivers/common/library_lifetime.h"

#include <atomic>
#include <thread>

namespace ycan::lifetime {
namespace {
constinit std::atomic<int> callsInside{0};
constinit std::atomic<bool> closing{false};
}  // namespace

bool enterCall() {
    callsInside.fetch_add(1);
    if (!closing.load()) return true;
    callsInside.fetch_sub(1);
    return false;
}

void leaveCall() { callsInside.fetch_sub(1); }

void beginShutdown() { closing = true; }

bool shuttingDown() { return closing.load(); }

bool waitCallsLeft(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (callsInside.load() > 0) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

}  // namespace ycan::lifetime
