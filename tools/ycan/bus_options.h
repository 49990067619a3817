// The bus settings on the command line of every command that starts
// channels (dump, send, gen, top, bridge): one parser, one help text.
#pragma once

#include <cstddef>
#include <string>

#include "tools/ycan/adapter_target.h"
#include "tools/ycan/commands.h"

namespace ycantool {

// Reads the bus option at args[i] (--bitrate, --dbitrate, --sample-point,
// --dsample-point, --timing, --btr); true when args[i] was one (i then
// points at its value). On a bad value prints why and exits 2.
bool takeBusOption(const std::string& command, const Args& args, size_t& i, BusSettings& bus);
// Whether option is one of the bus options above.
bool isBusOption(const std::string& option);
// Applies one bus option and its value; false, saying why, on a bad value.
bool readBusOption(const std::string& option, const std::string& value, BusSettings& bus, std::string& why);

// What "[bus settings]" in a usage line stands for, ending in a newline.
extern const char* const kBusHelp;

}  // namespace ycantool
