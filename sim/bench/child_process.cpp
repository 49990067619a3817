#include "sim/bench/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace ycansim {

ChildProcess::ChildProcess(std::vector<std::string> argv) : ChildProcess(std::move(argv), Options{}) {}

ChildProcess::ChildProcess(std::vector<std::string> argv, Options options) {
    if (argv.empty()) throw std::invalid_argument("ChildProcess: no program");
    int parentFd = -1;
    int childFd = -1;
    if (options.terminal) {
        parentFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (parentFd < 0 || grantpt(parentFd) != 0 || unlockpt(parentFd) != 0)
            throw std::runtime_error(std::string("pseudo-terminal: ") + strerror(errno));
        childFd = open(ptsname(parentFd), O_RDWR | O_NOCTTY | O_CLOEXEC);
        // Pass the child's bytes through unchanged (no "\r\n", no echo).
        termios tio{};
        tcgetattr(childFd, &tio);
        cfmakeraw(&tio);
        tcsetattr(childFd, TCSANOW, &tio);
    } else {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        parentFd = fds[0];
        childFd = fds[1];
    }

    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    // The environment is put together before the fork: between fork and exec
    // only async-signal-safe calls are allowed (other threads may hold locks).
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    for (auto& kv : options.env) envp.push_back(kv.data());
    envp.push_back(nullptr);

    child = fork();
    if (child < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
    if (child == 0) {
        if (options.terminal) setsid();
        dup2(childFd, STDOUT_FILENO);
        dup2(childFd, STDERR_FILENO);
        int devNull = open("/dev/null", O_RDONLY);
        if (options.terminal) dup2(childFd, STDIN_FILENO);
        else if (devNull >= 0) dup2(devNull, STDIN_FILENO);
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) _exit(126);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(childFd);
    outFd = parentFd;
    reader = std::thread([this] { readLoop(); });
}

ChildProcess::~ChildProcess() {
    if (exitStatus < 0) stop(SIGTERM, std::chrono::seconds(2));
    if (reader.joinable()) reader.join();
    if (outFd >= 0) close(outFd);
}

void ChildProcess::readLoop() {
    char buf[4096];
    for (;;) {
        ssize_t n = read(outFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        // A terminal reports EIO once the child side is gone.
        if (n <= 0) break;
        std::lock_guard guard(lock);
        collected.append(buf, static_cast<size_t>(n));
        grew.notify_all();
    }
    std::lock_guard guard(lock);
    eof = true;
    grew.notify_all();
}

std::string ChildProcess::output() const {
    std::lock_guard guard(lock);
    return collected;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
    std::unique_lock guard(lock);
    return grew.wait_for(guard, timeout,
                         [&] { return collected.find(text) != std::string::npos || eof; }) &&
           collected.find(text) != std::string::npos;
}

void ChildProcess::signal(int sig) {
    if (child > 0 && exitStatus < 0) kill(child, sig);
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (exitStatus >= 0) return exitStatus;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            // The output may still hold the child's last lines.
            std::unique_lock guard(lock);
            grew.wait_for(guard, std::chrono::seconds(2), [&] { return eof; });
            return exitStatus;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ChildProcess::stop(int sig, std::chrono::milliseconds grace) {
    signal(sig);
    int status = wait(grace);
    if (status < 0) {
        signal(SIGKILL);
        status = wait(std::chrono::seconds(5));
    }
    return status;
}

}  // namespace ycansim
