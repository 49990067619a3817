// Runs a program as a child of the bench's process. The child inherits the
// preload and the testbed location from the environment, so its libusb sees
// the bench's virtual devices while the emulation runs here in the parent.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ycansim {

class ChildProcess {
public:
    struct Options {
        // Run on a pseudo-terminal, so that the child's stdio is line
        // buffered and its lines arrive as they are printed. Otherwise
        // stdout and stderr go to a pipe.
        bool terminal = true;
        // Extra KEY=VALUE entries for the child's environment.
        std::vector<std::string> env;
        // Working directory of the child; empty keeps ours.
        std::string workDir;
    };

    explicit ChildProcess(std::vector<std::string> argv);
    ChildProcess(std::vector<std::string> argv, Options options);
    // Stops the child if it still runs (SIGTERM, then SIGKILL).
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return child; }
    // Everything the child printed so far (stdout and stderr together).
    std::string output() const;
    // Waits until the output contains `text`.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;
    void signal(int sig);
    // Waits for the child to end: its exit status, 128 + the signal that
    // ended it, or -1 if it still runs after the time-out.
    int wait(std::chrono::milliseconds timeout);
    // Stops the child: `sig` first, SIGKILL if it has not ended after grace.
    int stop(int sig, std::chrono::milliseconds grace);

private:
    void readLoop();
    // Reads what is there without waiting; false at end of file or error.
    bool readAvailable();
    // Tells the reader that the child is gone: read what is left, then stop.
    void finishOutput();

    pid_t child = -1;
    int outFd = -1;
    int writeFd = -1;
    int wakeFd = -1;
    int exitStatus = -1;
    mutable std::mutex lock;
    mutable std::condition_variable grew;
    std::string collected;
    bool eof = false;
    std::thread reader;
};

}  // namespace ycansim
