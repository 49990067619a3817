// A command for ycan-virtual to run, that shows what reached it:
//   command_probe streams       copies standard input to standard output and
//                               says "on stderr" on standard error
//   command_probe lines         prints numbered lines, 100 a second, ignoring
//                               write errors (a closed pipe must end it)
//   command_probe wait          waits to be ended
//   command_probe stubborn      ignores SIGINT, SIGTERM and SIGHUP, then waits
//   command_probe interactive   reads a line from its terminal, answers
//                               "got: LINE", then counts the SIGINTs it gets
//                               until a second after the first and says how many
//   command_probe churn LIB MS  for MS ms, opens an adapter type that is not
//                               attached (libycan from LIB) over and over while
//                               unplugging and replugging 43:0 through
//                               ycan-virtual's control socket; says how often
//   command_probe ask-while REQUEST PROGRAM ARGS...
//                               starts PROGRAM, repeats REQUEST on the control
//                               socket until the reply says "started=1", prints
//                               that reply, ends PROGRAM with SIGINT; its status
#include <dlfcn.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::atomic<int> interrupts{0};

void countInterrupt(int) { interrupts.fetch_add(1); }

// One request on the control socket; false when it went unanswered.
bool request(int fd, const char* line) {
    if (write(fd, line, strlen(line)) != static_cast<ssize_t>(strlen(line))) return false;
    char c;
    while (read(fd, &c, 1) == 1)
        if (c == '\n') return true;
    return false;
}

int connectControl() {
    const char* control = getenv("YCAN_VIRTUAL_CONTROL");
    if (control == nullptr) return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", control);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
    return fd;
}

std::string ask(int fd, const std::string& request) {
    const std::string line = request + "\n";
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    std::string reply;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') reply += c;
    return reply;
}

int askWhile(const char* request, char** program) {
    const int fd = connectControl();
    if (fd < 0) return 125;
    const pid_t pid = fork();
    if (pid == 0) {
        execv(program[0], program);
        _exit(127);
    }
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            printf("ended before starting\n");
            return 125;
        }
        const std::string reply = ask(fd, request);
        if (reply.find("started=1") != std::string::npos) {
            printf("%s\n", reply.c_str());
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGINT);
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int churn(const char* library, int ms) {
    void* lib = dlopen(library, RTLD_NOW);
    using OpenFn = int (*)(uint32_t, uint32_t);
    const auto open = lib != nullptr ? reinterpret_cast<OpenFn>(dlsym(lib, "YCAN_OpenDevice")) : nullptr;
    const int fd = connectControl();
    if (open == nullptr || fd < 0) {
        fprintf(stderr, "churn: no YCAN_OpenDevice or no control socket\n");
        return 2;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::atomic<bool> done{false};
    int requests = 0;
    bool answered = true;
    std::thread plugger([&] {
        while (!done.load() && answered) {
            answered = request(fd, "unplug 43:0\n") && request(fd, "replug 43:0\n");
            requests += 2;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    long opens = 0;
    while (std::chrono::steady_clock::now() < end) {
        open(4, 0);  // no classic adapter attached: fails, after a libusb context came and went
        ++opens;
    }
    done.store(true);
    plugger.join();
    printf("opens %ld, plug requests %d\n", opens, requests);
    fflush(stdout);
    // Ends without the exit-time leak check of a sanitizer build: libusb
    // now and then keeps a device it discovered while its context was
    // being destroyed (a few of thousands of contexts here), and this
    // stress is about ycan-virtual surviving, not about the probe's memory.
    _exit(answered ? 0 : 1);
}

[[noreturn]] void waitForever() {
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "streams") {
        char buf[4096];
        for (ssize_t n; (n = read(STDIN_FILENO, buf, sizeof buf)) > 0;)
            if (write(STDOUT_FILENO, buf, static_cast<size_t>(n)) != n) return 1;
        fputs("on stderr\n", stderr);
        return 0;
    }
    if (mode == "lines") {
        for (int k = 0;; ++k) {
            char line[32];
            const int len = snprintf(line, sizeof line, "line %d\n", k);
            ssize_t w = write(STDOUT_FILENO, line, static_cast<size_t>(len));
            (void)w;  // deliberately unchecked
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (mode == "wait") waitForever();
    if (mode == "stubborn") {
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_IGN);
        puts("ready");
        fflush(stdout);
        waitForever();
    }
    if (mode == "interactive") {
        struct sigaction sa {};
        sa.sa_handler = &countInterrupt;
        sigaction(SIGINT, &sa, nullptr);
        puts("type a line");
        fflush(stdout);
        char line[256] = {};
        if (fgets(line, sizeof line, stdin) == nullptr) return 1;
        line[strcspn(line, "\r\n")] = '\0';
        printf("got: %s\n", line);
        fflush(stdout);
        while (interrupts.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        printf("SIGINT received %d times\n", interrupts.load());
        return 0;
    }
    if (mode == "churn" && argc == 4) return churn(argv[2], atoi(argv[3]));
    if (mode == "ask-while" && argc >= 4) return askWhile(argv[2], argv + 3);
    fprintf(
        stderr,
        "usage: command_probe streams|lines|wait|stubborn|interactive|churn LIB MS|ask-while REQ PROG...\n");
    return 2;
}
