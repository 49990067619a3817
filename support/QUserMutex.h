// The library's recursive mutexes. Each uses the priority-inheritance
// protocol, so a receive thread running at a raised priority is never held
// up by a low-priority application thread for longer than its critical
// section; userMutexCreate is the one way to create them. Locks that are
// never taken twice by one thread (open/close serialisation, the filter
// steps, the frame queues, the receive thread's exit) are plain std::mutex.
#pragma once

#include <pthread.h>

namespace ycan {
// Initialises m as a recursive, priority-inheriting mutex.
void userMutexCreate(pthread_mutex_t& m);
}  // namespace ycan

// Scoped lock over a library mutex: locks on construction, unlocks when the
// enclosing block is left by any path.
class QUserMutex {
public:
    explicit QUserMutex(pthread_mutex_t& m) : held(&m) { pthread_mutex_lock(held); }
    ~QUserMutex() { pthread_mutex_unlock(held); }
    QUserMutex(const QUserMutex&) = delete;
    QUserMutex& operator=(const QUserMutex&) = delete;

private:
    pthread_mutex_t* held;
};

// Owner of one library mutex. Satisfies BasicLockable, so it also works with
// std::unique_lock and std::condition_variable_any.
class QRecursiveMutex {
public:
    QRecursiveMutex() { ycan::userMutexCreate(m); }
    ~QRecursiveMutex() { pthread_mutex_destroy(&m); }
    QRecursiveMutex(const QRecursiveMutex&) = delete;
    QRecursiveMutex& operator=(const QRecursiveMutex&) = delete;

    void lock() { pthread_mutex_lock(&m); }
    void unlock() { pthread_mutex_unlock(&m); }
    pthread_mutex_t& native() { return m; }

private:
    pthread_mutex_t m;
};
