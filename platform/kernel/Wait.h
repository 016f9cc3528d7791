// Blocking waits on platform objects. Every wait in the platform is built on
// these: a thread registers on the object's WaitQueue, drops the object's
// lock and blocks until woken, the deadline, or (for host devices) a file
// descriptor becoming ready. No wait sleeps and retries.
#pragma once

#include <mutex>

#include "kernel/Clock.h"
#include "kernel/Thread.h"

namespace kernel {

// Blocks once: registers on `queue`, unlocks `lock`, waits, relocks and
// deregisters. Returns the revents of `fd` (0 if none). The caller re-checks
// its condition afterwards; wake-ups may be spurious. `polled` (if given)
// tells whether the wait looked at `fd` at all (a suspended or terminated
// thread does not).
short WaitOnce(std::unique_lock<std::mutex>& lock, WaitQueue& queue, TimePoint deadline, int fd = -1,
               short events = 0, bool* polled = nullptr);

// Waits until `ready()` (evaluated with `lock` held) or the deadline.
// Returns ready().
template <class Ready>
bool WaitUntil(std::unique_lock<std::mutex>& lock, WaitQueue& queue, TimePoint deadline, Ready ready) {
  while (!ready()) {
    if (Clock::now() >= deadline) return false;
    WaitOnce(lock, queue, deadline);
  }
  return true;
}

// Waits for the deadline only: Sleep, and nothing else can end it early
// except suspension (which extends it) and termination.
void SleepUntil(TimePoint deadline);

}  // namespace kernel
