// NOT YET IMPLEMENTED: stand-in for the classic USB CAN driver.
//
// The parameter checks are the driver's own; everything else behaves as the
// driver does while no classic adapter is open, because none can be opened
// yet: opens fail with "USBCAN Open Fail...", and every call that needs an
// open device or an initialised channel fails with the driver's error. The
// classic driver replaces this file.
#include "drivers/usbcan/usbcan2.h"

#include "api/QErrMgr.h"
#include "support/QUserLog.h"

namespace {
constexpr uint32_t kDeviceSlots = 32;
constexpr uint32_t kChannels = 2;

// Index check of the functions that take the record straight from the
// table: refused before anything could reach past it.
bool slotUsable(uint32_t index) {
    if (index >= kDeviceSlots) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return false;
    }
    if (!usbcan2IsOpen(YCAN_TYPE_USBCAN_4, index)) {
        ycan::setLastError(YCAN_ERR_NOT_OPENED);
        return false;
    }
    return true;
}
}  // namespace

extern "C" {

int usbcan2DevParaIsValid(uint32_t type, uint32_t index, uint32_t channel) {
    if (type != YCAN_TYPE_USBCAN_3 && type != YCAN_TYPE_USBCAN_4) {
        ycan::setLastError(YCAN_ERR_TYPE_NOT_SUPPORTED);
        return 0;
    }
    if (index >= kDeviceSlots || channel >= kChannels) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    return 1;
}

int usbcan2IsOpen(uint32_t type, uint32_t index) {
    usbcan2DevParaIsValid(type, index, 0);  // sets the last error for bad parameters
    return 0;                               // no classic adapter can be open yet
}

int usbcan2IsInit(uint32_t type, uint32_t index, uint32_t) {
    usbcan2IsOpen(type, index);
    return 0;
}

int usbcan2OpenDevice(uint32_t type, uint32_t index, uint32_t) {
    if (!usbcan2DevParaIsValid(type, index, 0)) return 0;
    QUserLog::GetInstance()->Error("USBCAN Open Fail...");
    return 0;
}

int usbcan2CloseDevice(uint32_t type, uint32_t index) {
    if (!usbcan2DevParaIsValid(type, index, 0)) return 0;
    return 1;  // not open
}

int usbcan2InitCAN(uint32_t type, uint32_t index, uint32_t, _YCAN_INIT_CONFIG*) {
    if (!usbcan2IsOpen(type, index)) ycan::setLastError(YCAN_ERR_NOT_OPENED);
    return 0;
}

int usbcan2StartCAN(uint32_t type, uint32_t index, uint32_t channel) {
    if (!usbcan2IsInit(type, index, channel)) ycan::setLastError(YCAN_ERR_CAN_NOT_INITIALIZED);
    return 0;
}

int usbcan2ResetCAN(uint32_t type, uint32_t index, uint32_t) {
    usbcan2IsOpen(type, index);
    return 0;
}

int usbcan2ReadBoardInfo(uint32_t type, uint32_t index, _YCAN_BOARD_INFO*) {
    if (!usbcan2IsOpen(type, index)) ycan::setLastError(YCAN_ERR_NOT_OPENED);
    return 0;
}

int usbcan2DevRelayStatusSet(uint32_t, uint32_t index, uint8_t, uint8_t) {
    slotUsable(index);
    return 0;
}

int usbcan2DevRelayStatusGet(uint32_t, uint32_t index, uint8_t*, uint8_t*) {
    slotUsable(index);
    return 0;
}

int usbcan2DevBaudParaGet(uint32_t, uint32_t index, uint32_t, uint8_t*, uint8_t*) {
    slotUsable(index);
    return 0;
}

int usbcan2DevChStateGet(uint32_t, uint32_t index, uint32_t, uint8_t*, uint8_t*, uint8_t*) {
    slotUsable(index);
    return 0;
}

int usbcan2DevDataTransfer(uint32_t, uint32_t index, uint8_t*, int) {
    slotUsable(index);
    return 0;
}

int usbcan2Transmit(uint32_t type, uint32_t index, uint32_t channel, _YCAN_CAN_OBJ*,
                    unsigned long) {
    if (!usbcan2IsInit(type, index, channel)) ycan::setLastError(YCAN_ERR_CAN_NOT_INITIALIZED);
    return 0;
}

int usbcan2Receive(uint32_t, uint32_t index, uint32_t, _YCAN_CAN_OBJ*, unsigned, int) {
    // Nothing can have been queued; the wait for frames comes with the driver.
    if (index >= kDeviceSlots) ycan::setLastError(YCAN_ERR_PARAMETER);
    return 0;
}

int usbcan2GetReceiveNum(uint32_t type, uint32_t index, uint32_t channel) {
    if (!usbcan2IsInit(type, index, channel)) ycan::setLastError(YCAN_ERR_CAN_NOT_INITIALIZED);
    return 0;
}

int usbcan2ClearBuffer(uint32_t type, uint32_t index, uint32_t channel) {
    if (!usbcan2IsInit(type, index, channel)) ycan::setLastError(YCAN_ERR_CAN_NOT_INITIALIZED);
    return 0;
}

}  // extern "C"
