// The receive thread of one open adapter: it runs one pass of the driver's
// loop after another until asked to stop. Stopping asks, then interrupts the
// pass in progress (the driver aborts its transfers), and waits for the
// thread to report its exit; the thread is always joined, never cancelled,
// so it can never be left holding a lock inside libusb.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace ycan {

class ReceiveThread {
public:
    // The name every receive thread carries.
    static constexpr const char* kThreadName = "ycan-rx";

    ReceiveThread() = default;
    ~ReceiveThread();
    ReceiveThread(const ReceiveThread&) = delete;
    ReceiveThread& operator=(const ReceiveThread&) = delete;

    // Starts the thread running pass() in a loop; nothing if it runs already.
    void start(std::function<void()> pass);
    // Asks the thread to leave its loop, calls interrupt() so that a pass
    // blocked in a transfer ends now, and joins it. "Thread Exit Fail..." is
    // logged when it has not reported its exit within the 2 s grace (it is
    // still waited for: cancelling a thread inside libusb would leave
    // libusb's locks held). Not from the thread itself.
    void stop(const std::function<void()>& interrupt);

    bool running() const { return worker.joinable(); }
    // True once a stop was asked for: a pass can end early.
    bool stopRequested() const { return exitRequested.load(); }

private:
    std::thread worker;
    std::atomic<bool> exitRequested{false};
    std::mutex lock;
    std::condition_variable exitedSignal;
    bool exited = false;  // under lock
};

}  // namespace ycan
