#include "support/device_holders.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>

namespace ycan {

namespace {

bool allDigits(const char* s) {
    if (*s == '\0') return false;
    for (; *s != '\0'; ++s)
        if (!isdigit(static_cast<unsigned char>(*s))) return false;
    return true;
}

bool holds(const std::string& fdDir, const struct stat& node) {
    DIR* dir = opendir(fdDir.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (dirent* e = readdir(dir)) {
        if (!allDigits(e->d_name)) continue;
        struct stat st {};
        if (stat((fdDir + "/" + e->d_name).c_str(), &st) != 0) continue;
        if (st.st_dev == node.st_dev && st.st_ino == node.st_ino) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

std::string commandOf(const std::string& pidDir) {
    std::ifstream in(pidDir + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

std::vector<DeviceHolder> deviceHolders(const std::string& path) {
    std::vector<DeviceHolder> out;
    struct stat node {};
    if (stat(path.c_str(), &node) != 0) return out;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return out;
    while (dirent* e = readdir(proc)) {
        if (!allDigits(e->d_name)) continue;
        const std::string pidDir = std::string("/proc/") + e->d_name;
        if (!holds(pidDir + "/fd", node)) continue;
        out.push_back({static_cast<pid_t>(std::stol(e->d_name)), commandOf(pidDir)});
    }
    closedir(proc);
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
    char state = 0;
    int parent = 0;
    if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2) return 0;
    return parent;
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
        const size_t depth = static_cast<size_t>(std::find(ancestors.begin(), ancestors.end(), h.pid) - ancestors.begin());
        if (depth == ancestors.size()) return what + " is in use by another program (pid " + std::to_string(h.pid) + ", " + h.command + ")";
        if (depth < nearest) {
            nearest = depth;
            named = &h;
        }
    }
    if (self) return what + " is already open in this program";
    if (named != nullptr)
        return what + " is in use by another program (pid " + std::to_string(named->pid) + ", " + named->command + ")";
    return what + " is in use by another program";
}

}  // namespace ycan
