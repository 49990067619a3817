#include "drivers/common/receive_thread.h"

#include <pthread.h>

#include <chrono>

#include "support/QUserLog.h"

namespace ycan {
namespace {
constexpr auto kExitGrace = std::chrono::seconds(2);
}

ReceiveThread::~ReceiveThread() {
    // Owners stop the thread themselves (they know how to interrupt it);
    // this is the last resort that keeps a running thread from outliving us.
    if (running()) stop([] {});
}

void ReceiveThread::start(std::function<void()> pass) {
    if (running()) return;
    exitRequested = false;
    {
        std::lock_guard guard(lock);
        exited = false;
    }
    worker = std::thread([this, pass = std::move(pass)] {
        while (!exitRequested.load()) pass();
        {
            std::lock_guard guard(lock);
            exited = true;
        }
        exitedSignal.notify_all();
    });
    // Named for whoever looks at the process's threads (top -H, a debugger,
    // the benchmarks that measure its CPU time).
    pthread_setname_np(worker.native_handle(), kThreadName);
}

void ReceiveThread::stop(const std::function<void()>& interrupt) {
    if (!running()) return;
    exitRequested = true;
    interrupt();
    std::unique_lock guard(lock);
    if (!exitedSignal.wait_for(guard, kExitGrace, [this] { return exited; })) {
        QUserLog::GetInstance()->Error("Thread Exit Fail...");
        // Keep interrupting until it has gone: a pass may have started a new
        // transfer after the first interrupt.
        while (!exitedSignal.wait_for(guard, std::chrono::milliseconds(50), [this] { return exited; })) {
            guard.unlock();
            interrupt();
            guard.lock();
        }
    }
    guard.unlock();
    worker.join();
}

}  // namespace ycan
