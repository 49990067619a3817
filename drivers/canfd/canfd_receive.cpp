// QDeviceUsbCanFd2: receive queues, and the receive thread.
#include <mutex>

#include "api/QErrMgr.h"
#include "drivers/canfd/QDeviceUsbCanFd2.h"

int QDeviceUsbCanFd2::getReceiveNum(unsigned ch, uint8_t kind) {
    if (ch >= kChannels) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    std::lock_guard guard(rxLock);
    switch (kind) {
        case 0: return static_cast<int>(canQueue[ch].size());
        case 1: return static_cast<int>(canFdQueue[ch].size());
        case 2: return static_cast<int>(canQueue[ch].size() + canFdQueue[ch].size());
        default: return 0;
    }
}

int QDeviceUsbCanFd2::clearBuffer(unsigned ch) {
    if (ch >= kChannels) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    usbRxDataBufferClr(static_cast<uint8_t>(ch));
    return 1;
}

void QDeviceUsbCanFd2::usbRxDataBufferClr(uint8_t ch) {
    if (ch >= kChannels) return;
    std::lock_guard guard(rxLock);
    canQueue[ch].clear();
    canFdQueue[ch].clear();
    rxBufLen = 0;
}

int QDeviceUsbCanFd2::receive(unsigned, _YCAN_CAN_OBJ*, unsigned, int) {
    return 0;  // NOT YET IMPLEMENTED: the receive path comes with the receive thread
}

int QDeviceUsbCanFd2::receiveFD(unsigned, _YCAN_CANFD_OBJ*, unsigned, int) {
    return 0;  // NOT YET IMPLEMENTED: the receive path comes with the receive thread
}

void QDeviceUsbCanFd2::taskThreadCreate() {
    // NOT YET IMPLEMENTED: the receive thread (reading the frame stream and
    // supervising the link) starts here once it exists.
}

void QDeviceUsbCanFd2::taskThreadShutdown() {
    // NOT YET IMPLEMENTED: stops the receive thread started by taskThreadCreate.
}
