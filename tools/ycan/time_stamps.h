// candump's -t: how the time of a received frame is written.
//   a  absolute, seconds since the epoch     (1700000000.123456)
//   A  absolute, local date and time         (2023-11-14 23:13:20.123456)
//   d  since the frame before                (000.001234)
//   z  since the first frame                 (012.345678)
#pragma once

#include <string>

namespace ycantool {

enum class StampMode { Absolute, Date, Delta, Zero };

// "a", "A", "d" or "z"; false for anything else.
bool parseStampMode(const std::string& text, StampMode& mode);

class TimeStamper {
public:
    explicit TimeStamper(StampMode m) : mode(m) {}
    // The stamp of a frame taken at unixSeconds, in parentheses.
    std::string stamp(double unixSeconds);

private:
    StampMode mode;
    bool started = false;
    double first = 0;
    double previous = 0;
};

}  // namespace ycantool
