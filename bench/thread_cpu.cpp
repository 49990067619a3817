#include "thread_cpu.h"

#include <dirent.h>
#include <time.h>

#include <fstream>

namespace ycanbench {

namespace {

double seconds(clockid_t clock) {
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

std::vector<pid_t> threadsNamed(const std::string& name) {
    std::vector<pid_t> out;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return out;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string line;
        if (std::getline(comm, line) && line == name) out.push_back(static_cast<pid_t>(std::stol(e->d_name)));
    }
    closedir(dir);
    return out;
}

double threadCpuSeconds(pid_t tid) {
    // The kernel's clock id for another thread's scheduler CPU time:
    // (~tid << 3) | per-thread | sched (see clock_getcpuclockid(3)).
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 4 | 2);
    return seconds(clock);
}

double threadsCpuSeconds(const std::vector<pid_t>& tids) {
    double sum = 0;
    for (pid_t t : tids) sum += threadCpuSeconds(t);
    return sum;
}

double ownCpuSeconds() { return seconds(CLOCK_THREAD_CPUTIME_ID); }
double processCpuSeconds() { return seconds(CLOCK_PROCESS_CPUTIME_ID); }

}  // namespace ycanbench
