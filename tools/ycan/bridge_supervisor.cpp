// ycan bridge --all: one long-running supervisor that bridges every adapter
// attached now and every one plugged in later, each in a bridge process of
// its own (ycan bridge TYPE@PORT ... --wait), so that one failing adapter
// never takes the others down.
//
// It sleeps in poll() on libusb's hot-plug descriptors (udev's notices) and
// a signalfd; without notices it looks at the bus every 5 s. An adapter is
// known by its port path: unplugged, its bridge keeps its interfaces and
// waits (the library restores the adapter when it is back in that port).
// A bridge that ends is started again, after 1 s, doubling up to 30 s while
// it keeps ending; one that refuses its settings (status 2) waits for the
// configuration to change. SIGHUP reads the configuration again: bridges
// whose plan changed are restarted, a bad file keeps the one in use.
#include <libusb.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tools/ycan/adapter_arrival.h"
#include "tools/ycan/attached_adapters.h"
#include "tools/ycan/bridge_supervisor.h"
#include "tools/ycan/bridges_config.h"
#include "tools/ycan/commands.h"

namespace ycantool {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kLookEveryMs = 5000;
constexpr auto kFirstRestart = std::chrono::seconds(1);
constexpr auto kLongestRestart = std::chrono::seconds(30);
constexpr auto kRanLongEnough = std::chrono::seconds(60);
constexpr auto kStopGrace = std::chrono::seconds(5);

int LIBUSB_CALL noteChange(libusb_context*, libusb_device*, libusb_hotplug_event, void* noticed) {
    *static_cast<bool*>(noticed) = true;
    return 0;  // stay registered
}

std::string describe(const AdapterIdentity& a, const BridgePlan& plan) {
    std::string text = "adapter " + plan.adapter.name();
    if (!a.serial.empty() && plan.adapter.by != Target::By::Serial) text += " (serial " + a.serial + ")";
    return text;
}

std::string pairsText(const BridgePlan& plan) {
    std::string text;
    for (const auto& [ch, name] : plan.channels) {
        if (!text.empty()) text += ' ';
        text += std::to_string(ch) + "=" + name;
    }
    return text;
}

bool samePlan(const BridgePlan& a, const BridgePlan& b) {
    return a.ignore == b.ignore && a.adapter.type == b.adapter.type && a.adapter.name() == b.adapter.name() &&
           a.channels == b.channels && a.args == b.args;
}

struct Served {
    AdapterIdentity id;
    BridgePlan plan;
    bool planned = false;  // plan holds a plan (else: why it has none was said)
    bool attached = false;
    pid_t pid = 0;
    bool held = false;  // not started again until the configuration changes
    bool heldForName = false;  // held: another adapter's bridge has its interface names
    Clock::time_point startedAt{};
    Clock::time_point restartAt = Clock::time_point::max();
    Clock::duration backoff = kFirstRestart;
};

class Supervisor {
public:
    Supervisor(SupervisorOptions options, BridgesConfig cfg) : o(std::move(options)), config(std::move(cfg)) {}
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    int run();

private:
    bool setUp();
    void scan();
    void arrived(const std::string& key, Served& s);
    void start(const std::string& key, Served& s);
    void stopChild(Served& s);
    // Ends the bridges of these entries, all given the grace time at once.
    void stopAll(const std::vector<std::string>& keys);
    void reap();
    void reload();
    void restartDue();
    bool nameTaken(const std::string& key, const BridgePlan& plan, std::string& owner) const;
    int timeoutMs() const;

    const SupervisorOptions o;
    BridgesConfig config;
    int sigFd = -1;
    libusb_context* ctx = nullptr;
    bool notices = false;
    bool noticed = false;
    libusb_hotplug_callback_handle hotplug = 0;
    bool running = true;
    int exitStatus = 0;
    std::map<std::string, Served> adapters;  // by port path (or "#SERIAL")
};

Supervisor::~Supervisor() {
    if (notices) libusb_hotplug_deregister_callback(ctx, hotplug);
    if (ctx != nullptr) libusb_exit(ctx);
    if (sigFd >= 0) close(sigFd);
}

bool Supervisor::setUp() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    sigFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sigFd < 0) {
        perror("ycan bridge: signalfd");
        return false;
    }
    if (libusb_init(&ctx) != LIBUSB_SUCCESS) {
        fprintf(stderr, "ycan bridge: USB is not available on this machine\n");
        ctx = nullptr;
        return false;
    }
    notices = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) &&
              libusb_hotplug_register_callback(
                  ctx, static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                         LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                  LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                  LIBUSB_HOTPLUG_MATCH_ANY, noteChange, &noticed, &hotplug) == LIBUSB_SUCCESS;
    if (!notices)
        fprintf(stderr, "ycan bridge: no hot-plug notices on this system; looking for adapters every %d s\n",
                kLookEveryMs / 1000);
    return true;
}

bool Supervisor::nameTaken(const std::string& key, const BridgePlan& plan, std::string& owner) const {
    for (const auto& [otherKey, other] : adapters) {
        if (otherKey == key || !other.planned || other.plan.ignore || other.held) continue;
        for (const auto& [ch, name] : plan.channels)
            for (const auto& [otherCh, otherName] : other.plan.channels)
                if (name == otherName) {
                    owner = name + " is already " + other.plan.adapter.name() + "'s";
                    return true;
                }
    }
    return false;
}

void Supervisor::scan() {
    std::map<std::string, AdapterIdentity> now;
    for (const AttachedAdapter& a : attachedAdapters(true)) {
        if (a.model->family == AdapterFamily::Recorder) continue;
        const std::string key = !a.port.empty() ? a.port : "#" + a.serial;
        now[key] = AdapterIdentity{a.model, a.port, a.serial};
    }
    std::vector<std::string> gone;  // entries whose bridge goes
    for (auto& [key, s] : adapters) {
        const auto found = now.find(key);
        if (found != now.end() && found->second.model == s.id.model && found->second.serial == s.id.serial) {
            if (!s.attached) {
                s.attached = true;
                if (s.planned && !s.plan.ignore)
                    fprintf(stderr, "ycan bridge: %s is back\n", describe(s.id, s.plan).c_str());
                // A bridge that ended while it was away starts at once.
                if (s.pid == 0 && !s.held && s.restartAt != Clock::time_point::max()) s.restartAt = Clock::now();
            }
            now.erase(found);
            continue;
        }
        if (s.attached && found == now.end()) {
            s.attached = false;
            if (s.planned && !s.plan.ignore)
                fprintf(stderr, "ycan bridge: %s unplugged; its interfaces stay until it is back\n",
                        describe(s.id, s.plan).c_str());
        }
        if (found != now.end()) {
            // Another adapter in that port: the old one's bridge goes.
            if (s.planned && !s.plan.ignore)
                fprintf(stderr, "ycan bridge: %s was replaced by another adapter\n", describe(s.id, s.plan).c_str());
            gone.push_back(key);
        }
    }
    // An adapter that is away and reappears in another port (it reports a
    // serial number) is that adapter: its bridge, waiting at the old port,
    // gives way to one at the new port.
    for (const auto& [key, id] : now) {
        if (id.serial.empty()) continue;
        for (auto& [oldKey, s] : adapters)
            if (!s.attached && oldKey != key && s.id.model == id.model && s.id.serial == id.serial &&
                std::find(gone.begin(), gone.end(), oldKey) == gone.end()) {
                if (s.planned && !s.plan.ignore)
                    fprintf(stderr, "ycan bridge: %s moved to port %s\n", describe(s.id, s.plan).c_str(),
                            id.port.c_str());
                gone.push_back(oldKey);
            }
    }
    stopAll(gone);
    for (const std::string& key : gone) adapters.erase(key);
    for (auto& [key, id] : now) {
        Served& s = adapters[key];
        s.id = id;
        s.attached = true;
        arrived(key, s);
    }
    // Names another bridge had may be free now.
    for (auto& [key, s] : adapters)
        if (s.heldForName && s.attached) arrived(key, s);
}

void Supervisor::stopAll(const std::vector<std::string>& keys) {
    for (const std::string& key : keys) {
        const auto it = adapters.find(key);
        if (it != adapters.end() && it->second.pid > 0) kill(it->second.pid, SIGTERM);
    }
    for (const std::string& key : keys) {
        const auto it = adapters.find(key);
        if (it != adapters.end()) stopChild(it->second);
    }
}

void Supervisor::arrived(const std::string& key, Served& s) {
    std::string why;
    s.planned = planFor(config, s.id, s.plan, why);
    if (!s.planned) {
        fprintf(stderr, "ycan bridge: adapter %u@%s plugged in, not bridged: %s\n", s.id.model->preferredType(),
                s.id.port.c_str(), why.c_str());
        s.held = true;
        return;
    }
    if (s.plan.ignore) {
        fprintf(stderr, "ycan bridge: %s plugged in, left alone (%s:%d)\n", describe(s.id, s.plan).c_str(),
                config.path.c_str(), s.plan.line);
        return;
    }
    std::string owner;
    if (nameTaken(key, s.plan, owner)) {
        if (!s.heldForName)
            fprintf(stderr, "ycan bridge: %s plugged in, not bridged: %s\n", describe(s.id, s.plan).c_str(),
                    owner.c_str());
        s.held = true;
        s.heldForName = true;
        return;
    }
    s.held = false;
    s.heldForName = false;
    fprintf(stderr, "ycan bridge: %s plugged in: %s\n", describe(s.id, s.plan).c_str(), pairsText(s.plan).c_str());
    start(key, s);
}

void Supervisor::start(const std::string&, Served& s) {
    std::vector<std::string> args = {"ycan", "bridge", s.plan.adapter.name()};
    for (const auto& [ch, name] : s.plan.channels) args.push_back(std::to_string(ch) + "=" + name);
    args.insert(args.end(), s.plan.args.begin(), s.plan.args.end());
    args.push_back("--wait");
    args.push_back("--supervised");
    if (o.create) args.push_back("--create");
    // The type the entry asked for opens it (41, 42 and 43 are one adapter).
    args[2] = std::to_string(s.plan.adapter.type) + args[2].substr(args[2].find_first_of("@#"));
    // Everything the child needs is made before the fork: libusb's threads
    // may hold the allocator's lock at that moment.
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    static const char kExecFailed[] = "ycan bridge: cannot run the bridge\n";
    sigset_t none;
    sigemptyset(&none);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        perror("ycan bridge: fork");
        s.restartAt = Clock::now() + s.backoff;
        s.backoff = std::min<Clock::duration>(s.backoff * 2, kLongestRestart);
        return;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(1);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
        execv("/proc/self/exe", argv.data());
        if (write(STDERR_FILENO, kExecFailed, sizeof kExecFailed - 1) < 0) _exit(127);
        _exit(127);
    }
    s.pid = pid;
    s.startedAt = Clock::now();
    s.restartAt = Clock::time_point::max();
}

// Ends a bridge and waits for it (SIGKILL after the grace time).
void Supervisor::stopChild(Served& s) {
    if (s.pid <= 0) return;
    kill(s.pid, SIGTERM);
    const auto end = Clock::now() + kStopGrace;
    int status = 0;
    while (waitpid(s.pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= end) {
            kill(s.pid, SIGKILL);
            waitpid(s.pid, &status, 0);
            break;
        }
        poll(nullptr, 0, 20);
    }
    s.pid = 0;
}

void Supervisor::reap() {
    for (;;) {
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        for (auto& [key, s] : adapters) {
            if (s.pid != pid) continue;
            s.pid = 0;
            if (!running) break;
            const std::string name = describe(s.id, s.plan);
            if (WIFEXITED(status) && WEXITSTATUS(status) == 2) {
                fprintf(stderr,
                        "ycan bridge: the bridge of %s refused its settings (status 2); it waits for the "
                        "configuration to change (SIGHUP)\n",
                        name.c_str());
                s.held = true;
                break;
            }
            if (Clock::now() - s.startedAt >= kRanLongEnough) s.backoff = kFirstRestart;
            const std::string how = WIFSIGNALED(status) ? "was ended by signal " + std::to_string(WTERMSIG(status))
                                                        : "ended with status " + std::to_string(WEXITSTATUS(status));
            fprintf(stderr, "ycan bridge: the bridge of %s %s; starting it again in %lld s\n", name.c_str(),
                    how.c_str(),
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(s.backoff).count()));
            s.restartAt = Clock::now() + s.backoff;
            s.backoff = std::min<Clock::duration>(s.backoff * 2, kLongestRestart);
            break;
        }
    }
}

void Supervisor::restartDue() {
    const auto now = Clock::now();
    for (auto& [key, s] : adapters) {
        if (s.pid != 0 || s.held || s.restartAt > now) continue;
        s.restartAt = Clock::time_point::max();
        start(key, s);
    }
}

void Supervisor::reload() {
    BridgesConfig fresh;
    std::string why;
    if (!loadBridgesConfig(o.configPath, o.configGiven, fresh, why)) {
        fprintf(stderr, "ycan bridge: %s; the configuration in use stays\n", why.c_str());
        return;
    }
    config = std::move(fresh);
    int restarted = 0;
    std::vector<std::string> changed;
    for (const auto& [key, s] : adapters) {
        BridgePlan plan;
        std::string problem;
        const bool planned = planFor(config, s.id, plan, problem);
        if (planned && s.planned && !s.held && samePlan(plan, s.plan)) continue;
        if (s.pid != 0) ++restarted;
        changed.push_back(key);
    }
    stopAll(changed);
    for (const std::string& key : changed) adapters.erase(key);
    fprintf(stderr, "ycan bridge: read %s again; %d bridge%s stopped for the new settings\n", config.path.c_str(),
            restarted, restarted == 1 ? "" : "s");
    scan();
}

int Supervisor::timeoutMs() const {
    auto next = Clock::time_point::max();
    for (const auto& [key, s] : adapters)
        if (s.pid == 0 && !s.held) next = std::min(next, s.restartAt);
    int ms = notices ? -1 : kLookEveryMs;
    if (next != Clock::time_point::max()) {
        const auto left = std::chrono::ceil<milliseconds>(next - Clock::now()).count();
        const int until = static_cast<int>(std::clamp<long long>(left, 0, 3600000));
        ms = ms < 0 ? until : std::min(ms, until);
    }
    return ms;
}

int Supervisor::run() {
    if (!setUp()) return 1;
    fprintf(stderr, "ycan bridge: bridging every adapter plugged in (%s%s)\n", config.path.c_str(),
            config.entries.empty() && !o.configGiven ? ": none there, every adapter gets the default names" : "");
    scan();
    std::vector<pollfd> fds;
    while (running) {
        fds.assign({{sigFd, POLLIN, 0}});
        if (notices) addUsbPollFds(ctx, fds);
        const int n = poll(fds.data(), fds.size(), timeoutMs());
        if (n < 0 && errno != EINTR) {
            perror("ycan bridge: poll");
            exitStatus = 1;
            break;
        }
        bool hangUp = false;
        signalfd_siginfo si{};
        while (read(sigFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
            if (si.ssi_signo == SIGCHLD) continue;
            if (si.ssi_signo == SIGHUP)
                hangUp = true;
            else
                running = false;
        }
        reap();
        if (!running) break;
        if (notices) {
            timeval zero{0, 0};
            libusb_handle_events_timeout_completed(ctx, &zero, nullptr);
        }
        if (hangUp) reload();
        if (noticed || (!notices && n == 0)) {
            noticed = false;
            scan();
        }
        restartDue();
    }
    // Stop every bridge, each given the grace time at once.
    for (auto& [key, s] : adapters)
        if (s.pid > 0) kill(s.pid, SIGTERM);
    for (auto& [key, s] : adapters) stopChild(s);
    fprintf(stderr, "ycan bridge: stopped\n");
    return exitStatus;
}

}  // namespace

int bridgeAll(const SupervisorOptions& o) {
    BridgesConfig config;
    std::string why;
    if (!loadBridgesConfig(o.configPath, o.configGiven, config, why)) {
        fprintf(stderr, "ycan bridge: %s\n", why.c_str());
        return 2;
    }
    if (o.checkOnly) {
        fprintf(out(), "%s: %zu adapter entr%s, good\n", config.path.c_str(), config.entries.size(),
                config.entries.size() == 1 ? "y" : "ies");
        return 0;
    }
    Supervisor supervisor(o, std::move(config));
    return supervisor.run();
}

}  // namespace ycantool
