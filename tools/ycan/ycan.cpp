// ycan: YCAN adapters from the shell, in the spirit of can-utils.
//
//   ycan list                      adapters attached (type codes, index, bus, address)
//   ycan info TYPE:INDEX           board information
//   ycan dump TYPE:INDEX[:CH]      print received frames (candump log format)
//   ycan send TYPE:INDEX:CH FRAME  send frames (cansend syntax)
//   ycan gen TYPE:INDEX:CH         send generated frames (cangen's options)
//   ycan timing ...                compute or explain a CAN FD bit timing word
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

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
    "  list                       attached adapters: type codes, index, USB bus and address\n"
    "  info TYPE:INDEX            board information\n"
    "  dump TYPE:INDEX[:CH]       print received frames until Ctrl-C (candump log format)\n"
    "  send TYPE:INDEX:CH FRAME   send a frame: 123#1122, 1ABCDEF0#11.22, 123#R, 123##1AABB\n"
    "  gen TYPE:INDEX:CH          send generated frames, frames/s on stderr\n"
    "  top TYPE:INDEX[:CH]        live view: identifiers, rates, bus load (q quits)\n"
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

namespace ycantool {

void usageError(const std::string& command, const std::string& why) {
    fprintf(stderr, "ycan %s: %s\n(see 'ycan %s --help')\n", command.c_str(), why.c_str(), command.c_str());
    exit(2);  // NOLINT(concurrency-mt-unsafe): single-threaded command line
}

namespace {

FILE* toolOutput = stdout;

// The tool's output keeps the original standard output; descriptor 1, where
// the library's console log goes, becomes a copy of standard error. Where
// that cannot be done, both stay on standard output as before.
void separateLibraryLog() {
    const int original = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (original < 0) return;
    FILE* f = fdopen(original, "w");
    if (f == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        if (f != nullptr) fclose(f);
        else close(original);
        return;
    }
    // Line by line on a terminal, as standard output would be.
    if (isatty(original)) setvbuf(f, nullptr, _IOLBF, 0);
    toolOutput = f;
}

}  // namespace

FILE* out() { return toolOutput; }

void putLine(const char* text) {
    fputs(text, toolOutput);
    fputc('\n', toolOutput);
}

}  // namespace ycantool

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
    fprintf(stderr, "ycan: unknown command '%s'\n%s", command.c_str(), kUsage);
    return 2;
}
