// What the test process holds and burns, read from /proc/self: open
// descriptors, threads, resident memory, and the CPU time of each thread.
// For hygiene checks (nothing grows over many runs) and for showing that
// no thread spins while the utility waits.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace faulttest {

// Entries of /proc/self/fd and /proc/self/task.
size_t OpenDescriptors();
size_t Threads();
// VmRSS and VmHWM (peak) of /proc/<pid>/status, in KiB; 0 if unreadable.
size_t ResidentKiB(pid_t pid = 0);
size_t PeakResidentKiB(pid_t pid = 0);

// Handles, descriptors, threads and memory at one moment.
struct Footprint {
  size_t handles = 0;  // kernel::OpenHandleCount()
  size_t descriptors = 0;
  size_t threads = 0;
  size_t rssKiB = 0;
};
Footprint TakeFootprint();
std::string Describe(const Footprint& f);

// CPU time (user + system) of every thread of the process at one moment,
// by thread id, with the thread's name.
struct ThreadCpu {
  std::string name;
  std::chrono::nanoseconds cpu{};
  // Time spent ready to run but waiting for a core (schedstat; 0 if the
  // kernel does not tell). A spinning thread is on a core or waiting for
  // one all the time, however loaded the machine is.
  std::chrono::nanoseconds queued{};
};
std::map<pid_t, ThreadCpu> SampleThreadCpu();

// CPU time the threads used between two samples, set against the wall time
// between them. Threads that began or ended in between count from zero.
struct CpuShare {
  pid_t busiestThread = 0;
  std::string busiestName;
  double busiestRatio = 0;  // that thread's CPU time / wall time
  pid_t mostRunnableThread = 0;
  std::string mostRunnableName;
  double runnableRatio = 0;  // the largest (CPU time + time queued for a core) / wall time
  double processRatio = 0;   // all threads' CPU time / wall time (may exceed 1 on several cores)
  std::string Describe() const;
};
CpuShare MeasureCpuShare(std::chrono::milliseconds wall);

}  // namespace faulttest
