// ycan: YCAN adapters from the shell, in the spirit of can-utils.
//
//   ycan list [--models]           adapters attached (TYPE:INDEX, bus, address, serial)
//   ycan info TYPE:INDEX           board information
//   ycan dump TYPE:INDEX[:CH]      print received frames (candump log format)
//   ycan send TYPE:INDEX:CH FRAME  send frames (cansend syntax)
//   ycan gen TYPE:INDEX:CH         send generated frames (cangen's options)
//   ycan top TYPE:INDEX[:CH]       live view of the traffic
//   ycan bridge TYPE:INDEX CH=IFACE  channels as Linux CAN network interfaces
//   ycan record TYPE:INDEX ...     a CAN bus recorder's settings and filters
//   ycan timing ...                compute or explain a CAN FD bit timing word
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/ycan/commands.h"
#include "ycan.h"

namespace {

const char* kUsage =
    "usage: ycan COMMAND [ARGS...]\n"
    "YCAN USB-to-CAN adapters from the shell. Adapters are named TYPE:INDEX (device type code\n"
    "and index, e.g. 43:0), channels TYPE:INDEX:CH.\n"
    "\n"
    "Commands:\n"
    "  list [--models]            attached adapters: type codes, index, USB bus and address\n"
    "  info TYPE:INDEX            board information\n"
    "  dump TYPE:INDEX[:CH]       print received frames until Ctrl-C (candump log format)\n"
    "  send TYPE:INDEX:CH FRAME   send a frame: 123#1122, 1ABCDEF0#11.22, 123#R, 123##1AABB\n"
    "  gen TYPE:INDEX:CH          send generated frames, frames/s on stderr\n"
    "  top TYPE:INDEX[:CH]        live view: identifiers, rates, bus load (q quits)\n"
    "  bridge TYPE:INDEX CH=IFACE channels as Linux CAN interfaces (SocketCAN), e.g. 0=can0\n"
    "  record TYPE:INDEX ...      a CAN bus recorder: show, set, filter, save, load\n"
    "  timing ...                 compute or explain a CAN FD bit timing word\n"
    "\n"
    "'ycan COMMAND --help' describes a command, 'ycan --version' the tool and the library it\n"
    "loaded. Errors print the library's message and exit 1 (2 for a wrong command line).\n";

// The tool's version and the library file it runs with (an older libycan
// found first on the library path shows here).
void printVersion() {
    Dl_info where{};
    char real[4096];
    const char* library = "libycan";
    if (dladdr(reinterpret_cast<void*>(&YCAN_OpenDevice), &where) != 0 && where.dli_fname != nullptr)
        library = realpath(where.dli_fname, real) != nullptr ? real : where.dli_fname;
    fprintf(ycantool::out(), "ycan %s, library %s\n", YCAN_PACKAGE_VERSION, library);
}

}  // namespace

int main(int argc, char** argv) {
    ycantool::separateLibraryLog();
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
        strcmp(argv[1], "help") == 0) {
        fputs(kUsage, argc < 2 ? stderr : ycantool::out());
        return argc < 2 ? 2 : 0;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printVersion();
        return 0;
    }
    const std::string command = argv[1];
    const ycantool::Args args(argv + 2, argv + argc);
    if (command == "list") return ycantool::listCommand(args);
    if (command == "info") return ycantool::infoCommand(args);
    if (command == "timing") return ycantool::timingCommand(args);
    if (command == "dump") return ycantool::dumpCommand(args);
    if (command == "send") return ycantool::sendCommand(args);
    if (command == "gen") return ycantool::genCommand(args);
    if (command == "top") return ycantool::topCommand(args);
    if (command == "bridge") return ycantool::bridgeCommand(args);
    if (command == "record") return ycantool::recordCommand(args);
    fprintf(stderr, "ycan: unknown command '%s'\n%s", command.c_str(), kUsage);
    return 2;
}
