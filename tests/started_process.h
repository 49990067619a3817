// Running the command-line tools in tests: with their standard streams kept
// apart (input from a file, output and error into files, or output through
// a pipe the test reads), or in a terminal of their own (tmux).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "eventually.h"
#include "test_support.h"

namespace ycantest {

// A command line that runs ARGS (options, "--", a command) under
// ycan-virtual, through the launcher that puts the preload in place.
inline std::vector<std::string> underYcanVirtual(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {YCAN_BENCH_LAUNCHER, YCAN_VIRTUAL};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// A file under /tmp that goes away with the object.
struct TempFile {
    TempFile() {
        char name[] = "/tmp/ycan-wrapper-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        path = name;
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string read() const { return readFile(path); }
    std::string path;
};

// A started process whose standard streams are files (or, for stdout, a
// pipe the test reads).
class Started {
public:
    Started(const std::vector<std::string>& args, const std::string& input, bool pipeOut = false,
            const std::string& workDir = "") {
        {
            const int fd = open(in.path.c_str(), O_WRONLY | O_TRUNC);
            if (fd >= 0) {
                const ssize_t written = write(fd, input.data(), input.size());
                close(fd);
                if (written != static_cast<ssize_t>(input.size())) return;
            }
        }
        int fds[2] = {-1, -1};
        if (pipeOut && pipe2(fds, O_CLOEXEC) != 0) return;
        pid = fork();
        if (pid == 0) {
            const int i = open(in.path.c_str(), O_RDONLY);
            const int o = pipeOut ? fds[1] : open(out.path.c_str(), O_WRONLY | O_TRUNC);
            const int e = open(err.path.c_str(), O_WRONLY | O_TRUNC);
            dup2(i, STDIN_FILENO);
            dup2(o, STDOUT_FILENO);
            dup2(e, STDERR_FILENO);
            if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(126);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        if (pipeOut) {
            close(fds[1]);
            outPipe = fds[0];
        }
    }
    ~Started() {
        if (pid > 0 && status < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (outPipe >= 0) close(outPipe);
    }
    // Its status, or -1 while it still runs after the time-out.
    int wait(std::chrono::milliseconds timeout) {
        if (status >= 0) return status;
        eventually(
            [&] {
                int s = 0;
                if (waitpid(pid, &s, WNOHANG) != pid) return false;
                status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
                return true;
            },
            timeout);
        return status;
    }
    // Reads a line from the piped standard output ("" at its end).
    std::string line() {
        std::string l;
        char c;
        while (read(outPipe, &c, 1) == 1) {
            if (c == '\n') return l;
            l += c;
        }
        return l;
    }
    void closeOutput() {
        close(outPipe);
        outPipe = -1;
    }

    TempFile in, out, err;
    pid_t pid = -1;
    int outPipe = -1;
    int status = -1;
};

// A tmux server of the test's own, with one window running a command.
class Terminal {
public:
    explicit Terminal(const std::string& command) : server("ycan-test-" + std::to_string(getpid())) {
        // The shell stays out of the way of Ctrl-C and says how the
        // command ended.
        tmux("-f /dev/null new-session -d -s probe -x 120 -y 30 " +
             quoted("trap '' INT; " + command + "; echo \"exit status $?\"") +
             " \\; set-option -w -t probe remain-on-exit on");
    }
    ~Terminal() { tmux("kill-server"); }
    int tmux(const std::string& args) const {
        return std::system(("env -u TMUX tmux -L " + server + " " + args + " >/dev/null 2>&1").c_str());
    }
    std::string query(const std::string& args) const {
        std::string out;
        FILE* p = popen(("env -u TMUX tmux -L " + server + " " + args + " 2>/dev/null").c_str(), "r");
        if (p == nullptr) return out;
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
        return out;
    }
    std::string screen() const { return query("capture-pane -p -t probe"); }
    // With the escape sequences of colours and attributes.
    std::string screenWithAttributes() const { return query("capture-pane -e -p -t probe"); }
    bool shows(const std::string& text) const {
        return eventually([&] { return screen().find(text) != std::string::npos; }, std::chrono::seconds(60));
    }
    static std::string quoted(const std::string& s) {
        std::string q = "'";
        for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    }

private:
    std::string server;
};

}  // namespace ycantest
