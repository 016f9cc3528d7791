#include "support/ProcessProbe.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "kernel/Handles.h"

namespace faulttest {
namespace {

size_t CountEntries(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return 0;
  size_t count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  // The directory stream itself held a descriptor while it was counted.
  return count;
}

size_t StatusKiB(pid_t pid, const std::string& field) {
  std::string path = pid == 0 ? "/proc/self/status" : "/proc/" + std::to_string(pid) + "/status";
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return 0;
}

// The CPU-time clock of any thread of this process (the kernel's encoding
// of a per-thread clock: the inverted thread id, the scheduler clock).
clockid_t ThreadClock(pid_t tid) { return static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6); }

std::string ThreadName(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

}  // namespace

size_t OpenDescriptors() {
  // Less the one opendir holds while counting.
  size_t count = CountEntries("/proc/self/fd");
  return count > 0 ? count - 1 : 0;
}

size_t Threads() { return CountEntries("/proc/self/task"); }

size_t ResidentKiB(pid_t pid) { return StatusKiB(pid, "VmRSS"); }
size_t PeakResidentKiB(pid_t pid) { return StatusKiB(pid, "VmHWM"); }

Footprint TakeFootprint() {
  Footprint f;
  f.handles = kernel::OpenHandleCount();
  f.descriptors = OpenDescriptors();
  f.threads = Threads();
  f.rssKiB = ResidentKiB();
  return f;
}

std::string Describe(const Footprint& f) {
  std::ostringstream out;
  out << f.handles << " handles, " << f.descriptors << " descriptors, " << f.threads << " threads, " << f.rssKiB
      << " KiB resident";
  return out.str();
}

std::map<pid_t, ThreadCpu> SampleThreadCpu() {
  std::map<pid_t, ThreadCpu> sample;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return sample;
  std::vector<pid_t> tids;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') tids.push_back(static_cast<pid_t>(std::atoi(entry->d_name)));
  }
  closedir(dir);
  for (pid_t tid : tids) {
    timespec ts{};
    if (clock_gettime(ThreadClock(tid), &ts) != 0) continue;  // ended meanwhile
    ThreadCpu cpu{ThreadName(tid), std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec), {}};
    std::ifstream schedstat("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    unsigned long long onCpu = 0, queued = 0;
    if (schedstat >> onCpu >> queued) cpu.queued = std::chrono::nanoseconds(queued);
    sample[tid] = cpu;
  }
  return sample;
}

CpuShare MeasureCpuShare(std::chrono::milliseconds wall) {
  auto before = SampleThreadCpu();
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(wall);
  auto after = SampleThreadCpu();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  CpuShare share;
  double total = 0;
  for (const auto& [tid, now] : after) {
    auto then = before.find(tid);
    bool known = then != before.end();
    auto used = now.cpu - (known ? then->second.cpu : std::chrono::nanoseconds(0));
    auto queued = now.queued - (known ? then->second.queued : std::chrono::nanoseconds(0));
    double ratio = std::chrono::duration<double>(used).count() / elapsed;
    double runnable = ratio + std::chrono::duration<double>(queued).count() / elapsed;
    total += ratio;
    if (ratio >= share.busiestRatio) {
      share.busiestRatio = ratio;
      share.busiestThread = tid;
      share.busiestName = now.name;
    }
    if (runnable >= share.runnableRatio) {
      share.runnableRatio = runnable;
      share.mostRunnableThread = tid;
      share.mostRunnableName = now.name;
    }
  }
  share.processRatio = total;
  return share;
}

std::string CpuShare::Describe() const {
  char text[256];
  std::snprintf(text, sizeof text,
                "busiest thread %d (%s) %.2f%% of wall time, process %.2f%%; most runnable thread %d (%s) %.2f%%",
                busiestThread, busiestName.c_str(), busiestRatio * 100, processRatio * 100, mostRunnableThread,
                mostRunnableName.c_str(), runnableRatio * 100);
  return text;
}

}  // namespace faulttest
