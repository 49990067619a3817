#include "support/device_holders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace ycan {

namespace {

namespace fs = std::filesystem;

bool allDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(),
                                     [](char c) { return isdigit(static_cast<unsigned char>(c)) != 0; });
}

// Whether a process's descriptor table (/proc/PID/fd) has the node open.
bool holds(const fs::path& fdDir, const struct stat& node) {
    std::error_code ec;
    for (fs::directory_iterator it(fdDir, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat st {};
        if (stat(it->path().c_str(), &st) != 0) continue;
        if (st.st_dev == node.st_dev && st.st_ino == node.st_ino) return true;
    }
    return false;
}

std::string commandOf(const fs::path& pidDir) {
    std::ifstream in(pidDir / "comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

std::vector<DeviceHolder> deviceHolders(const std::string& path) {
    std::vector<DeviceHolder> out;
    struct stat node {};
    if (stat(path.c_str(), &node) != 0) return out;
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!allDigits(name) || !holds(it->path() / "fd", node)) continue;
        out.push_back({static_cast<pid_t>(std::stol(name)), commandOf(it->path())});
    }
    std::sort(out.begin(), out.end(),
              [](const DeviceHolder& a, const DeviceHolder& b) { return a.pid < b.pid; });
    return out;
}

std::string usbNodePath(unsigned bus, unsigned address) {
    char path[32];
    snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", bus % 1000, address % 1000);
    return path;
}

namespace {

// The parent of a process; 0 when it cannot be read.
pid_t parentOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    // "PID (COMMAND) STATE PPID ...": the command may hold spaces and parentheses.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    // " STATE PPID ..."
    const char* fields = stat.c_str() + close + 1;
    while (*fields == ' ') ++fields;
    if (*fields == '\0') return 0;
    char* end = nullptr;
    const long parent = strtol(fields + 1, &end, 10);
    return end != fields + 1 ? static_cast<pid_t>(parent) : 0;
}

}  // namespace

std::string inUseText(const std::string& what, const std::string& path) {
    const std::vector<DeviceHolder> holders = deviceHolders(path);
    const pid_t me = getpid();
    std::vector<pid_t> ancestors;  // nearest first
    for (pid_t p = parentOf(me); p > 1 && ancestors.size() < 64; p = parentOf(p)) ancestors.push_back(p);
    const DeviceHolder* named = nullptr;
    bool self = false;
    size_t nearest = ancestors.size();
    for (const DeviceHolder& h : holders) {
        if (h.pid == me) {
            self = true;
            continue;
        }
        const size_t depth =
            static_cast<size_t>(std::find(ancestors.begin(), ancestors.end(), h.pid) - ancestors.begin());
        if (depth == ancestors.size())
            return what + " is in use by another program (pid " + std::to_string(h.pid) + ", " + h.command +
                   ")";
        if (depth < nearest) {
            nearest = depth;
            named = &h;
        }
    }
    if (self) return what + " is already open in this program";
    if (named != nullptr)
        return what + " is in use by another program (pid " + std::to_string(named->pid) + ", " +
               named->command + ")";
    return what + " is in use by another program";
}

}  // namespace ycan
