// What the ycan commands share: where the tool writes (its own output, kept
// apart from the library's console log), usage errors and help, Ctrl-C, and
// the wall clock frames are stamped with.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/ycan/commands.h"

namespace ycantool {

void usageError(const std::string& command, const std::string& why) {
    fprintf(stderr, "ycan %s: %s\n(see 'ycan %s --help')\n", command.c_str(), why.c_str(), command.c_str());
    exit(2);  // NOLINT(concurrency-mt-unsafe): single-threaded command line
}

namespace {

FILE* toolOutput = stdout;
std::atomic<bool> interruptRequested{false};

void onInterrupt(int) { interruptRequested = true; }

}  // namespace

bool wantsHelp(const Args& args) {
    return std::find(args.begin(), args.end(), "--help") != args.end() ||
           std::find(args.begin(), args.end(), "-h") != args.end();
}

void catchInterrupts() {
    struct sigaction sa {};
    sa.sa_handler = onInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool interrupted() { return interruptRequested.load(); }

double unixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The tool's output keeps the original standard output; descriptor 1, where
// the library's console log goes, becomes a copy of standard error. Where
// that cannot be done, both stay on standard output as before.
void separateLibraryLog() {
    // The library writes its log lines to stdout, which goes to standard
    // error below: each line goes out as it is written, also into a pipe or
    // a journal, not when a buffer fills or the tool ends.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int original = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (original < 0) return;
    FILE* f = fdopen(original, "w");
    if (f == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        if (f != nullptr)
            fclose(f);
        else
            close(original);
        return;
    }
    // Line by line on a terminal, as standard output would be.
    if (isatty(original)) setvbuf(f, nullptr, _IOLBF, 0);
    toolOutput = f;
}

FILE* out() { return toolOutput; }

void putLine(const char* text) {
    fputs(text, toolOutput);
    fputc('\n', toolOutput);
}

}  // namespace ycantool
