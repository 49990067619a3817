// QDeviceCanRecord: per-channel record settings. The write request and the
// read reply carry the same fields at offsets 3 to 27; offsets 0 to 23 have
// the layout of the CAN FD adapters' bit-rate command.
#include <cstring>

#include "drivers/common/bytes.h"
#include "drivers/recorder/QDeviceCanRecord.h"
#include "drivers/recorder/recorder_replies.h"
#include "support/QErrMgr.h"

namespace {
using ycan::bytes::put16;
using ycan::bytes::putTiming;
}  // namespace

int QDeviceCanRecord::RecordSettingSet(unsigned ch, _YCAN_RECORD_CONFIG* config) {
    if (ch >= 2) return 0;
    if (config == nullptr) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    uint8_t request[28] = {0x55,
                           0x03,
                           static_cast<uint8_t>(ch & 1),
                           static_cast<uint8_t>(config->RecordFlag != 0 ? 1 : 0),
                           config->OptionB,
                           config->OptionA};
    put16(request + 6, config->AbitClock);
    putTiming(request + 8, config->AbitTiming);
    put16(request + 15, config->DbitClock);
    putTiming(request + 17, config->DbitTiming);
    request[24] = static_cast<uint8_t>((config->TailFlag0 != 0 ? 1 : 0) | (config->TailFlag1 != 0 ? 2 : 0));
    request[25] = config->TailByte0;
    request[26] = config->TailByte1;
    request[27] = config->TailByte2;
    uint8_t reply[64];
    return exchange(request, sizeof request, reply) >= 5 && reply[3] == 0 ? 1 : 0;
}

int QDeviceCanRecord::RecordSettingGet(unsigned ch, _YCAN_RECORD_CONFIG* config) {
    if (ch >= 2) return 0;
    if (config == nullptr) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    const uint8_t request[3] = {0x55, 0xA4, static_cast<uint8_t>(ch & 1)};
    uint8_t r[64];
    const int n = exchange(request, sizeof request, r);
    return ycan::recorder::recordSettings(r, n, config) ? 1 : 0;
}
