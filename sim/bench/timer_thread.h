// Work to run later, on one thread of its own: delayed chunks, stalls to
// clear, anything a virtual device does after a while.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace ycansim {

class TimerThread {
public:
    TimerThread();
    // Stops at once; work not yet due is dropped.
    ~TimerThread();
    TimerThread(const TimerThread&) = delete;
    TimerThread& operator=(const TimerThread&) = delete;

    // Runs fn on the timer's thread after the delay.
    void after(std::chrono::milliseconds delay, std::function<void()> fn);
    // Work still to run.
    size_t pending() const;

private:
    void loop();

    mutable std::mutex lock;
    std::condition_variable wake;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> due;
    bool stopping = false;
    std::thread thread;
};

}  // namespace ycansim
