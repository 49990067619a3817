// Waiting in tests: poll a condition until it holds or a time-out passes.
#pragma once

#include <chrono>
#include <thread>

namespace ycantest {

// True as soon as pred() holds; false if it still does not after timeout.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout,
                std::chrono::milliseconds step = std::chrono::milliseconds(2)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(step);
    }
}

// Milliseconds since t0, as a double.
inline double msSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace ycantest
