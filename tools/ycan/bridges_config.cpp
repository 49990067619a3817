#include "tools/ycan/bridges_config.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "tools/ycan/bus_options.h"

namespace ycantool {

namespace {

constexpr size_t kMaxInterfaceName = 15;  // IFNAMSIZ - 1

bool settingKey(const std::string& key) {
    return isBusOption("--" + key) || key == "tx-queue";
}

// Characters an interface name may hold (what a pattern's text may hold).
bool charactersFit(const std::string& text, std::string& why) {
    if (text.find_first_of("/: \t") == std::string::npos) return true;
    why = "\"" + text + "\": an interface name has no '/', ':' or blanks";
    return false;
}

// A name the kernel takes for an interface.
bool validInterfaceName(const std::string& name, std::string& why) {
    if (name.empty() || name == "." || name == "..") {
        why = "\"" + name + "\" cannot name an interface";
        return false;
    }
    if (name.size() > kMaxInterfaceName) {
        why = "\"" + name + "\" is longer than the kernel's 15 characters for an interface name";
        return false;
    }
    return charactersFit(name, why);
}

// The pattern's literal text and placeholders; false for an unknown one.
bool checkPattern(const std::string& pattern, std::string& why) {
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') continue;
        if (i + 1 == pattern.size() || std::string("pstc%").find(pattern[i + 1]) == std::string::npos) {
            why = "\"" + pattern + "\": a pattern takes %p (port), %s (serial number), %t (type), %c (channel), %%";
            return false;
        }
        ++i;
    }
    if (pattern.find("%c") == std::string::npos) {
        why = "\"" + pattern + "\" needs %c: each channel needs a name of its own";
        return false;
    }
    return charactersFit(pattern, why);
}

bool expand(const std::string& pattern, const AdapterIdentity& a, uint32_t type, uint32_t ch, std::string& name,
            std::string& why) {
    name.clear();
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%' || i + 1 == pattern.size()) {
            name += pattern[i];
            continue;
        }
        switch (pattern[++i]) {
            case 'p':
                if (a.port.empty()) {
                    why = "the system gives no port path for %p";
                    return false;
                }
                name += a.port;
                break;
            case 's':
                if (a.serial.empty()) {
                    why = "the adapter reports no serial number for %s";
                    return false;
                }
                name += a.serial;
                break;
            case 't':
                name += std::to_string(type);
                break;
            case 'c':
                name += std::to_string(ch);
                break;
            default:
                name += '%';
        }
    }
    return validInterfaceName(name, why);
}

uint32_t fnv1a(const std::string& text) {
    uint32_t h = 2166136261u;
    for (unsigned char c : text) h = (h ^ c) * 16777619u;
    return h;
}

}  // namespace

std::string shortDefaultName(const std::string& port, uint32_t channel) {
    char hex[16];
    snprintf(hex, sizeof hex, "%08x", fnv1a(port));
    std::string name = "ycan";
    name.append(hex);
    name.append("-");
    name.append(std::to_string(channel));
    return name;
}

bool parseBridgesConfig(std::istream& in, const std::string& name, BridgesConfig& out, std::string& why) {
    BridgesConfig c;
    c.path = name;
    std::map<std::string, int> interfaces;  // explicit names, by line
    int lineNo = 0;
    auto fail = [&](const std::string& what) {
        why = name + ":" + std::to_string(lineNo) + ": " + what;
        return false;
    };
    for (std::string line; std::getline(in, line);) {
        ++lineNo;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.empty()) continue;
        const std::string& key = w[0];
        BridgeEntry* entry = c.entries.empty() ? nullptr : &c.entries.back();
        if (key == "adapter") {
            if (w.size() != 3 || (w[1] != "port" && w[1] != "serial" && w[1] != "type"))
                return fail("expected \"adapter port PATH\", \"adapter serial SERIAL\" or \"adapter type TYPE\"");
            BridgeEntry e;
            e.line = lineNo;
            e.value = w[2];
            std::string problem;
            if (w[1] == "port") {
                e.match = BridgeEntry::Match::Port;
                Target probe;
                if (!parseTarget("0@" + w[2], false, probe, problem)) return fail(problem);
            } else if (w[1] == "serial") {
                e.match = BridgeEntry::Match::Serial;
            } else {
                e.match = BridgeEntry::Match::Type;
                Target probe;
                if (w[2].find_first_not_of("0123456789") != std::string::npos ||
                    !parseTarget(w[2] + ":0", false, probe, problem))
                    return fail("bad type " + w[2] + " (a device type code, e.g. 43)");
                const AdapterModel* m = modelOfType(probe.type);
                if (m == nullptr) return fail("no adapter has device type " + w[2] + " ('ycan list --models')");
                if (m->family == AdapterFamily::Recorder)
                    return fail("device type " + w[2] + " is a recorder, which carries no frames");
                e.type = probe.type;
            }
            for (const BridgeEntry& other : c.entries) {
                const bool same = other.match == e.match &&
                                  (e.match == BridgeEntry::Match::Type
                                       ? modelOfType(other.type) == modelOfType(e.type)
                                       : other.value == e.value);
                if (same) return fail("the entry at line " + std::to_string(other.line) + " names this adapter too");
            }
            c.entries.push_back(std::move(e));
        } else if (key == "channel") {
            if (entry == nullptr) return fail("\"channel\" belongs to an \"adapter\" entry");
            uint32_t ch = 0;
            Target probe;
            std::string problem;
            if (w.size() != 3 || !parseTarget("0:0:" + w[1], true, probe, problem) || probe.channel > 7)
                return fail("expected \"channel CH INTERFACE\" with CH from 0 to 7");
            ch = probe.channel;
            if (!validInterfaceName(w[2], problem)) return fail(problem);
            for (const auto& [other, iface] : entry->channels)
                if (other == ch) return fail("channel " + w[1] + " is named twice");
            const auto taken = interfaces.find(w[2]);
            if (taken != interfaces.end())
                return fail(w[2] + " is already a channel's interface at line " + std::to_string(taken->second));
            interfaces[w[2]] = lineNo;
            entry->channels.emplace_back(ch, w[2]);
        } else if (key == "names") {
            std::string problem;
            if (w.size() != 2) return fail("expected \"names PATTERN\", e.g. names ycan%p-%c");
            if (!checkPattern(w[1], problem)) return fail(problem);
            (entry != nullptr ? entry->pattern : c.pattern) = w[1];
        } else if (key == "ignore") {
            if (entry == nullptr) return fail("\"ignore\" belongs to an \"adapter\" entry");
            if (w.size() != 1) return fail("\"ignore\" takes no value");
            entry->ignore = true;
        } else if (settingKey(key)) {
            if (w.size() != 2) return fail("expected \"" + key + " VALUE\"");
            std::string problem;
            if (key == "tx-queue") {
                char* end = nullptr;
                const unsigned long n = strtoul(w[1].c_str(), &end, 10);
                if (w[1].empty() || *end != '\0' || n == 0 || n > 10000000)
                    return fail("tx-queue takes a number of frames from 1 to 10000000");
            } else {
                BusSettings probe;
                if (!readBusOption("--" + key, w[1], probe, problem)) return fail(problem);
            }
            auto& settings = entry != nullptr ? entry->settings : c.settings;
            if (settings.count("--" + key) != 0) return fail(key + " is given twice");
            settings["--" + key] = w[1];
        } else {
            return fail("unknown setting \"" + key +
                        "\" (adapter, channel, names, ignore, bitrate, dbitrate, sample-point, dsample-point, "
                        "timing, btr, tx-queue)");
        }
    }
    for (const BridgeEntry& e : c.entries) {
        if (!e.ignore || (e.channels.empty() && e.pattern.empty() && e.settings.empty())) continue;
        lineNo = e.line;
        return fail("an ignored adapter takes no channels, names or bus settings");
    }
    out = std::move(c);
    return true;
}

bool loadBridgesConfig(const std::string& path, bool mustExist, BridgesConfig& out, std::string& why) {
    std::ifstream file(path);
    if (!file) {
        if (!mustExist) {
            out = BridgesConfig{};
            out.path = path;
            return true;
        }
        why = path + ": cannot be read";
        return false;
    }
    return parseBridgesConfig(file, path, out, why);
}

bool planFor(const BridgesConfig& config, const AdapterIdentity& a, BridgePlan& plan, std::string& why) {
    const BridgeEntry* chosen = nullptr;
    for (auto match : {BridgeEntry::Match::Serial, BridgeEntry::Match::Port, BridgeEntry::Match::Type}) {
        for (const BridgeEntry& e : config.entries) {
            if (e.match != match) continue;
            const bool hit = match == BridgeEntry::Match::Type ? modelOfType(e.type) == a.model
                             : match == BridgeEntry::Match::Port ? !a.port.empty() && e.value == a.port
                                                                 : !a.serial.empty() && e.value == a.serial;
            if (hit) {
                chosen = &e;
                break;
            }
        }
        if (chosen != nullptr) break;
    }
    BridgePlan p;
    p.line = chosen != nullptr ? chosen->line : 0;
    p.ignore = chosen != nullptr && chosen->ignore;
    Target& t = p.adapter;
    t.type = chosen != nullptr && chosen->match == BridgeEntry::Match::Type ? chosen->type
                                                                            : a.model->preferredType();
    if (!a.port.empty()) {
        t.by = Target::By::Port;
        t.place = a.port;
    } else if (!a.serial.empty()) {
        t.by = Target::By::Serial;
        t.place = a.serial;
    } else {
        why = "the system gives neither a port path nor a serial number for it";
        return false;
    }
    if (p.ignore) {
        plan = p;
        return true;
    }
    const std::string where = p.line != 0 ? config.path + ":" + std::to_string(p.line) + ": " : "";
    if (chosen != nullptr && !chosen->channels.empty()) {
        p.channels = chosen->channels;
    } else {
        const bool ownPattern = chosen != nullptr && !chosen->pattern.empty();
        const std::string& pattern = ownPattern ? chosen->pattern : config.pattern;
        const bool builtIn = !ownPattern && pattern == BridgesConfig{}.pattern;
        for (uint32_t ch = 0; ch < a.model->channels; ++ch) {
            std::string name, problem;
            if (!expand(pattern, a, t.type, ch, name, problem)) {
                if (!builtIn || a.port.empty()) {
                    why = where + problem;
                    return false;
                }
                name = shortDefaultName(a.port, ch);
            }
            p.channels.emplace_back(ch, name);
        }
    }
    // The file-wide settings of the other family are not this adapter's.
    // Rates and timing words are two ways to one setting: an entry giving
    // one way drops the file's other way (a file-wide --btr would otherwise
    // win over the entry's bit rate).
    std::map<std::string, std::string> settings;
    const bool classic = a.model->family == AdapterFamily::Classic;
    const auto isWords = [](const std::string& key) { return key == "--btr" || key == "--timing"; };
    const auto isRate = [&](const std::string& key) { return key != "--tx-queue" && !isWords(key); };
    bool entryWords = false, entryRates = false;
    if (chosen != nullptr)
        for (const auto& [key, value] : chosen->settings) {
            entryWords = entryWords || isWords(key);
            entryRates = entryRates || isRate(key);
        }
    for (const auto& [key, value] : config.settings) {
        const bool fdOnly = key == "--dbitrate" || key == "--dsample-point" || key == "--timing";
        if ((classic && fdOnly) || (!classic && key == "--btr")) continue;
        if ((entryRates && isWords(key)) || (entryWords && isRate(key))) continue;
        settings[key] = value;
    }
    if (chosen != nullptr)
        for (const auto& [key, value] : chosen->settings) settings[key] = value;
    for (const auto& [key, value] : settings) {
        p.args.push_back(key);
        p.args.push_back(value);
    }
    plan = std::move(p);
    return true;
}

}  // namespace ycantool
