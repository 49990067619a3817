// The process-wide last error: one code shared by every thread and device,
// with a fixed English message per code.
#pragma once

#include <pthread.h>

#include <atomic>

class QErrMgr {
public:
    // The instance, created on first use (thread-safe).
    static QErrMgr* getInstance();
    // Destroys the instance; the next getInstance() creates a fresh one
    // holding 0. The library's teardown calls it at unload, once every call
    // has left; no other thread may be using the instance meanwhile.
    static void destroyInstance();

    // Stores code if it has a message; any other code is ignored.
    void setLastError(int code);
    int getLastError();
    // Message of the stored code; static text, valid for the life of the
    // library.
    const char* getLastErrorStr();

    // Message of a code, "Unknown Error!" for a code without one.
    static const char* messageOf(int code);

private:
    QErrMgr();
    ~QErrMgr();
    QErrMgr(const QErrMgr&) = delete;
    QErrMgr& operator=(const QErrMgr&) = delete;

    pthread_mutex_t errLock;
    int lastError = 0;

    static std::atomic<QErrMgr*> m_pInstance;
};

// The accessor every caller in the library uses.
class QErrInfoMgr {
public:
    static QErrMgr* getinstance() { return QErrMgr::getInstance(); }
};

namespace ycan {
// Shorthand for the common case of a failing driver call.
inline void setLastError(int code) { QErrInfoMgr::getinstance()->setLastError(code); }
// A driver call that fails with this last error returns 0.
inline int fail(int code) {
    setLastError(code);
    return 0;
}
}  // namespace ycan
