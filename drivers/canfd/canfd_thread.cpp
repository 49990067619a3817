// QDeviceUsbCanFd2: what the shared adapter life asks of this family. The
// receive thread hands every transfer to the stream decoder; when the link
// is restored it replays each active channel's function set,
// initialisation and start.
#include <mutex>

#include "drivers/canfd/QDeviceUsbCanFd2.h"

void QDeviceUsbCanFd2::decode(const uint8_t* data, unsigned length) { usbRxDataProcess(data, length); }

void QDeviceUsbCanFd2::dropPartial() {
    std::lock_guard guard(rxLock);
    rxStream.clear();
}

bool QDeviceUsbCanFd2::anyChannelActive() const {
    for (const auto& active : chActive)
        if (active.load() != 0) return true;
    return false;
}

bool QDeviceUsbCanFd2::replayChannel(unsigned ch) {
    _YCAN_INITFD_CONFIG saved;
    {
        std::lock_guard guard(configLock);
        if (!chActive[ch]) return true;
        saved = chConfig[ch];
    }
    canDevFunSet();
    return initCANFD(ch, &saved) == 1 && start(ch) == 1;
}
