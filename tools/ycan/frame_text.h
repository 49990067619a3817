// Frames as text, the way can-utils writes and reads them, so that logs of
// `ycan dump` go straight into candump's tools and python-can:
//   123#1122            classic frame, 11-bit identifier (3 hex digits)
//   1ABCDEF0#11.22      29-bit identifier (8 hex digits); '.' between bytes allowed
//   123#R  123#R4       remote frame (with its length)
//   123##1AABB          CAN FD frame: one hex digit of flags (1 bit rate
//                       switch, 2 error state), then the data
// A log line: "(1700000000.123456) ycan43-0-0 123#1122".
#pragma once

#include <cstdint>
#include <string>

#include "ycan.h"

namespace ycantool {

struct TextFrame {
    uint32_t id = 0;
    bool extended = false;
    bool fd = false;
    bool remote = false;
    uint8_t fdFlags = 0;  // 0x01 bit rate switch, 0x02 error state indicator
    uint8_t len = 0;
    uint8_t data[64] = {};
};

constexpr uint8_t kFdBitRateSwitch = 0x01;
constexpr uint8_t kFdErrorState = 0x02;

// Parses cansend's syntax; on failure says why.
bool parseFrame(const std::string& text, TextFrame& out, std::string& why);
// The frame in the same syntax (data in upper-case hex, no separators).
std::string formatFrame(const TextFrame& f);
// One candump log line, without the newline; `stamp` in parentheses, e.g.
// "(1700000000.123456)" (see TimeStamper).
std::string formatLogLine(const std::string& stamp, const std::string& interface, const TextFrame& f);

// Between the text form and the library's records (YCAN_FRAMEOPT_BRS and
// YCAN_FRAMEOPT_ESI in an FD record's FrameOpt).
TextFrame fromRecord(const _YCAN_CAN_OBJ& r);
TextFrame fromRecord(const _YCAN_CANFD_OBJ& r);
// A frame from YCAN_ReceiveAll, by its kind.
TextFrame fromReceived(const _YCAN_RX_FRAME& r);
_YCAN_CAN_OBJ toClassicRecord(const TextFrame& f);
_YCAN_CANFD_OBJ toFdRecord(const TextFrame& f);

// Whether n is a length a CAN FD frame can have.
bool validFdLength(unsigned n);

}  // namespace ycantool
