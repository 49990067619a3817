// A CAN bus recorder's set-up as the tools handle it: per channel its record
// settings, whether filtering is on and its filter list. It is read from and
// written to the recorder by `ycan record`, kept in a text file (`save`,
// `load`) and shown as text or JSON.
//
// The file: one setting a line, "#" starts a comment, every channel in full:
//   channel 0
//   record on                  on | off
//   abit-clock 60              arbitration phase: controller clock in MHz
//   abit-timing 0x01400106     and timing word (see 'ycan timing')
//   dbit-clock 60              data phase, the same
//   dbit-timing 0x00800001
//   option-a 0                 0 | 1, passed to the recorder as they are
//   option-b 0
//   tail-flags 0 1             two flags, 0 | 1
//   tail-bytes 11 22 33        three bytes, hex
//   filtering on               on | off
//   filter 100-1FF std         LO[-HI] in hex; std (11-bit), ext (29-bit)
//   filter 18FF0000 ext        or the recorder's kind number 0-255
//   channel 1
//   ...
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ycan.h"

namespace ycantool {

constexpr unsigned kRecorderChannels = 2;

// A filter entry; kinds 0 and 1 are standard and extended identifiers,
// others are passed through as the recorder reports them.
struct RecorderFilter {
    uint8_t kind = 0;
    uint32_t first = 0;
    uint32_t last = 0;
    bool operator==(const RecorderFilter&) const = default;
};
constexpr uint8_t kFilterStandard = 0;
constexpr uint8_t kFilterExtended = 1;

struct RecorderChannel {
    _YCAN_RECORD_CONFIG settings{};
    bool filtering = false;
    std::vector<RecorderFilter> filters;
};

struct RecorderSetup {
    RecorderChannel channels[kRecorderChannels];
};

// The board values a recorder reports: two words and a byte.
struct RecorderBoard {
    uint16_t valueA = 0;
    uint16_t valueB = 0;
    uint8_t valueC = 0;
};

// Why an entry cannot be written: a range whose low end is above its high
// end, an identifier too wide for its kind; empty when it can.
std::string filterProblem(const RecorderFilter& f);
// Reads "LO[-HI]" (hex) of kind "std", "ext" or a number 0-255; on failure
// (or a filterProblem) says why.
bool parseFilterEntry(const std::string& range, const std::string& kind, RecorderFilter& f, std::string& why);
// "100-1FF std", "18FF0000 ext" (one identifier), "100-1FF 7".
std::string filterText(const RecorderFilter& f);

// The settings that the recorder keeps of what was written are equal (the
// record flag and options as 0/1).
bool sameSettings(const _YCAN_RECORD_CONFIG& a, const _YCAN_RECORD_CONFIG& b);
// The fields that differ, e.g. "abit-timing 0x01400106 (asked 0x01400107)".
std::string settingsDifference(const _YCAN_RECORD_CONFIG& held, const _YCAN_RECORD_CONFIG& asked);

// The file's text for a set-up.
std::string setupText(const RecorderSetup& setup);
// Reads a whole file; on the first fault says "LINE: what" (or what is
// missing) and returns false. `setup` is only written on success.
bool parseSetup(const std::string& text, RecorderSetup& setup, std::string& why);

// What 'ycan record show' prints for one channel (several lines).
std::string channelText(unsigned channel, const RecorderChannel& c);
// One JSON object for the recorder: board values and both channels.
std::string setupJson(const std::string& name, const RecorderBoard& board, const RecorderSetup& setup);

}  // namespace ycantool
