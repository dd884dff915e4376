// Helpers of the stream benchmarks: child processes (optionally pinned to a
// CPU), bounded reads of their output, CPU time of processes and threads.
#pragma once

#include <sched.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qtubench {

using Clock = std::chrono::steady_clock;

struct Child {
    pid_t pid = -1;
    int out = -1;  // read end of its standard output
};

// Starts `args` with its standard output on a pipe; on CPU `cpu` only when
// cpu >= 0 (as taskset -c would). Throws std::runtime_error on failure.
Child spawn(const std::vector<std::string>& args, int cpu = -1);

// Reads what is available within `limit`; stops early once `until` appears.
std::string readFrom(int fd, std::chrono::milliseconds limit, const char* until = nullptr);

// Waits (bounded) for a child; ends it with SIGTERM, then SIGKILL, if it lingers.
std::optional<rusage> reap(pid_t pid, std::chrono::milliseconds limit);

// A TCP/UDP port on 127.0.0.1 that was free a moment ago.
uint16_t freePort();

// Pins the calling thread to one CPU; false when that is refused. A
// negative CPU leaves the thread where it is (and returns true).
bool pinThread(int cpu);
// Pins the threads of this process with these ids to one CPU, as pinThread.
bool pinThreads(const std::set<pid_t>& ids, int cpu);

double cpuOf(const rusage& usage);
std::set<pid_t> threadIds();
double threadCpu(pid_t tid);  // user + system seconds (clock-tick resolution)
double cpuOfThreads(const std::set<pid_t>& ids);

// Median and 99th percentile of samples (sorted in place).
struct Percentiles {
    double median = 0;
    double p99 = 0;
};
Percentiles percentiles(std::vector<double>& samples);

}  // namespace qtubench
