// An in-memory virtual line for the module's tests: what the host writes
// arrives at once (no pacing); what the device sends is kept in order, with
// its platform time, for the host side to take.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "kernel/Wait.h"
#include "serial/Serial.h"

namespace radiotest {

class FakeLine : public serial::LineDevice {
 public:
  struct Item {
    std::optional<uint8_t> byte;  // else a condition
    serial::LineCondition condition = serial::LineCondition::Break;
    kernel::TimePoint at{};
  };

  // --- the host's end ---
  void HostWrite(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> guard(m_);
    input_.insert(input_.end(), bytes.begin(), bytes.end());
    readers_.WakeAll();
  }
  // The next thing the device sent, waiting until the deadline.
  std::optional<Item> HostTake(kernel::TimePoint deadline) {
    std::unique_lock<std::mutex> lock(m_);
    if (!kernel::WaitUntil(lock, hostWaiters_, deadline, [this] { return taken_ < sent_.size(); })) return {};
    return sent_[taken_++];
  }
  // Waits for `byte` the way the utility does: other bytes are dropped; a
  // condition ends the wait (false).
  bool HostWaitFor(uint8_t byte, kernel::TimePoint deadline) {
    for (;;) {
      auto item = HostTake(deadline);
      if (!item || !item->byte) return false;
      if (*item->byte == byte) return true;
    }
  }
  std::vector<Item> AllSent() const {
    std::lock_guard<std::mutex> guard(m_);
    return sent_;
  }
  size_t InputQueued() const {
    std::lock_guard<std::mutex> guard(m_);
    return input_.size();
  }

  // --- the device's end ---
  size_t Read(uint8_t* buffer, size_t size, kernel::TimePoint deadline) override {
    std::unique_lock<std::mutex> lock(m_);
    kernel::WaitUntil(lock, readers_, deadline, [this] { return !input_.empty() || interrupted_; });
    if (interrupted_) {
      interrupted_ = false;
      return 0;
    }
    size_t n = std::min(size, input_.size());
    std::copy(input_.begin(), input_.begin() + static_cast<long>(n), buffer);
    input_.erase(input_.begin(), input_.begin() + static_cast<long>(n));
    ++reads_;
    return n;
  }
  void Write(const uint8_t* data, size_t size) override {
    std::lock_guard<std::mutex> guard(m_);
    for (size_t i = 0; i < size; ++i) sent_.push_back({data[i], {}, kernel::Clock::now()});
    hostWaiters_.WakeAll();
  }
  void SendCondition(serial::LineCondition condition) override {
    std::lock_guard<std::mutex> guard(m_);
    sent_.push_back({std::nullopt, condition, kernel::Clock::now()});
    hostWaiters_.WakeAll();
  }
  void DiscardInput() override {
    std::lock_guard<std::mutex> guard(m_);
    input_.clear();
  }
  void DiscardOutput() override {}  // everything sent has already arrived
  void Interrupt() override {
    std::lock_guard<std::mutex> guard(m_);
    interrupted_ = true;
    readers_.WakeAll();
  }
  serial::LineFormat HostFormat() const override { return {}; }
  bool HostDtr() const override { return true; }
  bool HostRts() const override { return true; }
  bool HostOpen() const override { return true; }

 private:
  mutable std::mutex m_;
  kernel::WaitQueue readers_, hostWaiters_;
  std::deque<uint8_t> input_;
  std::vector<Item> sent_;
  size_t taken_ = 0;
  bool interrupted_ = false;
  size_t reads_ = 0;
};

}  // namespace radiotest
