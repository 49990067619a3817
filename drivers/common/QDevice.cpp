#include "drivers/common/QDevice.h"

#include "support/QErrMgr.h"

int QDevice::relayStatusSet(uint8_t, uint8_t) { return ycan::fail(YCAN_ERR_TYPE_NOT_SUPPORTED); }

int QDevice::relayStatusGet(uint8_t*, uint8_t*) { return ycan::fail(YCAN_ERR_TYPE_NOT_SUPPORTED); }

int QDevice::baudParaGet(uint8_t, uint8_t*, uint8_t*) { return ycan::fail(YCAN_ERR_TYPE_NOT_SUPPORTED); }

int QDevice::chStateGet(uint8_t, uint8_t*, uint8_t*, uint8_t*) {
    return ycan::fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
}
