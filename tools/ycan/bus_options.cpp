#include "tools/ycan/bus_options.h"

#include <cstdlib>

#include "tools/ycan/bit_timing.h"

namespace ycantool {

const char* const kBusHelp =
    "Bus settings (the channel is initialised and started with them):\n"
    "  --bitrate RATE        arbitration (classic: bus) bit rate, e.g. 500k (default), 1M\n"
    "  --dbitrate RATE       CAN FD data phase bit rate, e.g. 2M (default), 5M\n"
    "  --sample-point PCT    sample point of a computed timing (default 80), e.g. 87.5\n"
    "  --dsample-point PCT   the same for the data phase\n"
    "  --timing ABIT,DBIT    CAN FD timing words instead (see 'ycan timing')\n"
    "  --btr BTR0,BTR1       classic: SJA1000 bus timing registers in hex, e.g. 00,14\n"
    "A rate the adapter has no table entry for (CAN FD: 1M 800k 500k 250k 125k 100k 50k,\n"
    "data phase also 5M 4M 2M; classic also 20k 10k) gets a computed timing, said on stderr\n"
    "with the rate it reaches; a channel the adapter lacks or an option of the other family\n"
    "is refused.\n";

bool isBusOption(const std::string& option) {
    return option == "--bitrate" || option == "--dbitrate" || option == "--timing" || option == "--btr" ||
           option == "--sample-point" || option == "--dsample-point";
}

bool readBusOption(const std::string& a, const std::string& v, BusSettings& bus, std::string& why) {
    if (a == "--bitrate" || a == "--dbitrate") {
        const unsigned rate = parseBitRate(v);
        if (rate == 0) {
            why = "bad bit rate " + v + " (e.g. 500k, 1M, 83333)";
            return false;
        }
        (a == "--bitrate" ? bus.bitRate : bus.dataBitRate) = rate;
        if (a == "--dbitrate") bus.dataBitRateGiven = true;
    } else if (a == "--sample-point" || a == "--dsample-point") {
        char* end = nullptr;
        const double p = strtod(v.c_str(), &end);
        if (v.empty() || *end != '\0' || !(p >= 50 && p < 100)) {
            why = a + " takes a percentage from 50 to 99.9, e.g. 87.5, not \"" + v + "\"";
            return false;
        }
        (a == "--sample-point" ? bus.samplePoint : bus.dataSamplePoint) = p / 100;
    } else {
        const size_t comma = v.find(',');
        if (comma == std::string::npos) {
            why = a + " takes two values separated by a comma";
            return false;
        }
        char* end1 = nullptr;
        char* end2 = nullptr;
        const std::string first = v.substr(0, comma), second = v.substr(comma + 1);
        const unsigned long x = strtoul(first.c_str(), &end1, 16);
        const unsigned long y = strtoul(second.c_str(), &end2, 16);
        if (first.empty() || second.empty() || *end1 != '\0' || *end2 != '\0') {
            why = "bad value " + v;
            return false;
        }
        if (a == "--timing") {
            bus.timingWords = true;
            bus.abitTiming = static_cast<uint32_t>(x);
            bus.dbitTiming = static_cast<uint32_t>(y);
        } else {
            if (x > 0xFF || y > 0xFF) {
                why = "bus timing registers are bytes";
                return false;
            }
            bus.btrGiven = true;
            bus.btr0 = static_cast<uint8_t>(x);
            bus.btr1 = static_cast<uint8_t>(y);
        }
    }
    return true;
}

bool takeBusOption(const std::string& command, const Args& args, size_t& i, BusSettings& bus) {
    const std::string& a = args[i];
    if (!isBusOption(a)) return false;
    if (i + 1 >= args.size()) usageError(command, a + " needs a value");
    std::string why;
    if (!readBusOption(a, args[++i], bus, why)) usageError(command, why);
    return true;
}

}  // namespace ycantool
