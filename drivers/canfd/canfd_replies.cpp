#include "drivers/canfd/canfd_replies.h"

#include "drivers/common/bytes.h"

namespace ycan::canfd {

bool versionWord(const uint8_t* reply, int len, uint16_t* word) {
    if (len < 6) return false;
    *word = bytes::be16(reply + 4);
    return true;
}

bool channelCount(const uint8_t* reply, int len, uint8_t* count) {
    if (len < 5) return false;
    *count = reply[4];
    return true;
}

bool channelStatus(const uint8_t* reply, int len, unsigned* status) {
    if (len < 11) return false;
    *status = bytes::le32(reply + 3);
    return true;
}

}  // namespace ycan::canfd
