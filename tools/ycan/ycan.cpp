// ycan: YCAN adapters from the shell, in the spirit of can-utils.
//
//   ycan list                      adapters attached (type codes, index, bus, address)
//   ycan info TYPE:INDEX           board information
//   ycan dump TYPE:INDEX[:CH]      print received frames (candump log format)
//   ycan send TYPE:INDEX:CH FRAME  send frames (cansend syntax)
//   ycan gen TYPE:INDEX:CH         send frames as fast as the adapter takes them
//   ycan timing ...                compute or explain a CAN FD bit timing word
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/ycan/commands.h"

namespace {

const char* kUsage =
    "usage: ycan COMMAND [ARGS...]\n"
    "YCAN USB-to-CAN adapters from the shell. Adapters are named TYPE:INDEX (device type code\n"
    "and index, e.g. 43:0), channels TYPE:INDEX:CH.\n"
    "\n"
    "Commands:\n"
    "  list                       attached adapters: type codes, index, USB bus and address\n"
    "  info TYPE:INDEX            board information\n"
    "  dump TYPE:INDEX[:CH]       print received frames until Ctrl-C (candump log format)\n"
    "  send TYPE:INDEX:CH FRAME   send a frame: 123#1122, 1ABCDEF0#11.22, 123#R, 123##1AABB\n"
    "  gen TYPE:INDEX:CH          send generated frames, frames/s on stderr\n"
    "  timing ...                 compute or explain a CAN FD bit timing word\n"
    "\n"
    "'ycan COMMAND --help' describes a command. Errors print the library's message and exit 1\n"
    "(2 for a wrong command line).\n";

}  // namespace

namespace ycantool {

void usageError(const std::string& command, const std::string& why) {
    fprintf(stderr, "ycan %s: %s\n(see 'ycan %s --help')\n", command.c_str(), why.c_str(), command.c_str());
    exit(2);  // NOLINT(concurrency-mt-unsafe): single-threaded command line
}

}  // namespace ycantool

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
        strcmp(argv[1], "help") == 0) {
        fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    const ycantool::Args args(argv + 2, argv + argc);
    if (command == "list") return ycantool::listCommand(args);
    if (command == "info") return ycantool::infoCommand(args);
    if (command == "timing") return ycantool::timingCommand(args);
    if (command == "dump") return ycantool::dumpCommand(args);
    if (command == "send") return ycantool::sendCommand(args);
    if (command == "gen") return ycantool::genCommand(args);
    fprintf(stderr, "ycan: unknown command '%s'\n%s", command.c_str(), kUsage);
    return 2;
}
