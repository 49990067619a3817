#include "sim/bench/timer_thread.h"

#include <utility>

namespace ycansim {

TimerThread::TimerThread() : thread([this] { loop(); }) {}

TimerThread::~TimerThread() {
    {
        std::lock_guard guard(lock);
        stopping = true;
    }
    wake.notify_all();
    thread.join();
}

void TimerThread::after(std::chrono::milliseconds delay, std::function<void()> fn) {
    {
        std::lock_guard guard(lock);
        due.emplace(std::chrono::steady_clock::now() + delay, std::move(fn));
    }
    wake.notify_all();
}

size_t TimerThread::pending() const {
    std::lock_guard guard(lock);
    return due.size();
}

void TimerThread::loop() {
    std::unique_lock guard(lock);
    while (!stopping) {
        if (due.empty()) {
            wake.wait(guard);
            continue;
        }
        auto first = due.begin();
        if (wake.wait_until(guard, first->first) == std::cv_status::no_timeout) continue;
        first = due.begin();
        if (first == due.end() || first->first > std::chrono::steady_clock::now()) continue;
        std::function<void()> fn = std::move(first->second);
        due.erase(first);
        guard.unlock();
        fn();
        guard.lock();
    }
}

}  // namespace ycansim
