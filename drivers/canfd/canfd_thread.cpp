// QDeviceUsbCanFd2: the receive thread. One per open adapter: it reads the
// frame stream and supervises the USB link. When the adapter drops off the
// bus while a channel is active, it restarts the transport (at least 50 ms
// apart) until the adapter is back, then replays each active channel's
// function set, initialisation and start.
#include <pthread.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "support/QUserLog.h"
#include "support/clock.h"

namespace {

constexpr uint32_t kExitGraceUs = 2000000;
constexpr uint32_t kRetryIntervalUs = 50000;
constexpr unsigned kReadTimeoutMs = 500;
constexpr uint32_t kLinkFaulted = 0xFFFFFFFF;

void sleepUs(unsigned us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

}  // namespace

void QDeviceUsbCanFd2::taskThreadCreate() { taskThreadStart(&rxThread, &dataRxThreadTask); }

void QDeviceUsbCanFd2::taskThreadShutdown() { taskThreadStop(&rxThread); }

void QDeviceUsbCanFd2::taskThreadStart(QUserThreadObj* obj, void* (*entry)(void*)) {
    if (obj->running) return;
    {
        QUserMutex guard(obj->mutex);
        obj->exitReq = 0;
        obj->exited = 0;
    }
    if (pthread_create(&obj->thread, nullptr, entry, this) == 0) obj->running = true;
}

void QDeviceUsbCanFd2::taskThreadStop(QUserThreadObj* obj) {
    if (!obj->running) return;
    {
        QUserMutex guard(obj->mutex);
        obj->exitReq = 1;
        obj->exited = 0;
    }
    // The thread notices the request within one read (500 ms).
    const uint32_t start = ycan::curMicroSec32();
    bool exited = false;
    while (getLapseMicroSec(start) < kExitGraceUs) {
        {
            QUserMutex guard(obj->mutex);
            exited = obj->exited != 0;
        }
        if (exited) break;
        sleepUs(10000);
    }
    if (!exited) {
        QUserLog::GetInstance()->Error("Thread Exit Fail...");
        pthread_cancel(obj->thread);
    }
    pthread_join(obj->thread, nullptr);
    obj->thread = 0;
    obj->running = false;
}

void* QDeviceUsbCanFd2::dataRxThreadTask(void* self) {
    auto* dev = static_cast<QDeviceUsbCanFd2*>(self);
    QUserThreadObj& block = dev->rxThread;
    for (;;) {
        {
            QUserMutex guard(block.mutex);
            if (block.exitReq) break;
        }
        dev->dataReceiveTask();
    }
    QUserMutex guard(block.mutex);
    block.exited = 1;
    return nullptr;
}

void QDeviceUsbCanFd2::dataReceiveTask() {
    if (faultCheck.load() == 1) faultTimeHandle();
    if (linkFault.load() != 0) {
        // Nothing is read while the link is being restored; the next
        // supervision step comes soon enough without spinning.
        sleepUs(1000);
        return;
    }
    uint8_t buf[4096];
    const uint32_t started = ycan::curMicroSec32();
    const int n = usb.bulkReadUSBDevice(buf, sizeof buf, 0x83, kReadTimeoutMs);
    if (n > 0) {
        usbRxDataProcess(buf, static_cast<unsigned>(n));
    } else if (n == 0) {
        sleepUs(100);
    } else if (getLapseMicroSec(started) < 1000) {
        // A read that fails at once (an adapter gone with no channel active)
        // is retried after a pause instead of in a tight loop.
        sleepUs(1000);
    }
}

void QDeviceUsbCanFd2::faultTimeHandle() {
    if (openState.load() != 1) return;
    if (linkFault.load() == 0) {
        bool anyActive = false;
        for (unsigned ch = 0; ch < kChannels; ++ch) anyActive |= chActive[ch] != 0;
        if (!anyActive) return;
        if (usb.GetUSBDeviceLinkStatus() != 0) return;
        linkFault = kLinkFaulted;
        faultTime = ycan::curMicroSec32();
        usb.RestartUSBDevice();
    } else {
        if (getLapseMicroSec(faultTime) < kRetryIntervalUs) return;
        faultTime = ycan::curMicroSec32();
        if (usb.GetUSBDeviceLinkStatus() == 0) usb.RestartUSBDevice();
    }
    if (usb.GetUSBDeviceLinkStatus() == 0) return;

    bool failed = false;
    for (unsigned ch = 0; ch < kChannels && !failed; ++ch) {
        _YCAN_INITFD_CONFIG saved;
        {
            std::lock_guard guard(configLock);
            if (!chActive[ch]) continue;
            saved = chConfig[ch];
        }
        canDevFunSet(true);
        if (initCANFD(ch, &saved, true) != 1 || start(ch, true) != 1) failed = true;
    }
    if (!failed) {
        linkFault = 0;
        QUserLog::GetInstance()->Info("YORV Tip:USBCANFD OK...");
    } else {
        usb.RestartUSBDevice();
    }
}
