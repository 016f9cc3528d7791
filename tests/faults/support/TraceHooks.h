// A debug-output sink that keeps every text (in a MemorySink) and runs
// actions on the writing thread when a text matches. The utility traces each
// step just before it takes it, so an action hooked to a trace line acts
// between that line and the step: a fault armed there hits exactly the
// write that follows.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/DebugOutput.h"

namespace faulttest {

class TraceHooks : public debugout::Sink {
 public:
  explicit TraceHooks(std::shared_ptr<debugout::MemorySink> memory) : memory_(std::move(memory)) {}

  // Runs `action` once, right after the `occurrence`-th text (1-based) that
  // contains `needle` has been kept.
  void At(std::u16string needle, int occurrence, std::function<void()> action);
  // Whether every hooked action has run.
  bool AllFired() const;

  void Write(std::u16string_view text) override;

 private:
  struct Hook {
    std::u16string needle;
    int remaining;
    std::function<void()> action;
    bool fired = false;
  };
  std::shared_ptr<debugout::MemorySink> memory_;
  mutable std::mutex lock_;
  std::vector<Hook> hooks_;
};

}  // namespace faulttest
