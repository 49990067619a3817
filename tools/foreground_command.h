// The command ycan-virtual runs, as a foreground job of its own: it shares
// ycan-virtual's terminal, standard input, output and error and its process
// group, so keyboard input, Ctrl-C and a closed pipe reach it as they would
// without ycan-virtual in between.
//
// SIGINT, SIGTERM and SIGHUP sent to ycan-virtual go on to the command (the
// terminal already signals the whole group; a kill() names only us) and
// ycan-virtual waits for it to end; a second one ends it with SIGKILL.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace ycanvirtual {

class ForegroundCommand {
public:
    // Starts argv[0] (looked up in PATH) with the extra KEY=VALUE entries in
    // its environment. A command that cannot be run is said so on standard
    // error and has ended with 127 (not found) or 126.
    ForegroundCommand(const std::vector<std::string>& argv, const std::vector<std::string>& env);
    // A command still running is stopped (SIGTERM, then SIGKILL).
    ~ForegroundCommand();
    ForegroundCommand(const ForegroundCommand&) = delete;
    ForegroundCommand& operator=(const ForegroundCommand&) = delete;

    pid_t pid() const { return child; }
    // Its exit status, 128 + the signal that ended it, or -1 while it still
    // runs after the time-out.
    int wait(std::chrono::milliseconds timeout);
    // `sig` first, SIGKILL if it has not ended after `grace`.
    int stop(int sig, std::chrono::milliseconds grace);
    // Whether ycan-virtual was asked to end (and passed that on).
    static bool interrupted();

private:
    pid_t child = -1;
    int exitStatus = -1;
};

}  // namespace ycanvirtual
