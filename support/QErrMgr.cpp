#include "support/QErrMgr.h"

#include <mutex>

#include "support/QUserMutex.h"

namespace {

// One 128-byte text per code; an empty text marks a code without a message.
constexpr int kErrorRows = 15;
const char errInfoTab[kErrorRows][128] = {
    "OK",
    "Device Not Exist!",
    "",
    "USB Transport Error!",
    "Package Format Error!",
    "Device Info Get Failed!",
    "Device Type Not Supported!",
    "Device Not Opened!",
    "Parameter Error!",
    "Memory Malloc Failed!",
    "Parameter Not Supported!",
    "Baud Rate Parameter Not Supported!",
    "USB Command Failed!",
    "CAN Not Initialized!",
    "CAN Format Error!",
};
const char kUnknownError[] = "Unknown Error!";

bool hasRow(int code) { return code >= 0 && code < kErrorRows && errInfoTab[code][0] != '\0'; }

// Guards creation of the instance. A std::mutex needs no run-time
// initialisation, so it is usable however early the first error is set.
std::mutex creationLock;

}  // namespace

std::atomic<QErrMgr*> QErrMgr::m_pInstance{nullptr};

QErrMgr::QErrMgr() { ycan::userMutexCreate(errLock); }

QErrMgr::~QErrMgr() { pthread_mutex_destroy(&errLock); }

QErrMgr* QErrMgr::getInstance() {
    QErrMgr* instance = m_pInstance.load(std::memory_order_acquire);
    if (instance != nullptr) return instance;
    std::lock_guard guard(creationLock);
    instance = m_pInstance.load(std::memory_order_relaxed);
    if (instance == nullptr) {
        instance = new QErrMgr();
        m_pInstance.store(instance, std::memory_order_release);
    }
    return instance;
}

void QErrMgr::destroyInstance() {
    std::lock_guard guard(creationLock);
    delete m_pInstance.exchange(nullptr, std::memory_order_acq_rel);
}

void QErrMgr::setLastError(int code) {
    QUserMutex guard(errLock);
    if (hasRow(code)) lastError = code;
}

int QErrMgr::getLastError() {
    QUserMutex guard(errLock);
    return lastError;
}

const char* QErrMgr::getLastErrorStr() { return messageOf(getLastError()); }

const char* QErrMgr::messageOf(int code) { return hasRow(code) ? errInfoTab[code] : kUnknownError; }
