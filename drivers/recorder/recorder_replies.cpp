#include "drivers/recorder/recorder_replies.h"

#include "drivers/common/bytes.h"

namespace ycan::recorder {

bool boardValue(const uint8_t* reply, int len, uint16_t* value) {
    if (len < 6) return false;
    *value = bytes::le16(reply + 4);
    return true;
}

bool channelCount(const uint8_t* reply, int len, uint8_t* count) {
    if (len < 5) return false;
    *count = reply[4];
    return true;
}

bool filterInfo(const uint8_t* reply, int len, _YCAN_FLITER_INFO* info) {
    if (len < 7 || reply[3] != 0) return false;
    info->FilterCount = bytes::le16(reply + 4);
    info->FilterState = reply[6];
    return true;
}

bool filterEntry(const uint8_t* reply, int len, _YCAN_FLITER_CONFIG* entry) {
    if (len < 13 || reply[3] != 0) return false;
    entry->FilterKind = reply[4];
    entry->StartId = bytes::le32(reply + 5);
    entry->EndId = bytes::le32(reply + 9);
    return true;
}

uint32_t timingWord(const uint8_t* p) {
    return (static_cast<uint32_t>(bytes::le16(p)) << 22) | (static_cast<uint32_t>(p[2]) << 15) |
           (static_cast<uint32_t>(bytes::le16(p + 5)) << 8) | bytes::le16(p + 3);
}

bool recordSettings(const uint8_t* r, int len, _YCAN_RECORD_CONFIG* config) {
    if (len < 28) return false;
    config->RecordFlag = r[3] & 1;
    config->OptionB = r[4] & 1;
    config->OptionA = r[5] & 1;
    config->AbitClock = r[6];
    config->AbitTiming = timingWord(r + 8);
    config->DbitClock = r[15];
    config->DbitTiming = timingWord(r + 17);
    config->TailFlag0 = r[24] & 1;
    config->TailFlag1 = (r[24] >> 1) & 1;
    config->TailByte0 = r[25];
    config->TailByte1 = r[26];
    config->TailByte2 = r[27];
    return true;
}

}  // namespace ycan::recorder
