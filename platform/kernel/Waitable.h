// Kernel objects that WaitForSingleObject can wait on.
#pragma once

#include "kernel/Clock.h"
#include "kernel/Handles.h"

namespace kernel {

class WaitableObject : public KernelObject {
 public:
  // Blocks until the object is signaled (true) or the deadline (false).
  virtual bool WaitSignaled(TimePoint deadline) = 0;
};

}  // namespace kernel
