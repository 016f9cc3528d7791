// A COM port backed by a virtual line to emulated hardware. The port end is
// what CreateFileW opens; the device end (LineDevice) is where the emulated
// module or partner device reads and writes.
//
// Each direction is paced at the host port's current line format: a byte
// takes (start + data + parity + stop bits) / baud seconds of platform time
// and arrives one byte time after whatever is already in flight. A reader,
// at either end, sees a byte only once its arrival time has come. Line
// conditions take one character time too and travel in order with the data.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "kernel/Clock.h"
#include "kernel/Thread.h"
#include "serial/Serial.h"

namespace serial {

namespace detail {
struct VirtualLineOps;
}

class VirtualPort final : public PortConfig, public LineDevice, public std::enable_shared_from_this<VirtualPort> {
 public:
  explicit VirtualPort(const VirtualPortOptions& options);
  ~VirtualPort() override;

  // --- the device end ---
  size_t Read(uint8_t* buffer, size_t size, kernel::TimePoint deadline) override;
  void Write(const uint8_t* data, size_t size) override;
  void SendCondition(LineCondition condition) override;
  void WriteGarbled(const uint8_t* data, const bool* garbled, size_t size, LineCondition condition) override;
  void DiscardInput() override;
  void DiscardOutput() override;
  void Interrupt() override;
  LineFormat HostFormat() const override;
  bool HostDtr() const override;
  bool HostRts() const override;
  bool HostOpen() const override;
  // Whether the host holds the line in a break (EscapeCommFunction SETBREAK).
  bool HostBreak() const;

  // --- switches and counters ---
  void SetPaced(bool paced);
  bool Paced() const;
  // Bytes the device end has read / the host port has received so far.
  uint64_t BytesToDevice() const;
  uint64_t BytesToHost() const;

 private:
  friend struct detail::VirtualLineOps;

  struct Item {
    kernel::TimePoint arrival;
    uint64_t writeId;  // host to device: the WriteFile it belongs to (0: none)
    uint8_t value;
    bool isCondition;
    LineCondition condition;
    bool garbled = false;  // a byte that arrives with `condition`
  };
  struct ActiveWrite {
    kernel::TimePoint last;  // arrival of its last byte still in flight
    size_t takenBack = 0;
  };

  kernel::Duration ByteTimeLocked() const;
  // Appends to a direction after whatever is in flight there.
  void ScheduleLocked(std::deque<Item>& line, kernel::TimePoint& busyUntil, Item item, kernel::TimePoint now);
  // Removes the host-to-device items that have not arrived by `now` and
  // belong to `writeId` (0: all of them); returns how many went.
  size_t TakeBackLocked(kernel::TimePoint now, uint64_t writeId);
  void DropArrivedToHostLocked(kernel::TimePoint now);

  const VirtualPortOptions virtualOptions_;
  mutable std::mutex m_;
  // Host to device.
  std::deque<Item> toDevice_;
  kernel::TimePoint toDeviceBusy_{};
  std::map<uint64_t, ActiveWrite> writes_;
  uint64_t nextWriteId_ = 1;
  kernel::WaitQueue deviceWaiters_;
  bool interrupt_ = false;
  uint64_t deviceCount_ = 0;
  // Device to host.
  std::deque<Item> toHost_;
  kernel::TimePoint toHostBusy_{};
  uint64_t hostCount_ = 0;
  kernel::WaitQueue* hostWaiters_ = nullptr;  // the open port's, while one is open
  // The host port's side.
  LineFormat format_;
  bool paced_;
  bool dtr_ = false;
  bool rts_ = false;
  bool break_ = false;
  bool attached_ = false;
  bool retired_ = false;
  bool hostOverrun_ = false;  // arrived bytes the host never took were dropped
  static constexpr size_t kUnreadLimit = size_t{1} << 20;
};

}  // namespace serial
