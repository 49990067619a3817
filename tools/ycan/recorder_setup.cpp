#include "tools/ycan/recorder_setup.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "tools/ycan/bit_timing.h"

namespace ycantool {

namespace {

constexpr uint32_t kStandardMax = 0x7FF;
constexpr uint32_t kExtendedMax = 0x1FFFFFFF;

std::string hex(uint32_t v, int width) {
    char text[16];
    snprintf(text, sizeof text, "%0*" PRIX32, width, v);
    return text;
}

// The settings, one key a line, in the file's order.
const char* const kKeys[] = {"record",      "abit-clock", "abit-timing", "dbit-clock", "dbit-timing", "option-a",
                             "option-b",    "tail-flags", "tail-bytes",  "filtering"};
constexpr size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];

bool parseHex(const std::string& text, uint32_t max, uint32_t& out) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits = digits.substr(2);
    if (digits.empty() || digits.size() > 8) return false;
    char* end = nullptr;
    const unsigned long v = strtoul(digits.c_str(), &end, 16);
    if (*end != '\0' || digits[0] == '-' || digits[0] == '+' || v > max) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool parseDecimal(const std::string& text, uint32_t max, uint32_t& out) {
    if (text.empty() || text.size() > 6) return false;
    char* end = nullptr;
    const unsigned long v = strtoul(text.c_str(), &end, 10);
    if (*end != '\0' || text[0] == '-' || text[0] == '+' || v > max) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool parseOnOff(const std::string& text, bool& out) {
    if (text != "on" && text != "off") return false;
    out = text == "on";
    return true;
}

bool parseBit(const std::string& text, uint8_t& out) {
    if (text != "0" && text != "1") return false;
    out = text == "1" ? 1 : 0;
    return true;
}

std::string rateText(unsigned clockMHz, uint32_t word) {
    if (clockMHz == 0) return "no clock";
    const BitTiming t = unpackTimingWord(word);
    char text[96];
    snprintf(text, sizeof text, "%s bit/s, sample point %.1f %%", rateName(t.bitRate(clockMHz * 1000000u)).c_str(),
             t.samplePoint() * 100);
    return text;
}

}  // namespace

std::string filterProblem(const RecorderFilter& f) {
    if (f.first > f.last) return "the range " + hex(f.first, 3) + "-" + hex(f.last, 3) + " runs backwards";
    if (f.kind == kFilterStandard && f.last > kStandardMax)
        return "identifier " + hex(f.last, 3) + " is too wide for a standard (11-bit) filter; give ext";
    if (f.kind == kFilterExtended && f.last > kExtendedMax)
        return "identifier " + hex(f.last, 8) + " is too wide for an extended (29-bit) filter";
    return "";
}

bool parseFilterEntry(const std::string& range, const std::string& kindWord, RecorderFilter& f, std::string& why) {
    const size_t dash = range.find('-');
    uint32_t lo = 0, hi = 0;
    if (!parseHex(range.substr(0, dash), kExtendedMax, lo) ||
        (dash != std::string::npos && !parseHex(range.substr(dash + 1), kExtendedMax, hi))) {
        why = "bad identifier range \"" + range + "\" (hex, up to 1FFFFFFF)";
        return false;
    }
    if (dash == std::string::npos) hi = lo;
    uint32_t kind = 0;
    if (kindWord == "std")
        kind = kFilterStandard;
    else if (kindWord == "ext")
        kind = kFilterExtended;
    else if (!parseDecimal(kindWord, 255, kind)) {
        why = "bad filter kind \"" + kindWord + "\" (std, ext or 0-255)";
        return false;
    }
    const RecorderFilter read{static_cast<uint8_t>(kind), lo, hi};
    why = filterProblem(read);
    if (!why.empty()) return false;
    f = read;
    return true;
}

std::string filterText(const RecorderFilter& f) {
    const int width = f.kind == kFilterStandard ? 3 : 8;
    std::string text = hex(f.first, width);
    if (f.last != f.first) {
        text += '-';
        text += hex(f.last, width);
    }
    text += ' ';
    if (f.kind == kFilterStandard) return text.append("std");
    if (f.kind == kFilterExtended) return text.append("ext");
    return text.append(std::to_string(f.kind));
}

bool sameSettings(const _YCAN_RECORD_CONFIG& a, const _YCAN_RECORD_CONFIG& b) {
    return settingsDifference(a, b).empty();
}

std::string settingsDifference(const _YCAN_RECORD_CONFIG& held, const _YCAN_RECORD_CONFIG& asked) {
    std::string diff;
    auto note = [&](const char* key, uint32_t h, uint32_t a, bool asHex) {
        if (h == a) return;
        if (!diff.empty()) diff += ", ";
        diff += std::string(key) + " " + (asHex ? "0x" + hex(h, 8) : std::to_string(h)) + " (asked " +
                (asHex ? "0x" + hex(a, 8) : std::to_string(a)) + ")";
    };
    note("record", held.RecordFlag != 0, asked.RecordFlag != 0, false);
    note("abit-clock", held.AbitClock, asked.AbitClock, false);
    note("abit-timing", held.AbitTiming, asked.AbitTiming, true);
    note("dbit-clock", held.DbitClock, asked.DbitClock, false);
    note("dbit-timing", held.DbitTiming, asked.DbitTiming, true);
    note("option-a", held.OptionA & 1u, asked.OptionA & 1u, false);
    note("option-b", held.OptionB & 1u, asked.OptionB & 1u, false);
    note("tail-flag0", held.TailFlag0 != 0, asked.TailFlag0 != 0, false);
    note("tail-flag1", held.TailFlag1 != 0, asked.TailFlag1 != 0, false);
    note("tail-byte0", held.TailByte0, asked.TailByte0, false);
    note("tail-byte1", held.TailByte1, asked.TailByte1, false);
    note("tail-byte2", held.TailByte2, asked.TailByte2, false);
    return diff;
}

std::string setupText(const RecorderSetup& setup) {
    std::ostringstream o;
    o << "# A CAN bus recorder's set-up: ycan record TYPE:INDEX load FILE\n";
    for (unsigned ch = 0; ch < kRecorderChannels; ++ch) {
        const RecorderChannel& c = setup.channels[ch];
        const _YCAN_RECORD_CONFIG& s = c.settings;
        o << "channel " << ch << "\n";
        o << "record " << (s.RecordFlag ? "on" : "off") << "\n";
        o << "abit-clock " << unsigned{s.AbitClock} << "\n";
        o << "abit-timing 0x" << hex(s.AbitTiming, 8) << "\n";
        o << "dbit-clock " << unsigned{s.DbitClock} << "\n";
        o << "dbit-timing 0x" << hex(s.DbitTiming, 8) << "\n";
        o << "option-a " << (s.OptionA & 1u) << "\n";
        o << "option-b " << (s.OptionB & 1u) << "\n";
        o << "tail-flags " << (s.TailFlag0 ? 1 : 0) << " " << (s.TailFlag1 ? 1 : 0) << "\n";
        o << "tail-bytes " << hex(s.TailByte0, 2) << " " << hex(s.TailByte1, 2) << " " << hex(s.TailByte2, 2)
          << "\n";
        o << "filtering " << (c.filtering ? "on" : "off") << "\n";
        for (const RecorderFilter& f : c.filters) o << "filter " << filterText(f) << "\n";
    }
    return o.str();
}

bool parseSetup(const std::string& text, RecorderSetup& setup, std::string& why) {
    RecorderSetup read;
    bool seen[kRecorderChannels][kKeyCount] = {};
    bool channelSeen[kRecorderChannels] = {};
    int ch = -1;
    std::istringstream in(text);
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        if (line.find('#') != std::string::npos) line.erase(line.find('#'));
        std::vector<std::string> w;
        std::istringstream words(line);
        for (std::string word; words >> word;) w.push_back(word);
        if (w.empty()) continue;
        auto fail = [&](const std::string& what) {
            why = std::to_string(number) + ": " + what;
            return false;
        };
        if (w[0] == "channel") {
            uint32_t n = 0;
            if (w.size() != 2 || !parseDecimal(w[1], kRecorderChannels - 1, n))
                return fail("channel takes 0 or 1 (the recorder's channels)");
            if (channelSeen[n]) return fail("channel " + w[1] + " a second time");
            channelSeen[n] = true;
            ch = static_cast<int>(n);
            continue;
        }
        if (ch < 0) return fail("\"" + w[0] + "\" before the first \"channel N\" line");
        RecorderChannel& c = read.channels[ch];
        _YCAN_RECORD_CONFIG& s = c.settings;
        if (w[0] == "filter") {
            RecorderFilter f;
            std::string whyNot;
            if (w.size() != 3) return fail("filter takes LO[-HI] and a kind (std, ext or 0-255), e.g. filter 100-1FF std");
            if (!parseFilterEntry(w[1], w[2], f, whyNot)) return fail(whyNot);
            c.filters.push_back(f);
            continue;
        }
        size_t key = 0;
        while (key < kKeyCount && w[0] != kKeys[key]) ++key;
        if (key == kKeyCount) return fail("unknown setting \"" + w[0] + "\"");
        if (seen[ch][key]) return fail(w[0] + " a second time for channel " + std::to_string(ch));
        seen[ch][key] = true;
        const std::string k = w[0];
        const size_t want = k == "tail-flags" ? 3 : k == "tail-bytes" ? 4 : 2;
        if (w.size() != want) return fail(k + " takes " + std::to_string(want - 1) + " value(s)");
        uint32_t v = 0, v1 = 0, v2 = 0;
        bool on = false;
        if (k == "record" || k == "filtering") {
            if (!parseOnOff(w[1], on)) return fail(k + " takes on or off, not \"" + w[1] + "\"");
            if (k == "record")
                s.RecordFlag = on ? 1 : 0;
            else
                c.filtering = on;
        } else if (k == "abit-clock" || k == "dbit-clock") {
            if (!parseDecimal(w[1], 255, v)) return fail(k + " takes MHz from 0 to 255, not \"" + w[1] + "\"");
            (k == "abit-clock" ? s.AbitClock : s.DbitClock) = static_cast<uint8_t>(v);
        } else if (k == "abit-timing" || k == "dbit-timing") {
            if (!parseHex(w[1], 0xFFFFFFFF, v)) return fail(k + " takes a 32-bit hex word, not \"" + w[1] + "\"");
            (k == "abit-timing" ? s.AbitTiming : s.DbitTiming) = v;
        } else if (k == "option-a" || k == "option-b") {
            if (!parseBit(w[1], k == "option-a" ? s.OptionA : s.OptionB))
                return fail(k + " takes 0 or 1, not \"" + w[1] + "\"");
        } else if (k == "tail-flags") {
            if (!parseBit(w[1], s.TailFlag0) || !parseBit(w[2], s.TailFlag1))
                return fail("tail-flags takes two values 0 or 1");
        } else {  // tail-bytes
            if (!parseHex(w[1], 0xFF, v) || !parseHex(w[2], 0xFF, v1) || !parseHex(w[3], 0xFF, v2))
                return fail("tail-bytes takes three hex bytes, e.g. 00 1F FF");
            s.TailByte0 = static_cast<uint8_t>(v);
            s.TailByte1 = static_cast<uint8_t>(v1);
            s.TailByte2 = static_cast<uint8_t>(v2);
        }
    }
    for (unsigned n = 0; n < kRecorderChannels; ++n) {
        if (!channelSeen[n]) {
            why = "no \"channel " + std::to_string(n) + "\": the file sets up both channels";
            return false;
        }
        for (size_t key = 0; key < kKeyCount; ++key)
            if (!seen[n][key]) {
                why = "channel " + std::to_string(n) + " lacks \"" + kKeys[key] + "\"";
                return false;
            }
    }
    setup = read;
    return true;
}

std::string channelText(unsigned channel, const RecorderChannel& c) {
    const _YCAN_RECORD_CONFIG& s = c.settings;
    std::ostringstream o;
    o << "channel " << channel << "      recording " << (s.RecordFlag ? "on" : "off") << "\n";
    o << "  arbitration  " << rateText(s.AbitClock, s.AbitTiming) << " (clock " << unsigned{s.AbitClock}
      << " MHz, timing 0x" << hex(s.AbitTiming, 8) << ")\n";
    o << "  data         " << rateText(s.DbitClock, s.DbitTiming) << " (clock " << unsigned{s.DbitClock}
      << " MHz, timing 0x" << hex(s.DbitTiming, 8) << ")\n";
    o << "  options      option-a " << (s.OptionA & 1u) << ", option-b " << (s.OptionB & 1u) << ", tail-flags "
      << (s.TailFlag0 ? 1 : 0) << " " << (s.TailFlag1 ? 1 : 0) << ", tail-bytes " << hex(s.TailByte0, 2) << " "
      << hex(s.TailByte1, 2) << " " << hex(s.TailByte2, 2) << "\n";
    o << "  filtering    " << (c.filtering ? "on" : "off") << ", " << c.filters.size()
      << (c.filters.size() == 1 ? " entry" : " entries") << "\n";
    for (size_t k = 0; k < c.filters.size(); ++k) o << "    " << k << ": " << filterText(c.filters[k]) << "\n";
    return o.str();
}

std::string setupJson(const std::string& name, const RecorderBoard& board, const RecorderSetup& setup) {
    auto phase = [](unsigned clockMHz, uint32_t word) {
        const BitTiming t = unpackTimingWord(word);
        char text[160];
        if (clockMHz == 0)
            snprintf(text, sizeof text, "{\"clock_mhz\": 0, \"timing\": \"0x%08" PRIX32 "\", \"bitrate\": null, "
                     "\"sample_point\": %.4f}", word, t.samplePoint());
        else
            snprintf(text, sizeof text, "{\"clock_mhz\": %u, \"timing\": \"0x%08" PRIX32 "\", \"bitrate\": %.0f, "
                     "\"sample_point\": %.4f}", clockMHz, word, t.bitRate(clockMHz * 1000000u), t.samplePoint());
        return std::string(text);
    };
    std::ostringstream o;
    o << "{\"recorder\": \"" << name << "\", \"board\": {\"value_a\": " << board.valueA
      << ", \"value_b\": " << board.valueB << ", \"value_c\": " << unsigned{board.valueC} << "}, \"channels\": [";
    for (unsigned ch = 0; ch < kRecorderChannels; ++ch) {
        const RecorderChannel& c = setup.channels[ch];
        const _YCAN_RECORD_CONFIG& s = c.settings;
        o << (ch ? ", " : "") << "{\"channel\": " << ch << ", \"record\": " << (s.RecordFlag ? "true" : "false")
          << ", \"arbitration\": " << phase(s.AbitClock, s.AbitTiming) << ", \"data\": " << phase(s.DbitClock, s.DbitTiming)
          << ", \"option_a\": " << (s.OptionA & 1u) << ", \"option_b\": " << (s.OptionB & 1u)
          << ", \"tail_flags\": [" << (s.TailFlag0 ? 1 : 0) << ", " << (s.TailFlag1 ? 1 : 0) << "]"
          << ", \"tail_bytes\": [" << unsigned{s.TailByte0} << ", " << unsigned{s.TailByte1} << ", "
          << unsigned{s.TailByte2} << "], \"filtering\": " << (c.filtering ? "true" : "false") << ", \"filters\": [";
        for (size_t k = 0; k < c.filters.size(); ++k) {
            const RecorderFilter& f = c.filters[k];
            o << (k ? ", " : "") << "{\"first\": " << f.first << ", \"last\": " << f.last << ", \"kind\": ";
            if (f.kind == kFilterStandard)
                o << "\"std\"";
            else if (f.kind == kFilterExtended)
                o << "\"ext\"";
            else
                o << unsigned{f.kind};
            o << "}";
        }
        o << "]}";
    }
    o << "]}";
    return o.str();
}

}  // namespace ycantool
