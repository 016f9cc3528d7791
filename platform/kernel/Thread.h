// Threads as the platform sees them, and the rules that make SuspendThread
// and TerminateThread safe on POSIX threads.
//
// A thread is only ever stopped at a platform-call boundary or inside a
// blocking platform wait:
//  - every API entry point opens a PlatformCall; while a thread is inside a
//    call that is not blocked, SuspendThread waits for it to leave or block;
//  - a suspended thread parks at its next PlatformCall, or as it wakes from
//    a blocking wait, before it can do anything further;
//  - a terminated thread unwinds (ThreadTermination) from those same places.
// So once SuspendThread returns, the target can issue no further platform
// call until it is resumed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "kernel/Clock.h"

namespace kernel {

class ThreadControl;

// Threads blocked on some object, to be woken when it changes. Guarded by
// the owning object's mutex. See Wait.h for the waits built on it.
class WaitQueue {
 public:
  void Add(ThreadControl* waiter);
  void Remove(ThreadControl* waiter);
  void WakeAll();
  bool Empty() const { return waiters_.empty(); }

 private:
  std::vector<ThreadControl*> waiters_;
};

// Unwinds a terminated thread back to its entry; caught only there.
struct ThreadTermination {
  uint32_t exitCode;
};

class ThreadControl {
 public:
  static constexpr uint32_t kStillActive = 259;

  explicit ThreadControl(bool platformThread);
  ~ThreadControl();
  ThreadControl(const ThreadControl&) = delete;
  ThreadControl& operator=(const ThreadControl&) = delete;

  // The calling thread's control block; threads the platform did not create
  // (the process's main thread, test threads, hardware threads) get one on
  // first use.
  static ThreadControl& Self();
  static std::shared_ptr<ThreadControl> SelfShared();
  // Installs `control` as the calling thread's control block (thread entry).
  static void Adopt(std::shared_ptr<ThreadControl> control);

  uint32_t Id() const { return id_; }

  // --- requests from any thread ---
  // Returns the previous suspend count, or 0xFFFFFFFF if the thread has ended.
  uint32_t Suspend();
  // Returns the previous suspend count (0 if it was not suspended).
  uint32_t Resume();
  // Ends the thread with `exitCode` at its next boundary or wait. Returns
  // false if the thread had already ended.
  bool Terminate(uint32_t exitCode);
  // kStillActive while running; afterwards the code it returned or was given.
  uint32_t ExitCode() const;
  bool HasEnded() const;
  // Blocks the caller until the thread has really finished (stack unwound).
  bool WaitFinished(TimePoint deadline);
  // For a wait on several objects: true once finished, else `waiter` is
  // woken when the thread finishes (until UnwatchFinish).
  bool FinishedOrWatch(ThreadControl& waiter);
  void UnwatchFinish(ThreadControl& waiter);
  int Priority() const;
  void SetPriority(int priority);

  // --- used by the thread itself ---
  void EnterCall();
  void LeaveCall();
  // Parks while suspended; throws ThreadTermination when terminated.
  void CheckPoint();

  // Blocking wait for a wake-up (Wake), the deadline, or readiness of `fd`
  // for `events` (fd -1: none). Must be called with no platform lock held.
  // Returns the fd's revents (0 if it did not become ready); `polled` (if
  // given) tells whether the fd was looked at. Suspension and termination
  // take effect inside, after the wait.
  short Block(TimePoint deadline, int fd = -1, short events = 0, bool* polled = nullptr);
  // Makes the thread's current or next Block return. Any thread.
  void Wake();

  // Thread end bookkeeping, called by the thread's entry.
  void MarkEnded(uint32_t exitCode);
  void MarkFinished();

 private:
  void ParkLocked(std::unique_lock<std::mutex>& lock);
  // Marks the thread as unwinding from its termination and throws.
  [[noreturn]] void UnwindLocked();
  void EnsureWakeFd();

  const uint32_t id_;
  const bool platformThread_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  int suspendCount_ = 0;
  bool terminateRequested_ = false;
  uint32_t terminateCode_ = 0;
  int callDepth_ = 0;
  bool blocked_ = false;    // inside Block or parked: cannot act until it passes a check
  bool unwinding_ = false;  // has seen its termination and is unwinding to its entry
  bool ended_ = false;
  bool finished_ = false;
  uint32_t exitCode_ = kStillActive;
  int priority_ = 3;
  int wakeFd_ = -1;
  WaitQueue finishWaiters_;  // guarded by m_
};

// Opens a platform call for its scope. Every API entry point declares one.
class PlatformCall {
 public:
  PlatformCall() : self_(ThreadControl::Self()) { self_.EnterCall(); }
  ~PlatformCall() { self_.LeaveCall(); }
  PlatformCall(const PlatformCall&) = delete;
  PlatformCall& operator=(const PlatformCall&) = delete;

 private:
  ThreadControl& self_;
};

// Starts a platform thread running `body`; its result is the exit code.
// The returned control block is also the thread's own. `suspended`: it
// parks before running `body` (which is destroyed unrun if the thread is
// terminated first).
std::shared_ptr<ThreadControl> StartThread(std::function<uint32_t()> body, bool suspended);
std::shared_ptr<ThreadControl> StartThread(uint32_t (*entry)(void*), void* param, bool suspended);

// A fault switch for tests: of the next CreateThread / CreateEventW calls
// (counted together), the first `skip` succeed and the `count` after them
// fail with ERROR_NOT_ENOUGH_MEMORY, as on a handset out of memory or
// handles. FailCreations(0, 0) turns it off.
void FailCreations(unsigned skip, unsigned count);

}  // namespace kernel
