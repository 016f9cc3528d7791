#include "serial/VirtualPort.h"

#include <algorithm>

#include "kernel/Wait.h"
#include "serial/Serial.h"

namespace serial {

using kernel::Clock;
using kernel::TimePoint;

namespace detail {

// The port end of a virtual line, for one open handle: the operations of
// the virtual line's table (at the end of this file).
struct VirtualLineOps {
  struct HostEnd {
    std::shared_ptr<VirtualPort> line;
    bool attached = false;
  };
  static VirtualPort& Of(void* end) { return *static_cast<HostEnd*>(end)->line; }

  static void* Open(PortConfig& port, kernel::WaitQueue* waiters, DWORD* error) {
    auto& line = static_cast<VirtualPort&>(port);
    auto end = std::make_unique<HostEnd>(HostEnd{line.shared_from_this()});
    std::lock_guard<std::mutex> guard(line.m_);
    if (line.retired_ || line.attached_) {
      *error = line.retired_ ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
      return nullptr;
    }
    line.attached_ = true;
    line.hostWaiters_ = waiters;
    line.hostOverrun_ = false;
    // What arrived while no port was open went nowhere.
    line.DropArrivedToHostLocked(Clock::now());
    end->attached = true;
    return end.release();
  }

  static void Close(void* end) {
    std::unique_ptr<HostEnd> owned(static_cast<HostEnd*>(end));
    if (!owned->attached) return;
    VirtualPort& line = *owned->line;
    // The driver stops transmitting: what has not gone out is dropped.
    line.TakeBackLocked(Clock::now(), 0);
    line.writes_.clear();
    line.attached_ = false;
    line.hostWaiters_ = nullptr;
    line.dtr_ = false;
    line.rts_ = false;
    line.break_ = false;
    line.deviceWaiters_.WakeAll();
  }

  static void Retire(PortConfig& port) {
    auto& line = static_cast<VirtualPort&>(port);
    std::lock_guard<std::mutex> guard(line.m_);
    line.retired_ = true;
    if (line.hostWaiters_ != nullptr) line.hostWaiters_->WakeAll();
    line.deviceWaiters_.WakeAll();
  }

  static std::string Describe(const PortConfig& port) {
    return static_cast<const VirtualPort&>(port).Paced() ? "virtual line" : "virtual line (unpaced)";
  }

  static std::mutex& Lock(void* end) { return Of(end).m_; }

  static DWORD Configure(void* end, const DCB& dcb) {
    VirtualPort& line = Of(end);
    // A removed line takes no settings, like a vanished device.
    if (line.retired_) return ERROR_DEVICE_NOT_CONNECTED;
    line.format_ = LineFormat{dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits};
    return ERROR_SUCCESS;
  }

  static void Control(void* end, LineControl what, bool on) {
    VirtualPort& line = Of(end);
    (what == LineControl::Dtr ? line.dtr_ : what == LineControl::Rts ? line.rts_ : line.break_) = on;
  }

  static DWORD ModemStatus(void* end) { return Of(end).virtualOptions_.modemStatus; }

  static bool Read(void* end, InputSink& sink, TimePoint now, short) {
    VirtualPort& line = Of(end);
    if (line.retired_) return false;
    if (line.hostOverrun_) {
      line.hostOverrun_ = false;
      sink.Condition(LineCondition::Overrun);
    }
    auto& items = line.toHost_;
    while (!items.empty() && items.front().arrival <= now) {
      const VirtualPort::Item& item = items.front();
      if (item.isCondition) {
        sink.Condition(item.condition);
      } else {
        if (item.garbled) sink.Condition(item.condition);
        sink.Byte(item.value, item.garbled, item.arrival);
        ++line.hostCount_;
      }
      items.pop_front();
    }
    return true;
  }

  static WaitSpec ReadWait(void* end, size_t count, bool) {
    WaitSpec wait;
    const auto& items = Of(end).toHost_;
    if (items.empty()) return wait;
    size_t index = std::min(count == 0 ? size_t{0} : count - 1, items.size() - 1);
    wait.until = items[index].arrival;
    return wait;
  }

  static bool Write(void* end, WriteOp& op, TimePoint now, short) {
    VirtualPort& line = Of(end);
    if (line.retired_) return false;
    if (op.id == 0) {
      op.id = line.nextWriteId_++;
      line.writes_[op.id] = VirtualPort::ActiveWrite{TimePoint::min(), 0};
    }
    if (op.offered < op.size) {
      for (size_t i = op.offered; i < op.size; ++i) {
        line.ScheduleLocked(line.toDevice_, line.toDeviceBusy_,
                            VirtualPort::Item{{}, op.id, op.data[i], false, LineCondition::Break}, now);
      }
      op.offered = op.size;
      line.writes_[op.id].last = line.toDeviceBusy_;
      line.deviceWaiters_.WakeAll();
    }
    return true;
  }

  static WaitSpec WriteWait(void* end, const WriteOp& op, TimePoint now, bool* done) {
    VirtualPort& line = Of(end);
    WaitSpec wait;
    auto it = line.writes_.find(op.id);
    *done = op.offered == op.size && (it == line.writes_.end() || it->second.last <= now);
    if (it != line.writes_.end()) wait.until = it->second.last;
    return wait;
  }

  static size_t EndWrite(void* end, WriteOp& op, TimePoint now) {
    if (op.id == 0) return 0;  // nothing of it was offered (0 would mean every write)
    VirtualPort& line = Of(end);
    line.TakeBackLocked(now, op.id);
    auto it = line.writes_.find(op.id);
    size_t takenBack = it == line.writes_.end() ? 0 : it->second.takenBack;
    if (it != line.writes_.end()) line.writes_.erase(it);
    return op.offered - std::min(takenBack, op.offered);
  }

  static size_t OutputPending(void* end, TimePoint now) {
    size_t pending = 0;
    const auto& items = Of(end).toDevice_;
    for (auto it = items.rbegin(); it != items.rend() && it->arrival > now; ++it) ++pending;
    return pending;
  }

  static void Flush(void* end, Queue queue, TimePoint now) {
    if (queue == Queue::Input) {
      Of(end).DropArrivedToHostLocked(now);
    } else {
      Of(end).TakeBackLocked(now, 0);
    }
  }
};

extern const PortInterface kVirtualLine;

}  // namespace detail

VirtualPort::VirtualPort(const VirtualPortOptions& options)
    : PortConfig(detail::kVirtualLine, options), virtualOptions_(options), paced_(options.paced) {
  format_ = LineFormat{9600, 8, NOPARITY, ONESTOPBIT};
}

VirtualPort::~VirtualPort() = default;

kernel::Duration VirtualPort::ByteTimeLocked() const { return paced_ ? format_.ByteTime() : kernel::Duration::zero(); }

void VirtualPort::ScheduleLocked(std::deque<Item>& line, TimePoint& busyUntil, Item item, TimePoint now) {
  item.arrival = std::max(now, busyUntil) + ByteTimeLocked();
  busyUntil = item.arrival;
  line.push_back(item);
  // A receiver that never reads loses its oldest bytes, as a UART's buffer
  // would, rather than the line growing without bound.
  bool dropped = false;
  while (line.size() > kUnreadLimit && line.front().arrival <= now) {
    line.pop_front();
    dropped = true;
  }
  if (dropped && &line == &toHost_) hostOverrun_ = true;
}

size_t VirtualPort::TakeBackLocked(TimePoint now, uint64_t writeId) {
  size_t removed = 0;
  for (auto it = toDevice_.begin(); it != toDevice_.end();) {
    if (it->arrival > now && (writeId == 0 || it->writeId == writeId)) {
      auto write = writes_.find(it->writeId);
      if (write != writes_.end()) {
        ++write->second.takenBack;
        // What is left of it has arrived.
        write->second.last = std::min(write->second.last, now);
      }
      it = toDevice_.erase(it);
      ++removed;
    } else {
      ++it;
    }
  }
  if (removed > 0) {
    toDeviceBusy_ = toDevice_.empty() ? std::min(toDeviceBusy_, now) : toDevice_.back().arrival;
    deviceWaiters_.WakeAll();
  }
  return removed;
}

void VirtualPort::DropArrivedToHostLocked(TimePoint now) {
  while (!toHost_.empty() && toHost_.front().arrival <= now) toHost_.pop_front();
}

// ------------------------------------------------------------ device end

// Like a UART with a receive FIFO and an idle-line interrupt, the device end
// hands over a burst once its last byte in flight has arrived (or the buffer
// is full), not byte by byte: emulated hardware then wakes once per write of
// the host instead of once per byte at the line's rate.
size_t VirtualPort::Read(uint8_t* buffer, size_t size, TimePoint deadline) {
  std::unique_lock<std::mutex> lock(m_);
  size_t count = 0;
  for (;;) {
    if (interrupt_) {
      interrupt_ = false;
      return count;
    }
    TimePoint now = Clock::now();
    size_t taken = 0;
    while (count < size && !toDevice_.empty() && toDevice_.front().arrival <= now) {
      buffer[count++] = toDevice_.front().value;
      toDevice_.pop_front();
      ++taken;
    }
    deviceCount_ += taken;
    if (count == size || now >= deadline || (count > 0 && toDevice_.empty())) return count;
    TimePoint until = deadline;
    if (!toDevice_.empty())
      until = std::min(deadline, count > 0 ? toDevice_.back().arrival : toDevice_.front().arrival);
    kernel::WaitOnce(lock, deviceWaiters_, until);
  }
}

void VirtualPort::Write(const uint8_t* data, size_t size) {
  std::lock_guard<std::mutex> guard(m_);
  TimePoint now = Clock::now();
  // Nobody listens at a closed port: what has arrived there is gone.
  if (!attached_) DropArrivedToHostLocked(now);
  for (size_t i = 0; i < size; ++i) {
    ScheduleLocked(toHost_, toHostBusy_, Item{{}, 0, data[i], false, LineCondition::Break}, now);
  }
  if (hostWaiters_ != nullptr && size > 0) hostWaiters_->WakeAll();
}

void VirtualPort::WriteGarbled(const uint8_t* data, const bool* garbled, size_t size, LineCondition condition) {
  std::lock_guard<std::mutex> guard(m_);
  TimePoint now = Clock::now();
  if (!attached_) DropArrivedToHostLocked(now);
  for (size_t i = 0; i < size; ++i) {
    ScheduleLocked(toHost_, toHostBusy_, Item{{}, 0, data[i], false, condition, garbled[i]}, now);
  }
  if (hostWaiters_ != nullptr && size > 0) hostWaiters_->WakeAll();
}

void VirtualPort::SendCondition(LineCondition condition) {
  std::lock_guard<std::mutex> guard(m_);
  TimePoint now = Clock::now();
  if (!attached_) DropArrivedToHostLocked(now);
  ScheduleLocked(toHost_, toHostBusy_, Item{{}, 0, 0, true, condition}, now);
  if (hostWaiters_ != nullptr) hostWaiters_->WakeAll();
}

void VirtualPort::DiscardInput() {
  std::lock_guard<std::mutex> guard(m_);
  TimePoint now = Clock::now();
  while (!toDevice_.empty() && toDevice_.front().arrival <= now) toDevice_.pop_front();
}

void VirtualPort::DiscardOutput() {
  std::lock_guard<std::mutex> guard(m_);
  TimePoint now = Clock::now();
  while (!toHost_.empty() && toHost_.back().arrival > now) toHost_.pop_back();
  toHostBusy_ = std::min(toHostBusy_, now);
  if (hostWaiters_ != nullptr) hostWaiters_->WakeAll();
}

void VirtualPort::Interrupt() {
  std::lock_guard<std::mutex> guard(m_);
  interrupt_ = true;
  deviceWaiters_.WakeAll();
}

LineFormat VirtualPort::HostFormat() const {
  std::lock_guard<std::mutex> guard(m_);
  return format_;
}

bool VirtualPort::HostDtr() const {
  std::lock_guard<std::mutex> guard(m_);
  return dtr_;
}

bool VirtualPort::HostRts() const {
  std::lock_guard<std::mutex> guard(m_);
  return rts_;
}

bool VirtualPort::HostOpen() const {
  std::lock_guard<std::mutex> guard(m_);
  return attached_;
}

bool VirtualPort::HostBreak() const {
  std::lock_guard<std::mutex> guard(m_);
  return break_;
}

void VirtualPort::SetPaced(bool paced) {
  std::lock_guard<std::mutex> guard(m_);
  paced_ = paced;
}

bool VirtualPort::Paced() const {
  std::lock_guard<std::mutex> guard(m_);
  return paced_;
}

uint64_t VirtualPort::BytesToDevice() const {
  std::lock_guard<std::mutex> guard(m_);
  return deviceCount_;
}

uint64_t VirtualPort::BytesToHost() const {
  std::lock_guard<std::mutex> guard(m_);
  return hostCount_;
}

std::shared_ptr<VirtualPort> ConfigureVirtualPort(unsigned number, const VirtualPortOptions& options) {
  auto port = std::make_shared<VirtualPort>(options);
  detail::InstallPort(number, port);
  return port;
}

// The virtual line's operations.
const PortInterface detail::kVirtualLine = {
    .open = detail::VirtualLineOps::Open,
    .close = detail::VirtualLineOps::Close,
    .retire = detail::VirtualLineOps::Retire,
    .describe = detail::VirtualLineOps::Describe,
    .lock = detail::VirtualLineOps::Lock,
    .configure = detail::VirtualLineOps::Configure,
    .control = detail::VirtualLineOps::Control,
    .modem_status = detail::VirtualLineOps::ModemStatus,
    .read = detail::VirtualLineOps::Read,
    .read_wait = detail::VirtualLineOps::ReadWait,
    .write = detail::VirtualLineOps::Write,
    .write_wait = detail::VirtualLineOps::WriteWait,
    .end_write = detail::VirtualLineOps::EndWrite,
    .output_pending = detail::VirtualLineOps::OutputPending,
    .flush = detail::VirtualLineOps::Flush,
};

}  // namespace serial
