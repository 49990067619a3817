// The configuration of `ycan bridge --all` (/etc/ycan/bridges.conf): which
// interfaces each adapter gets, with which bus settings. One setting a line,
// "#" starts a comment:
//
//   names ycan%p-%c          # adapters no entry names (the default pattern)
//   bitrate 500k             # bus settings for every adapter...
//   adapter port 1-2.3       # ...and an entry: the adapter in this port,
//   channel 0 powertrain     #    its channel 0 on this interface,
//   channel 1 body           #    channel 1 on that one,
//   bitrate 250k             #    its own bus settings
//   adapter serial 0123ABCD  # the adapter reporting this serial number
//   adapter type 43          # every other adapter of this type
//   adapter serial 77AA      # an adapter the bridges leave alone
//   ignore
//
// Lines after an "adapter" line belong to that entry. Bus settings are the
// bridge's options without the dashes (bitrate, dbitrate, sample-point,
// dsample-point, timing, btr) and tx-queue; an entry's replace the
// file-wide ones. An entry with channel lines bridges those channels; one
// without bridges every channel under its names pattern (or the file's).
// Patterns: %p the port path, %s the serial number, %t the type, %c the
// channel, %% a percent sign. An adapter takes the entry naming its serial
// number, else its port, else its type, else the defaults.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/ycan/adapter_target.h"

namespace ycantool {

struct BridgeEntry {
    enum class Match { Port, Serial, Type } match = Match::Type;
    std::string value;  // the port path or serial number
    uint32_t type = 0;  // Match::Type
    int line = 0;
    bool ignore = false;
    std::string pattern;                                   // "" : the file's
    std::vector<std::pair<uint32_t, std::string>> channels;  // channel, interface
    std::map<std::string, std::string> settings;           // "--bitrate" -> "250k", in order of name
};

struct BridgesConfig {
    std::string path;
    std::string pattern = "ycan%p-%c";
    std::map<std::string, std::string> settings;
    std::vector<BridgeEntry> entries;
};

// Reads the configuration text; on an error says "NAME:LINE: what" and
// leaves `out` as it was.
bool parseBridgesConfig(std::istream& in, const std::string& name, BridgesConfig& out, std::string& why);
// The file at path; a missing file is an error only when mustExist (the
// default file may be absent: every adapter then gets the defaults).
bool loadBridgesConfig(const std::string& path, bool mustExist, BridgesConfig& out, std::string& why);

// An attached adapter as the configuration sees it.
struct AdapterIdentity {
    const AdapterModel* model = nullptr;
    std::string port;
    std::string serial;
};

// What the supervisor runs for one adapter: the bridge's arguments after
// "bridge" (the adapter, CH=IFACE pairs, bus settings), or nothing.
struct BridgePlan {
    bool ignore = false;
    int line = 0;  // the entry's line; 0: the defaults
    Target adapter;
    std::vector<std::pair<uint32_t, std::string>> channels;
    std::vector<std::string> args;
};

// The plan for an adapter; false, saying why, when its interface names
// cannot be made (a pattern gives a name the kernel refuses).
bool planFor(const BridgesConfig& config, const AdapterIdentity& adapter, BridgePlan& plan, std::string& why);

// The default name of a channel when the pattern gives one longer than the
// kernel's 15 characters: "ycan" and 8 hex digits of a hash of the port,
// "-" and the channel. Stable for a port.
std::string shortDefaultName(const std::string& port, uint32_t channel);

}  // namespace ycantool
