// CPU time of single threads of this process, found by name, through the
// kernel's per-thread CPU clocks.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace ycanbench {

// Thread ids of this process's threads called `name`.
std::vector<pid_t> threadsNamed(const std::string& name);
// CPU seconds a thread of this process has used so far (0 once it is gone).
double threadCpuSeconds(pid_t tid);
// The same, summed over the threads.
double threadsCpuSeconds(const std::vector<pid_t>& tids);
// CPU seconds of the calling thread, and of the whole process.
double ownCpuSeconds();
double processCpuSeconds();

}  // namespace ycanbench
