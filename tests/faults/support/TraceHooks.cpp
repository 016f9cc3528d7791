#include "support/TraceHooks.h"

namespace faulttest {

void TraceHooks::At(std::u16string needle, int occurrence, std::function<void()> action) {
  std::lock_guard<std::mutex> guard(lock_);
  hooks_.push_back(Hook{std::move(needle), occurrence, std::move(action)});
}

bool TraceHooks::AllFired() const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const Hook& hook : hooks_) {
    if (!hook.fired) return false;
  }
  return true;
}

void TraceHooks::Write(std::u16string_view text) {
  memory_->Write(text);
  std::vector<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (Hook& hook : hooks_) {
      if (hook.fired || text.find(hook.needle) == std::u16string_view::npos) continue;
      if (--hook.remaining == 0) {
        hook.fired = true;
        due.push_back(hook.action);
      }
    }
  }
  // Outside the lock: an action may take the line away, which wakes others.
  for (auto& action : due) action();
}

}  // namespace faulttest
