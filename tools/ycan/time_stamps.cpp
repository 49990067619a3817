#include "tools/ycan/time_stamps.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace ycantool {

bool parseStampMode(const std::string& text, StampMode& mode) {
    if (text == "a")
        mode = StampMode::Absolute;
    else if (text == "A")
        mode = StampMode::Date;
    else if (text == "d")
        mode = StampMode::Delta;
    else if (text == "z")
        mode = StampMode::Zero;
    else
        return false;
    return true;
}

std::string TimeStamper::stamp(double unixSeconds) {
    if (!started) {
        started = true;
        first = previous = unixSeconds;
    }
    const double since = mode == StampMode::Delta ? unixSeconds - previous : unixSeconds - first;
    previous = unixSeconds;
    char buf[64];
    // Whole microseconds, split without the rounding of %f carrying into
    // the seconds wrongly.
    const auto micros = [](double s) { return static_cast<long long>(std::llround(std::max(0.0, s) * 1e6)); };
    switch (mode) {
        case StampMode::Absolute: {
            const long long us = micros(unixSeconds);
            snprintf(buf, sizeof buf, "(%lld.%06lld)", us / 1000000, us % 1000000);
            break;
        }
        case StampMode::Date: {
            const long long us = micros(unixSeconds);
            const time_t secs = static_cast<time_t>(us / 1000000);
            tm local{};
            localtime_r(&secs, &local);
            char date[32];
            strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
            snprintf(buf, sizeof buf, "(%s.%06lld)", date, us % 1000000);
            break;
        }
        case StampMode::Delta:
        case StampMode::Zero: {
            const long long us = micros(since);
            snprintf(buf, sizeof buf, "(%03lld.%06lld)", us / 1000000, us % 1000000);
            break;
        }
    }
    return buf;
}

}  // namespace ycantool
