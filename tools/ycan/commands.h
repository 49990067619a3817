// The ycan subcommands. Each takes its arguments after the command name and
// returns the process's exit status: list, info and timing in
// cmd_inspect.cpp; dump, send and gen in cmd_traffic.cpp; top in
// cmd_top.cpp; bridge in cmd_bridge.cpp; record in cmd_record.cpp.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace ycantool {

using Args = std::vector<std::string>;

int listCommand(const Args& args);
int infoCommand(const Args& args);
int timingCommand(const Args& args);
int dumpCommand(const Args& args);
int sendCommand(const Args& args);
int genCommand(const Args& args);
int topCommand(const Args& args);
int bridgeCommand(const Args& args);
int recordCommand(const Args& args);

// Shared by the commands (command_support.cpp).

// Whether the arguments ask for help (--help, -h).
bool wantsHelp(const Args& args);
// From now on Ctrl-C and termination set interrupted() instead of ending
// the process: the loops end and the adapter is closed.
void catchInterrupts();
bool interrupted();
// Seconds since the epoch, the time frames are stamped with.
double unixNow();

// Says why on stderr, points at the command's help, exits 2.
[[noreturn]] void usageError(const std::string& command, const std::string& why);

// Called first in main: gives the library's console log (descriptor 1)
// standard error and keeps the original standard output for out().
void separateLibraryLog();

// Where the tool's own output goes: the standard output the tool was started
// with. The library writes its console log to standard output too, so the
// tool points that at standard error (see main) and keeps the original for
// its frames and tables, which other programs read.
FILE* out();
// The text and a newline, on out().
void putLine(const char* text);

}  // namespace ycantool
