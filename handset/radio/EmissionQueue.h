// The module's output waiting for its time: each emission is due its delay
// after the input that caused it, and never before one queued earlier, so
// answers keep their order whatever their delays.
#pragma once

#include <algorithm>
#include <deque>
#include <vector>

#include "radio/Module.h"

namespace radio {

class EmissionQueue {
 public:
  void Add(std::vector<Emission> emissions, kernel::TimePoint now) {
    for (Emission& e : emissions) {
      kernel::TimePoint due = std::max(now + e.delay, last_);
      last_ = due;
      items_.push_back({due, std::move(e)});
    }
  }
  // kNever when empty.
  kernel::TimePoint NextDue() const { return items_.empty() ? kernel::kNever : items_.front().due; }
  // The emissions due by `now`, in order.
  std::vector<Emission> TakeDue(kernel::TimePoint now) {
    std::vector<Emission> due;
    while (!items_.empty() && items_.front().due <= now) {
      due.push_back(std::move(items_.front().emission));
      items_.pop_front();
    }
    return due;
  }
  void Clear() {
    items_.clear();
    last_ = {};
  }
  bool Empty() const { return items_.empty(); }

 private:
  struct Item {
    kernel::TimePoint due;
    Emission emission;
  };
  std::deque<Item> items_;
  kernel::TimePoint last_{};
};

}  // namespace radio
