// The library's own lifetime as the exported functions see it. Every
// exported call is counted while it runs; at unload (process exit or
// dlclose) the library stops taking calls, lets every waiting caller go, and
// waits for the calls still inside it to leave before anything they use is
// torn down. Plain atomics with static storage: valid for the whole life of
// the process image, whatever the order of static destruction.
#pragma once

#include <chrono>

namespace ycan::lifetime {

// Counts a call in; false (nothing counted) once shutdown has begun.
bool enterCall();
void leaveCall();
// From here on enterCall() refuses.
void beginShutdown();
// Waits until no call is inside the library, at most `limit`; true if none is.
bool waitCallsLeft(std::chrono::milliseconds limit);

class CallScope {
public:
    CallScope() : entered(enterCall()) {}
    ~CallScope() {
        if (entered) leaveCall();
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
    explicit operator bool() const { return entered; }

private:
    const bool entered;
};

}  // namespace ycan::lifetime
