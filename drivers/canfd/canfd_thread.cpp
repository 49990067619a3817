// QDeviceUsbCanFd2: the receive thread. One per open adapter: it reads the
// frame stream and supervises the USB link. When the adapter drops off the
// bus while a channel is active, it restarts the transport (at least 50 ms
// apart) until the adapter is back, then replays each active channel's
// function set, initialisation and start.
#include <chrono>
#include <mutex>
#include <thread>

#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "support/clock.h"

namespace {

constexpr unsigned kReadTimeoutMs = 500;

void sleepUs(unsigned us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

}  // namespace

void QDeviceUsbCanFd2::taskThreadCreate() {
    rxThread.start([this] { dataReceiveTask(); });
}

void QDeviceUsbCanFd2::taskThreadShutdown() {
    // The abort ends the thread's read (or a restart's pause) at once.
    rxThread.stop([this] { usb.abortTransfers(); });
}

void QDeviceUsbCanFd2::dataReceiveTask() {
    faultTimeHandle();
    if (link.recovering()) {
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

bool QDeviceUsbCanFd2::anyChannelActive() const {
    for (const auto& active : chActive)
        if (active.load() != 0) return true;
    return false;
}

bool QDeviceUsbCanFd2::replayChannels() {
    for (unsigned ch = 0; ch < kChannels; ++ch) {
        if (rxThread.stopRequested()) return false;
        _YCAN_INITFD_CONFIG saved;
        {
            std::lock_guard guard(configLock);
            if (!chActive[ch]) continue;
            saved = chConfig[ch];
        }
        canDevFunSet(true);
        if (initCANFD(ch, &saved, true) != 1 || start(ch, true) != 1) return false;
    }
    return true;
}

ycan::LinkSupervisor::Hooks QDeviceUsbCanFd2::makeLinkHooks() {
    return {[this] { return anyChannelActive(); },
            [this] {
                // Bytes the old connection left half-received must not be
                // glued to the new connection's.
                std::lock_guard guard(rxLock);
                rxStream.clear();
            },
            [this] { return replayChannels(); }, "YORV Tip:USBCANFD OK..."};
}

void QDeviceUsbCanFd2::faultTimeHandle() {
    if (openState.load() != 1) return;
    link.step(usb, linkHooks);
}
