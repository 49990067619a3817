// A gate that calls pass through while it is open. Closing it refuses new
// calls at once and lets the closer wait until the calls already through
// have left. Starvation-free: a call that finds the gate closed backs out
// without waiting, so a stream of callers never keeps a closer out.
// Sequentially consistent atomics: either a caller sees the gate closed, or
// the closer sees the caller inside and waits for it.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace ycan {

class CallGate {
public:
    constexpr CallGate() = default;

    // Counts a call in; false (nothing counted) while the gate is closed.
    bool enter() {
        inside.fetch_add(1);
        if (!closed.load()) return true;
        inside.fetch_sub(1);
        return false;
    }
    void leave() { inside.fetch_sub(1); }

    void close() { closed = true; }
    void open() { closed = false; }
    bool isClosed() const { return closed.load(); }

    // Waits until no call is inside, for at most `limit`; true if none is.
    bool drain(std::chrono::milliseconds limit) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (inside.load() > 0) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return true;
    }

private:
    std::atomic<int> inside{0};
    std::atomic<bool> closed{false};
};

// Holds one pass through a gate for its scope.
class GateScope {
public:
    explicit GateScope(CallGate& g) : gate(g), entered(g.enter()) {}
    ~GateScope() {
        if (entered) gate.leave();
    }
    GateScope(const GateScope&) = delete;
    GateScope& operator=(const GateScope&) = delete;
    explicit operator bool() const { return entered; }

private:
    CallGate& gate;
    const bool entered;
};

}  // namespace ycan
