#include "kernel/Thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <thread>

#include "kernel/Wait.h"
#include "kernel/Waitable.h"

namespace kernel {
namespace {

std::atomic<uint32_t> nextThreadId{0x100};

thread_local std::shared_ptr<ThreadControl> tlsSelf;

// ppoll time-out for a platform deadline; null means no limit.
const timespec* RealTimeout(TimePoint deadline, timespec& storage) {
  if (deadline == kNever) return nullptr;
  auto real = ToRealTime(deadline);
  if (real == std::chrono::steady_clock::time_point::max()) return nullptr;
  auto left = real - std::chrono::steady_clock::now();
  if (left < std::chrono::steady_clock::duration::zero()) left = std::chrono::steady_clock::duration::zero();
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  storage.tv_sec = static_cast<time_t>(ns / 1000000000);
  storage.tv_nsec = static_cast<long>(ns % 1000000000);
  return &storage;
}

}  // namespace

// ---------------------------------------------------------------- WaitQueue

void WaitQueue::Add(ThreadControl* waiter) { waiters_.push_back(waiter); }

void WaitQueue::Remove(ThreadControl* waiter) {
  auto it = std::find(waiters_.begin(), waiters_.end(), waiter);
  if (it != waiters_.end()) waiters_.erase(it);
}

void WaitQueue::WakeAll() {
  for (ThreadControl* waiter : waiters_) waiter->Wake();
}

// ------------------------------------------------------------ ThreadControl

ThreadControl::ThreadControl(bool platformThread) : id_(nextThreadId++), platformThread_(platformThread) {}

ThreadControl::~ThreadControl() {
  if (wakeFd_ >= 0) close(wakeFd_);
}

ThreadControl& ThreadControl::Self() {
  if (!tlsSelf) tlsSelf = std::make_shared<ThreadControl>(false);
  return *tlsSelf;
}

std::shared_ptr<ThreadControl> ThreadControl::SelfShared() {
  Self();
  return tlsSelf;
}

void ThreadControl::Adopt(std::shared_ptr<ThreadControl> control) { tlsSelf = std::move(control); }

void ThreadControl::EnsureWakeFd() {
  if (wakeFd_ < 0) wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void ThreadControl::UnwindLocked() {
  unwinding_ = true;
  cv_.notify_all();
  throw ThreadTermination{terminateCode_};
}

void ThreadControl::ParkLocked(std::unique_lock<std::mutex>& lock) {
  blocked_ = true;
  cv_.notify_all();
  while (suspendCount_ > 0 && !terminateRequested_) cv_.wait(lock);
  blocked_ = false;
}

uint32_t ThreadControl::Suspend() {
  std::unique_lock<std::mutex> lock(m_);
  if (ended_) return 0xFFFFFFFFu;
  uint32_t previous = static_cast<uint32_t>(suspendCount_++);
  if (tlsSelf.get() == this) {
    ParkLocked(lock);
    if (terminateRequested_) UnwindLocked();
    return previous;
  }
  // Wait until the target is between calls, blocked or parked: from then on
  // it cannot get through another platform call without parking first.
  while (callDepth_ > 0 && !blocked_ && !unwinding_ && !ended_) cv_.wait(lock);
  return previous;
}

uint32_t ThreadControl::Resume() {
  std::lock_guard<std::mutex> lock(m_);
  if (ended_) return 0xFFFFFFFFu;
  uint32_t previous = static_cast<uint32_t>(suspendCount_);
  if (suspendCount_ > 0 && --suspendCount_ == 0) cv_.notify_all();
  return previous;
}

bool ThreadControl::Terminate(uint32_t exitCode) {
  if (tlsSelf.get() == this) {
    {
      std::lock_guard<std::mutex> lock(m_);
      if (ended_) return false;
      terminateRequested_ = true;
      terminateCode_ = exitCode;
      unwinding_ = true;
    }
    throw ThreadTermination{exitCode};
  }
  std::unique_lock<std::mutex> lock(m_);
  if (ended_) return false;
  terminateRequested_ = true;
  terminateCode_ = exitCode;
  cv_.notify_all();
  if (wakeFd_ >= 0) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
  }
  // A call in progress finishes its current step first, as it would under a
  // real kernel that only stops a thread between instructions.
  // A thread already unwinding runs none of its own code any more, and its
  // clean-up may itself wait for others (a sent message's handler, say):
  // waiting for it here could close a circle.
  while (callDepth_ > 0 && !blocked_ && !unwinding_ && !ended_) cv_.wait(lock);
  // From here on the thread runs none of its own code that could reach the
  // platform: it reports the exit code it was given.
  if (!ended_) {
    ended_ = true;
    exitCode_ = exitCode;
    finishWaiters_.WakeAll();
  }
  return true;
}

uint32_t ThreadControl::ExitCode() const {
  std::lock_guard<std::mutex> lock(m_);
  return exitCode_;
}

bool ThreadControl::HasEnded() const {
  std::lock_guard<std::mutex> lock(m_);
  return ended_;
}

bool ThreadControl::WaitFinished(TimePoint deadline) {
  std::unique_lock<std::mutex> lock(m_);
  return WaitUntil(lock, finishWaiters_, deadline, [this] { return finished_; });
}

bool ThreadControl::FinishedOrWatch(ThreadControl& waiter) {
  std::lock_guard<std::mutex> lock(m_);
  if (finished_) return true;
  finishWaiters_.Add(&waiter);
  return false;
}

void ThreadControl::UnwatchFinish(ThreadControl& waiter) {
  std::lock_guard<std::mutex> lock(m_);
  finishWaiters_.Remove(&waiter);
}

int ThreadControl::Priority() const {
  std::lock_guard<std::mutex> lock(m_);
  return priority_;
}

void ThreadControl::SetPriority(int priority) {
  std::lock_guard<std::mutex> lock(m_);
  priority_ = priority;
}

void ThreadControl::EnterCall() {
  std::unique_lock<std::mutex> lock(m_);
  if (callDepth_ == 0) {
    if (suspendCount_ > 0 && !terminateRequested_) ParkLocked(lock);
    if (terminateRequested_ && platformThread_) UnwindLocked();
  }
  ++callDepth_;
}

void ThreadControl::LeaveCall() {
  std::lock_guard<std::mutex> lock(m_);
  if (--callDepth_ == 0) cv_.notify_all();
}

void ThreadControl::CheckPoint() {
  std::unique_lock<std::mutex> lock(m_);
  if (suspendCount_ > 0 && !terminateRequested_) ParkLocked(lock);
  if (terminateRequested_ && platformThread_) UnwindLocked();
}

short ThreadControl::Block(TimePoint deadline, int fd, short events, bool* polled) {
  int wakeFd;
  bool skipWait;
  {
    std::lock_guard<std::mutex> lock(m_);
    EnsureWakeFd();
    wakeFd = wakeFd_;
    blocked_ = true;
    cv_.notify_all();
    skipWait = terminateRequested_ || suspendCount_ > 0;
  }
  pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
  bool looked = false;
  if (!skipWait) {
    timespec storage{};
    const timespec* timeout = RealTimeout(deadline, storage);
    looked = ppoll(fds, fd >= 0 ? 2 : 1, timeout, nullptr) >= 0;
    if (!looked) fds[1].revents = 0;
  }
  if (polled != nullptr) *polled = looked;
  // The wake-up counter needs draining only when it may have been written.
  if (!looked || (fds[0].revents & POLLIN)) {
    uint64_t drained;
    while (read(wakeFd, &drained, sizeof drained) > 0) {
    }
  }
  std::unique_lock<std::mutex> lock(m_);
  while (suspendCount_ > 0 && !terminateRequested_) cv_.wait(lock);
  blocked_ = false;
  if (terminateRequested_ && platformThread_) UnwindLocked();
  return fd >= 0 ? fds[1].revents : 0;
}

void ThreadControl::Wake() {
  std::lock_guard<std::mutex> lock(m_);
  if (finished_) return;
  // A waiter registers on a queue before its first Block creates the fd: a
  // wake in between must still be seen.
  EnsureWakeFd();
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void ThreadControl::MarkEnded(uint32_t exitCode) {
  std::lock_guard<std::mutex> lock(m_);
  if (ended_) return;
  ended_ = true;
  exitCode_ = exitCode;
  cv_.notify_all();
}

void ThreadControl::MarkFinished() {
  std::lock_guard<std::mutex> lock(m_);
  ended_ = true;
  finished_ = true;
  if (wakeFd_ >= 0) {
    close(wakeFd_);
    wakeFd_ = -1;
  }
  cv_.notify_all();
  finishWaiters_.WakeAll();
}

// -------------------------------------------------------------- thread start

std::shared_ptr<ThreadControl> StartThread(std::function<uint32_t()> body, bool suspended) {
  auto control = std::make_shared<ThreadControl>(true);
  if (suspended) control->Suspend();  // not yet running: returns at once
  std::thread([control, body = std::move(body)] {
    ThreadControl::Adopt(control);
    uint32_t exitCode = 0;
    try {
      control->CheckPoint();
      exitCode = body();
    } catch (const ThreadTermination& termination) {
      exitCode = termination.exitCode;
    }
    control->MarkEnded(exitCode);
    control->MarkFinished();
    ThreadControl::Adopt(nullptr);
  }).detach();
  return control;
}

std::shared_ptr<ThreadControl> StartThread(uint32_t (*entry)(void*), void* param, bool suspended) {
  return StartThread([entry, param] { return entry(param); }, suspended);
}

// -------------------------------------------------------------------- waits

short WaitOnce(std::unique_lock<std::mutex>& lock, WaitQueue& queue, TimePoint deadline, int fd, short events,
               bool* polled) {
  ThreadControl& self = ThreadControl::Self();
  queue.Add(&self);
  lock.unlock();
  short revents = 0;
  try {
    revents = self.Block(deadline, fd, events, polled);
  } catch (...) {
    lock.lock();
    queue.Remove(&self);
    throw;
  }
  lock.lock();
  queue.Remove(&self);
  return revents;
}

size_t WaitForAny(std::span<const std::shared_ptr<WaitableObject>> objects, WaitCondition* extra, TimePoint deadline) {
  ThreadControl& self = ThreadControl::Self();
  size_t watched = 0;  // objects registered with, from the first
  bool extraWatched = false;
  auto unwatch = [&] {
    for (size_t i = 0; i < watched; ++i) objects[i]->Unwatch(self);
    watched = 0;
    if (extraWatched) extra->Unwatch(self);
    extraWatched = false;
  };
  try {
    for (;;) {
      // Registered before each look, so a change after the look wakes the
      // Block below.
      for (size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->TakeOrWatch(self)) {
          unwatch();
          return i;
        }
        watched = i + 1;
      }
      TimePoint until = deadline;
      if (extra != nullptr) {
        if (extra->ReadyOrWatch(self, until)) {
          unwatch();
          return objects.size();
        }
        extraWatched = true;
      }
      if (Clock::now() >= deadline) {
        unwatch();
        return kWaitTimedOut;
      }
      self.Block(std::min(until, deadline));
      unwatch();
    }
  } catch (...) {
    unwatch();
    throw;
  }
}

void SleepUntil(TimePoint deadline) {
  ThreadControl& self = ThreadControl::Self();
  while (Clock::now() < deadline) self.Block(deadline);
}

}  // namespace kernel
