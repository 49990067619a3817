#include "tools/foreground_command.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace ycanvirtual {

namespace {

// Read by the signal handler: lock-free atomics only.
std::atomic<pid_t> running{0};
std::atomic<int> endRequests{0};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onEndRequest(int sig, siginfo_t* info, void*) {
    const int saved = errno;
    const int n = endRequests.fetch_add(1) + 1;
    const pid_t pid = running.load();
    if (pid > 0) {
        if (n >= 2) {
            kill(pid, SIGKILL);
        } else if (info == nullptr || info->si_code != SI_KERNEL) {
            // Sent to us alone; a terminal's Ctrl-C or hang-up (SI_KERNEL)
            // reached the command with us, and a second copy could end a
            // program that treats the second one as "hard".
            kill(pid, sig);
        }
    }
    errno = saved;
}

std::string errorText(int err) { return std::generic_category().message(err); }

void installHandlers() {
    struct sigaction sa {};
    sa.sa_sigaction = &onEndRequest;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : kEndingSignals) sigaction(sig, &sa, nullptr);
}

}  // namespace

ForegroundCommand::ForegroundCommand(const std::vector<std::string>& argv,
                                     const std::vector<std::string>& env) {
    if (argv.empty()) throw std::invalid_argument("no command");
    // Everything the child needs is put together before the fork: between
    // fork and exec only async-signal-safe calls are allowed.
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    argp.reserve(args.size() + 1);
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    std::vector<std::string> extra = env;
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
    for (auto& kv : extra) envp.push_back(kv.data());
    envp.push_back(nullptr);
    const pid_t parent = getpid();

    installHandlers();
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + errorText(errno));
    child = fork();
    if (child < 0) {
        const int err = errno;
        close(ready[0]);
        close(ready[1]);
        throw std::runtime_error(std::string("fork: ") + errorText(err));
    }
    if (child == 0) {
        // What we changed for ourselves is not the command's: the default
        // actions (a closed pipe ends it, as it would end it without us)
        // and no blocked signal.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig : kEndingSignals) sigaction(sig, &dfl, nullptr);
        sigaction(SIGPIPE, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
        // If we die without stopping it, it is told (the adapters are gone).
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(125);
        execvpe(argp[0], argp.data(), envp.data());
        // Tell the parent why, through the pipe the exec would have closed.
        const int err = errno;
        ssize_t w = write(ready[1], &err, sizeof err);
        (void)w;
        _exit(127);
    }
    close(ready[1]);
    running.store(child);
    int err = 0;
    ssize_t n;
    do n = read(ready[0], &err, sizeof err);
    while (n < 0 && errno == EINTR);
    close(ready[0]);
    if (n == static_cast<ssize_t>(sizeof err)) {
        // As a shell says it: 127 not found, 126 found but not runnable.
        fprintf(stderr, "ycan-virtual: cannot run %s: %s\n", argv[0].c_str(), errorText(err).c_str());
        wait(std::chrono::seconds(5));
        exitStatus = err == ENOENT ? 127 : 126;
    }
}

ForegroundCommand::~ForegroundCommand() {
    if (child > 0 && exitStatus < 0) stop(SIGTERM, std::chrono::seconds(2));
    running.store(0);
}

bool ForegroundCommand::interrupted() { return endRequests.load() > 0; }

int ForegroundCommand::wait(std::chrono::milliseconds timeout) {
    if (exitStatus >= 0 || child <= 0) return exitStatus;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            running.store(0);
            return exitStatus;
        }
        if (r < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int ForegroundCommand::stop(int sig, std::chrono::milliseconds grace) {
    if (exitStatus >= 0 || child <= 0) return exitStatus;
    kill(child, sig);
    int status = wait(grace);
    if (status < 0) {
        kill(child, SIGKILL);
        status = wait(std::chrono::seconds(5));
    }
    return status;
}

}  // namespace ycanvirtual
