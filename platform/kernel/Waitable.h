// Kernel objects that WaitForSingleObject can wait on, and the wait on
// several of them (with something else besides, such as a thread's message
// queue) that MsgWaitForMultipleObjects is built on.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "kernel/Clock.h"
#include "kernel/Handles.h"
#include "kernel/Thread.h"

namespace kernel {

class WaitableObject : public KernelObject {
 public:
  // Blocks until the object is signaled (true) or the deadline (false).
  virtual bool WaitSignaled(TimePoint deadline) = 0;
  // For a wait on several objects: when the object is signaled, takes the
  // signal as a satisfied wait would (an auto-reset event resets) and
  // returns true; otherwise registers `waiter` to be woken when it may have
  // become signaled and returns false. Unwatch undoes the registration.
  virtual bool TakeOrWatch(ThreadControl& waiter) = 0;
  virtual void Unwatch(ThreadControl& waiter) = 0;
};

// Something besides kernel objects that can end a wait on several: the
// same contract as TakeOrWatch. `recheck` may be brought forward to when it
// must be looked at again without a wake-up (a timer falling due).
class WaitCondition {
 public:
  virtual bool ReadyOrWatch(ThreadControl& waiter, TimePoint& recheck) = 0;
  virtual void Unwatch(ThreadControl& waiter) = 0;

 protected:
  ~WaitCondition() = default;
};

inline constexpr size_t kWaitTimedOut = static_cast<size_t>(-1);

// Waits until one of `objects` is signaled (returns its index; the first
// in order wins, and only its signal is taken), `extra` (may be null) is
// ready (returns objects.size()), or the deadline (kWaitTimedOut).
// Suspension and termination take effect inside, as in every wait.
size_t WaitForAny(std::span<const std::shared_ptr<WaitableObject>> objects, WaitCondition* extra, TimePoint deadline);

}  // namespace kernel
