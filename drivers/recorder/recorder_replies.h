// Decoding the recorder's command replies. Each decoder reads only the len
// bytes of the reply it is given and fails a reply too short for what it
// reads; the filter and settings replies also fail when their status byte
// (byte 3) is not 0.
#pragma once

#include <cstdint>

#include "ycan.h"

namespace ycan::recorder {

// Board values A and B (queries 0x01, 0x12): bytes 4 and 5, low byte first.
bool boardValue(const uint8_t* reply, int len, uint16_t* value);
// Channel count (query 0x13): byte 4.
bool channelCount(const uint8_t* reply, int len, uint8_t* count);
// Filter summary: count (bytes 4-5, low byte first) and state (byte 6).
bool filterInfo(const uint8_t* reply, int len, _YCAN_FLITER_INFO* info);
// One filter entry: kind (byte 4), start and end identifiers (bytes 5-8,
// 9-12, low byte first). The entry's other fields are left alone.
bool filterEntry(const uint8_t* reply, int len, _YCAN_FLITER_CONFIG* entry);
// A channel's record settings (28 bytes or more).
bool recordSettings(const uint8_t* reply, int len, _YCAN_RECORD_CONFIG* config);
// Timing word from the 7 bytes the settings carry it in: prescaler (2, low
// byte first), jump width (1), segment 1 (2), segment 2 (2), each shifted
// back into place, combined as received without masking.
uint32_t timingWord(const uint8_t* p);

}  // namespace ycan::recorder
