// ycan record: a CAN bus recorder's set-up from the shell. The recorder
// carries no frames through the library; what it records, at which bit
// rates and through which filters is set here, shown, kept in a file and
// loaded from one. Every value is checked before anything is written, and
// what was written is read back.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>

#include "tools/ycan/adapter_target.h"
#include "tools/ycan/attached_adapters.h"
#include "tools/ycan/bit_timing.h"
#include "tools/ycan/bus_options.h"
#include "tools/ycan/commands.h"
#include "tools/ycan/recorder_setup.h"
#include "ycan.h"

namespace ycantool {

namespace {

const char* kHelp =
    "usage: ycan record TYPE:INDEX show [--json]\n"
    "       ycan record TYPE:INDEX set CH [--on|--off] [--clock MHZ] [--bitrate RATE] [--dbitrate RATE]\n"
    "                   [--sample-point PCT] [--dsample-point PCT] [--timing ABIT,DBIT]\n"
    "                   [--option-a 0|1] [--option-b 0|1] [--tail-flags F0,F1] [--tail-bytes B0,B1,B2]\n"
    "       ycan record TYPE:INDEX filter CH list|clear|enable|disable\n"
    "       ycan record TYPE:INDEX filter CH add ID[-ID] [--ext]\n"
    "       ycan record TYPE:INDEX save FILE|-\n"
    "       ycan record TYPE:INDEX load FILE\n"
    "A CAN bus recorder (types 61, 62; channels 0 and 1): what it records and how.\n"
    "  show     both channels: recording on/off, the bit rates its timing words give at\n"
    "           their clocks, the option values, filtering and the filter list; the board\n"
    "           values. --json: one JSON object\n"
    "  set      changes the channel's settings given, writes them, reads them back and shows\n"
    "           them. --bitrate/--dbitrate compute timing words at the clock the channel\n"
    "           holds (or --clock, both phases), as for the CAN FD adapters; --timing gives\n"
    "           them. A value the recorder did not take is said (status 1)\n"
    "  filter   the channel's filter list: identifiers in hex, standard (11-bit) unless\n"
    "           --ext (29-bit); a range LO-HI or one identifier\n"
    "  save     both channels' settings and filter lists as a text file (- : standard output)\n"
    "  load     such a file: the whole file is checked before anything is written, then\n"
    "           written and read back\n"
    "The file has one setting a line ('ycan record 61:0 save -' shows one); see man ycan.\n"
    "A wrong value or file line is said with what is wrong (status 2); an absent recorder, one\n"
    "in use, or one that refuses says so (status 1).\n";

[[noreturn]] void wrong(const std::string& why) { usageError("record", why); }

std::string name(const Target& t) { return t.name(); }

unsigned parseChannel(const std::string& text) {
    if (text != "0" && text != "1") wrong("the recorder has channels 0 and 1, not \"" + text + "\"");
    return text == "1" ? 1 : 0;
}

// The recorder open for the command's life.
class Session {
public:
    explicit Session(const Target& target) : t(target) { opened = openTarget(t); }
    ~Session() {
        if (opened) YCAN_CloseDevice(t.type, t.index);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    bool ok() const { return opened; }

    bool readSettings(unsigned ch, _YCAN_RECORD_CONFIG& s) const {
        return YCAN_RecordSettingGet(t.type, t.index, ch, &s) == 1;
    }
    bool readFilters(unsigned ch, RecorderChannel& c) const {
        _YCAN_FLITER_INFO info{};
        if (YCAN_RecordFliterInfoGet(t.type, t.index, ch, &info) != 1) return false;
        c.filtering = info.FilterState != 0;
        c.filters.clear();
        for (unsigned k = 0; k < info.FilterCount; ++k) {
            _YCAN_FLITER_CONFIG entry{};
            if (YCAN_RecordFliterSettingGet(t.type, t.index, ch, static_cast<uint16_t>(k), &entry) != 1) return false;
            c.filters.push_back({entry.FilterKind, entry.StartId, entry.EndId});
        }
        return true;
    }
    bool readChannel(unsigned ch, RecorderChannel& c) const { return readSettings(ch, c.settings) && readFilters(ch, c); }
    bool readSetup(RecorderSetup& s) const {
        for (unsigned ch = 0; ch < kRecorderChannels; ++ch)
            if (!readChannel(ch, s.channels[ch])) return false;
        return true;
    }
    bool readBoard(RecorderBoard& b) const {
        _YCAN_BOARD_INFO info{};
        if (YCAN_BoardInfoGet(t.type, t.index, &info) != 1) return false;
        b = {info.Version0, info.Version1, info.ChannelNum};
        return true;
    }
    bool writeSettings(unsigned ch, const _YCAN_RECORD_CONFIG& s) const {
        _YCAN_RECORD_CONFIG copy = s;
        return YCAN_RecordSettingSet(t.type, t.index, ch, &copy) == 1;
    }
    bool addFilter(unsigned ch, const RecorderFilter& f) const {
        _YCAN_FLITER_CONFIG entry{};
        entry.FilterKind = f.kind;
        entry.StartId = f.first;
        entry.EndId = f.last;
        return YCAN_RecordFliterAdd(t.type, t.index, ch, &entry) == 1;
    }
    bool clearFilters(unsigned ch) const { return YCAN_RecordFliterClr(t.type, t.index, ch) == 1; }
    bool setFiltering(unsigned ch, bool on) const {
        return (on ? YCAN_RecordFliterEnable(t.type, t.index, ch) : YCAN_RecordFliterDisable(t.type, t.index, ch)) == 1;
    }
    // The channel's whole set-up, the filter list replaced.
    bool writeChannel(unsigned ch, const RecorderChannel& c, std::string& why) const {
        if (!writeSettings(ch, c.settings)) return fail(why, "the recorder did not take the settings of channel ", ch);
        if (!clearFilters(ch)) return fail(why, "the recorder did not clear the filter list of channel ", ch);
        for (const RecorderFilter& f : c.filters)
            if (!addFilter(ch, f)) return fail(why, "the recorder did not take filter " + filterText(f) + " on channel ", ch);
        if (!setFiltering(ch, c.filtering)) return fail(why, "the recorder did not switch filtering of channel ", ch);
        return true;
    }

private:
    static bool fail(std::string& why, const std::string& what, unsigned ch) {
        why = what + std::to_string(ch);
        return false;
    }
    Target t;
    bool opened = false;
};

int failed(const std::string& what) {
    fprintf(stderr, "ycan record: %s\n", what.c_str());
    return 1;
}

// What the recorder holds against what was written: "" when the same.
std::string channelDifference(unsigned ch, const RecorderChannel& held, const RecorderChannel& asked) {
    std::string diff = settingsDifference(held.settings, asked.settings);
    if (held.filtering != asked.filtering)
        diff += std::string(diff.empty() ? "" : ", ") + "filtering " + (held.filtering ? "on" : "off");
    if (held.filters != asked.filters)
        diff += std::string(diff.empty() ? "" : ", ") + std::to_string(held.filters.size()) + " filter entries";
    return diff.empty() ? "" : "channel " + std::to_string(ch) + " holds " + diff;
}

int show(const Target& t, bool json) {
    Session s(t);
    if (!s.ok()) return 1;
    RecorderBoard board;
    RecorderSetup setup;
    if (!s.readBoard(board)) return failed("no board values from " + name(t));
    if (!s.readSetup(setup)) return failed("no settings from " + name(t));
    if (json) {
        fprintf(out(), "%s\n", setupJson(name(t), board, setup).c_str());
        return 0;
    }
    fprintf(out(), "recorder       %s\n", name(t).c_str());
    fprintf(out(), "board values   A 0x%04X, B 0x%04X, C %u\n", board.valueA, board.valueB, board.valueC);
    for (unsigned ch = 0; ch < kRecorderChannels; ++ch) fputs(channelText(ch, setup.channels[ch]).c_str(), out());
    return 0;
}

// What `set` changes; unset ones stay as the recorder holds them.
struct Change {
    std::optional<bool> record;
    std::optional<unsigned> clockMHz;
    bool rateGiven = false, dataRateGiven = false;
    BusSettings bus;
    std::optional<uint8_t> optionA, optionB;
    std::optional<std::pair<uint8_t, uint8_t>> tailFlags;
    std::optional<std::array<uint8_t, 3>> tailBytes;
};

uint8_t bitValue(const std::string& option, const std::string& v) {
    if (v != "0" && v != "1") wrong(option + " takes 0 or 1, not \"" + v + "\"");
    return v == "1" ? 1 : 0;
}

Change parseChange(const Args& args, size_t from) {
    Change c;
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) wrong(a + " needs a value");
            return args[++i];
        };
        if (a == "--bitrate") c.rateGiven = true;
        if (a == "--dbitrate") c.dataRateGiven = true;
        if (takeBusOption("record", args, i, c.bus)) continue;
        if (a == "--on" || a == "--off") {
            c.record = a == "--on";
        } else if (a == "--clock") {
            const std::string& v = value();
            char* end = nullptr;
            const unsigned long mhz = strtoul(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || mhz < 1 || mhz > 255) wrong("--clock takes MHz from 1 to 255");
            c.clockMHz = static_cast<unsigned>(mhz);
        } else if (a == "--option-a" || a == "--option-b") {
            (a == "--option-a" ? c.optionA : c.optionB) = bitValue(a, value());
        } else if (a == "--tail-flags") {
            const std::string& v = value();
            const size_t comma = v.find(',');
            if (comma == std::string::npos) wrong("--tail-flags takes two values, e.g. 0,1");
            c.tailFlags = std::make_pair(bitValue(a, v.substr(0, comma)), bitValue(a, v.substr(comma + 1)));
        } else if (a == "--tail-bytes") {
            std::stringstream in(value());
            std::array<uint8_t, 3> bytes{};
            std::string part;
            size_t n = 0;
            for (; std::getline(in, part, ','); ++n) {
                char* end = nullptr;
                const unsigned long b = strtoul(part.c_str(), &end, 16);
                if (n >= 3 || part.empty() || *end != '\0' || b > 0xFF)
                    wrong("--tail-bytes takes three hex bytes, e.g. 00,1F,FF");
                bytes[n] = static_cast<uint8_t>(b);
            }
            if (n != 3) wrong("--tail-bytes takes three hex bytes, e.g. 00,1F,FF");
            c.tailBytes = bytes;
        } else {
            wrong("set: unknown option " + a);
        }
    }
    if (c.bus.btrGiven) wrong("--btr is for the classic adapters; the recorder takes --bitrate or --timing");
    if (c.bus.timingWords && (c.rateGiven || c.dataRateGiven)) wrong("give --timing or bit rates, not both");
    return c;
}

// A timing word for a rate at a clock; on failure says why (status 2).
uint32_t timingFor(unsigned clockMHz, unsigned rate, double samplePoint, const TimingLimits& limits,
                   const char* phase) {
    const auto choice = nearestTiming(clockMHz * 1000000u, rate, samplePoint > 0 ? samplePoint : 0.8, 1, limits);
    if (!choice)
        wrong(std::string("no ") + phase + " timing at " + std::to_string(clockMHz) + " MHz comes within 5 % of " +
              rateName(rate) + " bit/s");
    if (choice->rateError != 0)
        fprintf(stderr, "ycan record: %s %s bit/s is reached as %.0f bit/s\n", phase, rateName(rate).c_str(),
                choice->bitRate);
    return packTimingWord(choice->timing);
}

int set(const Target& t, unsigned ch, const Change& c) {
    Session s(t);
    if (!s.ok()) return 1;
    _YCAN_RECORD_CONFIG want{};
    if (!s.readSettings(ch, want)) return failed("no settings from " + name(t));
    if (c.record) want.RecordFlag = *c.record ? 1 : 0;
    if (c.clockMHz) want.AbitClock = want.DbitClock = static_cast<uint8_t>(*c.clockMHz);
    if (c.rateGiven || c.dataRateGiven) {
        if ((c.rateGiven && want.AbitClock == 0) || (c.dataRateGiven && want.DbitClock == 0))
            wrong("channel " + std::to_string(ch) + " holds no clock to compute a timing for: give --clock MHZ");
        if (c.rateGiven)
            want.AbitTiming = timingFor(want.AbitClock, c.bus.bitRate, c.bus.samplePoint, kFdArbitration, "arbitration");
        if (c.dataRateGiven)
            want.DbitTiming = timingFor(want.DbitClock, c.bus.dataBitRate, c.bus.dataSamplePoint, kFdData, "data");
    }
    if (c.bus.timingWords) {
        want.AbitTiming = c.bus.abitTiming;
        want.DbitTiming = c.bus.dbitTiming;
    }
    if (c.optionA) want.OptionA = *c.optionA;
    if (c.optionB) want.OptionB = *c.optionB;
    if (c.tailFlags) {
        want.TailFlag0 = c.tailFlags->first;
        want.TailFlag1 = c.tailFlags->second;
    }
    if (c.tailBytes) {
        want.TailByte0 = (*c.tailBytes)[0];
        want.TailByte1 = (*c.tailBytes)[1];
        want.TailByte2 = (*c.tailBytes)[2];
    }
    if (!s.writeSettings(ch, want)) return failed("the recorder did not take the settings of channel " + std::to_string(ch));
    RecorderChannel now;
    if (!s.readChannel(ch, now)) return failed("the settings of channel " + std::to_string(ch) + " could not be read back");
    fputs(channelText(ch, now).c_str(), out());
    const std::string diff = settingsDifference(now.settings, want);
    if (!diff.empty()) return failed("channel " + std::to_string(ch) + " holds " + diff);
    return 0;
}

int filter(const Target& t, unsigned ch, const Args& args, size_t from) {
    if (from >= args.size()) wrong("filter CH takes list, add, clear, enable or disable");
    const std::string& op = args[from];
    RecorderFilter entry;
    if (op == "add") {
        std::string range, kind = "std";
        for (size_t i = from + 1; i < args.size(); ++i) {
            if (args[i] == "--ext")
                kind = "ext";
            else if (range.empty() && args[i][0] != '-')
                range = args[i];
            else
                wrong("filter add takes ID[-ID] [--ext], not \"" + args[i] + "\"");
        }
        if (range.empty()) wrong("filter add takes ID[-ID] [--ext], e.g. 100-1FF");
        std::string why;
        if (!parseFilterEntry(range, kind, entry, why)) wrong(why);
    } else if (op != "list" && op != "clear" && op != "enable" && op != "disable") {
        wrong("filter CH takes list, add, clear, enable or disable, not \"" + op + "\"");
    } else if (args.size() > from + 1) {
        wrong("filter " + op + " takes nothing more");
    }
    Session s(t);
    if (!s.ok()) return 1;
    const std::string channel = "channel " + std::to_string(ch);
    if (op == "add" && !s.addFilter(ch, entry))
        return failed("the recorder did not take filter " + filterText(entry) + " on " + channel);
    if (op == "clear" && !s.clearFilters(ch)) return failed("the recorder did not clear the filter list of " + channel);
    if ((op == "enable" || op == "disable") && !s.setFiltering(ch, op == "enable"))
        return failed("the recorder did not " + op + " filtering on " + channel);
    RecorderChannel now;
    if (!s.readFilters(ch, now)) return failed("no filter list from " + channel);
    fprintf(out(), "%s: filtering %s, %zu %s\n", channel.c_str(), now.filtering ? "on" : "off", now.filters.size(),
            now.filters.size() == 1 ? "entry" : "entries");
    for (size_t k = 0; k < now.filters.size(); ++k) fprintf(out(), "  %zu: %s\n", k, filterText(now.filters[k]).c_str());
    return 0;
}

int save(const Target& t, const std::string& file) {
    Session s(t);
    if (!s.ok()) return 1;
    RecorderSetup setup;
    if (!s.readSetup(setup)) return failed("no settings from " + name(t));
    const std::string text = setupText(setup);
    if (file == "-") {
        fputs(text.c_str(), out());
        return 0;
    }
    // Written beside and renamed: an existing file is replaced whole or not at all.
    const std::string temporary = file + ".part";
    {
        std::ofstream o(temporary, std::ios::trunc);
        o << text;
        o.close();
        if (!o) {
            unlink(temporary.c_str());
            return failed("cannot write " + file + ": " + std::generic_category().message(errno));
        }
    }
    if (rename(temporary.c_str(), file.c_str()) != 0) {
        const int e = errno;
        unlink(temporary.c_str());
        return failed("cannot write " + file + ": " + std::generic_category().message(e));
    }
    fprintf(stderr, "ycan record: %s saved to %s\n", name(t).c_str(), file.c_str());
    return 0;
}

int load(const Target& t, const std::string& file) {
    std::ifstream in(file);
    if (!in) wrong("cannot read " + file + ": " + std::generic_category().message(errno));
    std::stringstream text;
    text << in.rdbuf();
    RecorderSetup setup;
    std::string why;
    if (!parseSetup(text.str(), setup, why)) wrong(file + ":" + why);
    Session s(t);
    if (!s.ok()) return 1;
    for (unsigned ch = 0; ch < kRecorderChannels; ++ch)
        if (!s.writeChannel(ch, setup.channels[ch], why)) return failed(why);
    int status = 0;
    for (unsigned ch = 0; ch < kRecorderChannels; ++ch) {
        RecorderChannel now;
        if (!s.readChannel(ch, now)) return failed("channel " + std::to_string(ch) + " could not be read back");
        const std::string diff = channelDifference(ch, now, setup.channels[ch]);
        if (!diff.empty()) status = failed(diff);
    }
    if (status == 0) fprintf(stderr, "ycan record: %s loaded into %s\n", file.c_str(), name(t).c_str());
    return status;
}

}  // namespace

int recordCommand(const Args& args) {
    if (wantsHelp(args)) {
        fprintf(out(), "%s", kHelp);
        return 0;
    }
    if (args.size() < 2) wrong("expects TYPE:INDEX and show, set, filter, save or load");
    Target t;
    std::string why;
    if (!parseTarget(args[0], false, t, why)) wrong(why);
    const AdapterModel* model = modelOfType(t.type);
    if (model == nullptr || model->family != AdapterFamily::Recorder)
        wrong("device type " + std::to_string(t.type) + " is not a CAN bus recorder (61, 62)");
    const std::string& what = args[1];
    if (what == "show") {
        if (args.size() > 3 || (args.size() == 3 && args[2] != "--json")) wrong("show takes only --json");
        return show(t, args.size() == 3);
    }
    if (what == "set" || what == "filter") {
        if (args.size() < 3) wrong(what + " takes a channel, 0 or 1");
        const unsigned ch = parseChannel(args[2]);
        return what == "set" ? set(t, ch, parseChange(args, 3)) : filter(t, ch, args, 3);
    }
    if (what == "save" || what == "load") {
        if (args.size() != 3) wrong(what + " takes one FILE");
        return what == "save" ? save(t, args[2]) : load(t, args[2]);
    }
    wrong("unknown record command \"" + what + "\" (show, set, filter, save, load)");
}

}  // namespace ycantool
