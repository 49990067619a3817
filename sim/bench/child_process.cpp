#include "sim/bench/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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

    // Opened here, not in the child: under the umockdev preload open() and
    // chdir() take a lock that another of our threads may hold at the fork,
    // and the child would wait for it forever.
    const int devNull = options.terminal ? -1 : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const char* workDir = options.workDir.empty() ? nullptr : options.workDir.c_str();

    wakeFd = eventfd(0, EFD_CLOEXEC);
    child = wakeFd >= 0 ? fork() : -1;
    if (child < 0) {
        const int err = errno;
        for (int fd : {devNull, wakeFd, parentFd, childFd})
            if (fd >= 0) close(fd);
        throw std::runtime_error(std::string("fork: ") + strerror(err));
    }
    if (child == 0) {
        if (options.terminal) setsid();
        dup2(childFd, STDOUT_FILENO);
        dup2(childFd, STDERR_FILENO);
        if (options.terminal)
            dup2(childFd, STDIN_FILENO);
        else if (devNull >= 0)
            dup2(devNull, STDIN_FILENO);
        // The system call itself, past the preload's wrapper.
        if (workDir != nullptr && syscall(SYS_chdir, workDir) != 0) _exit(126);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (devNull >= 0) close(devNull);
    // Our copy of the child's end stays open until the child has been
    // reaped: the end of its output is then "the child is gone and nothing
    // is left to read", never an end-of-file or hang-up that the kernel may
    // report while the child's last lines are still on their way.
    writeFd = childFd;
    outFd = parentFd;
    fcntl(outFd, F_SETFL, fcntl(outFd, F_GETFL) | O_NONBLOCK);
    reader = std::thread([this] { readLoop(); });
}

ChildProcess::~ChildProcess() {
    if (exitStatus < 0) stop(SIGTERM, std::chrono::seconds(2));
    if (exitStatus < 0) finishOutput();  // a child we could not reap
    if (reader.joinable()) reader.join();
    if (outFd >= 0) close(outFd);
    if (writeFd >= 0) close(writeFd);
    if (wakeFd >= 0) close(wakeFd);
}

void ChildProcess::finishOutput() {
    const uint64_t one = 1;
    if (write(wakeFd, &one, sizeof one) < 0) return;  // an eventfd write only fails on overflow
}

bool ChildProcess::readAvailable() {
    char buf[4096];
    for (;;) {
        ssize_t n = read(outFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        if (n <= 0) return false;
        std::lock_guard guard(lock);
        collected.append(buf, static_cast<size_t>(n));
        grew.notify_all();
    }
}

void ChildProcess::readLoop() {
    for (;;) {
        pollfd fds[2] = {{outFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) {
            // The child is gone: a read that finds nothing now has waited
            // for whatever its last writes left in flight.
            readAvailable();
            break;
        }
        if (fds[0].revents != 0 && !readAvailable()) break;
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
    return grew.wait_for(guard, timeout, [&] { return collected.find(text) != std::string::npos || eof; }) &&
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
            finishOutput();
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
