#include "serial/VirtualPort.h"

#include <algorithm>

#include "kernel/Wait.h"
#include "serial/Serial.h"
#include "serial/Transport.h"

namespace serial {

using kernel::Clock;
using kernel::TimePoint;

namespace detail {

// The port end of a virtual line, for one open handle.
class VirtualHostEnd final : public Transport {
 public:
  explicit VirtualHostEnd(std::shared_ptr<VirtualPort> line) : line_(std::move(line)) {}
  ~VirtualHostEnd() override {
    std::lock_guard<std::mutex> guard(line_->m_);
    Detach();
  }

  std::mutex& Lock() override { return line_->m_; }

  DWORD Configure(const DCB& dcb) override {
    // A removed line takes no settings, like a vanished device.
    if (line_->retired_) return ERROR_DEVICE_NOT_CONNECTED;
    line_->format_ = LineFormat{dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits};
    return ERROR_SUCCESS;
  }
  void SetDtr(bool on) override { line_->dtr_ = on; }
  void SetRts(bool on) override { line_->rts_ = on; }
  void SetBreak(bool on) override { line_->break_ = on; }
  DWORD ModemStatus() override { return line_->virtualOptions_.modemStatus; }

  bool Receive(InputSink& sink, TimePoint now, short) override {
    if (line_->retired_) return false;
    if (line_->hostOverrun_) {
      line_->hostOverrun_ = false;
      sink.Condition(LineCondition::Overrun);
    }
    auto& items = line_->toHost_;
    while (!items.empty() && items.front().arrival <= now) {
      const VirtualPort::Item& item = items.front();
      if (item.isCondition) {
        sink.Condition(item.condition);
      } else {
        sink.Byte(item.value, false, item.arrival);
        ++line_->hostCount_;
      }
      items.pop_front();
    }
    return true;
  }

  WaitSpec InputWait(size_t count, bool) override {
    WaitSpec wait;
    const auto& items = line_->toHost_;
    if (items.empty()) return wait;
    size_t index = std::min(count == 0 ? size_t{0} : count - 1, items.size() - 1);
    wait.until = items[index].arrival;
    return wait;
  }

  void DiscardInput() override { line_->DropArrivedToHostLocked(Clock::now()); }

  void StartWrite(WriteOp& op) override {
    op.id = line_->nextWriteId_++;
    line_->writes_[op.id] = VirtualPort::ActiveWrite{TimePoint::min(), 0};
  }

  bool PushWrite(WriteOp& op, TimePoint now, short) override {
    if (line_->retired_) return false;
    if (op.offered < op.size) {
      for (size_t i = op.offered; i < op.size; ++i) {
        line_->ScheduleLocked(line_->toDevice_, line_->toDeviceBusy_,
                              VirtualPort::Item{{}, op.id, op.data[i], false, LineCondition::Break}, now);
      }
      op.offered = op.size;
      line_->writes_[op.id].last = line_->toDeviceBusy_;
      line_->deviceWaiters_.WakeAll();
    }
    return true;
  }

  bool WriteDone(const WriteOp& op, TimePoint now) override {
    auto it = line_->writes_.find(op.id);
    return op.offered == op.size && (it == line_->writes_.end() || it->second.last <= now);
  }

  WaitSpec WriteWait(const WriteOp& op) override {
    WaitSpec wait;
    auto it = line_->writes_.find(op.id);
    if (it != line_->writes_.end()) wait.until = it->second.last;
    return wait;
  }

  size_t EndWrite(WriteOp& op, TimePoint now) override {
    line_->TakeBackLocked(now, op.id);
    auto it = line_->writes_.find(op.id);
    size_t takenBack = it == line_->writes_.end() ? 0 : it->second.takenBack;
    if (it != line_->writes_.end()) line_->writes_.erase(it);
    return op.offered - std::min(takenBack, op.offered);
  }

  size_t OutputPending(TimePoint now) override {
    size_t pending = 0;
    const auto& items = line_->toDevice_;
    for (auto it = items.rbegin(); it != items.rend() && it->arrival > now; ++it) ++pending;
    return pending;
  }

  void DiscardOutput(TimePoint now) override { line_->TakeBackLocked(now, 0); }

  void Close() override { Detach(); }

  // With the line's lock held.
  bool Attach(kernel::WaitQueue* waiters) {
    if (line_->retired_ || line_->attached_) return false;
    line_->attached_ = true;
    line_->hostWaiters_ = waiters;
    line_->hostOverrun_ = false;
    // What arrived while no port was open went nowhere.
    line_->DropArrivedToHostLocked(Clock::now());
    attached_ = true;
    return true;
  }

 private:
  void Detach() {
    if (!attached_) return;
    attached_ = false;
    // The driver stops transmitting: what has not gone out is dropped.
    line_->TakeBackLocked(Clock::now(), 0);
    line_->writes_.clear();
    line_->attached_ = false;
    line_->hostWaiters_ = nullptr;
    line_->dtr_ = false;
    line_->rts_ = false;
    line_->break_ = false;
    line_->deviceWaiters_.WakeAll();
  }

  std::shared_ptr<VirtualPort> line_;
  bool attached_ = false;
};

}  // namespace detail

VirtualPort::VirtualPort(const VirtualPortOptions& options)
    : PortConfig(options), virtualOptions_(options), paced_(options.paced) {
  format_ = LineFormat{9600, 8, NOPARITY, ONESTOPBIT};
}

VirtualPort::~VirtualPort() = default;

std::unique_ptr<detail::Transport> VirtualPort::OpenTransport(kernel::WaitQueue* waiters, DWORD* error) {
  auto end = std::make_unique<detail::VirtualHostEnd>(shared_from_this());
  std::lock_guard<std::mutex> guard(m_);
  if (!end->Attach(waiters)) {
    *error = retired_ ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
    return nullptr;
  }
  return end;
}

void VirtualPort::Retire() {
  std::lock_guard<std::mutex> guard(m_);
  retired_ = true;
  if (hostWaiters_ != nullptr) hostWaiters_->WakeAll();
  deviceWaiters_.WakeAll();
}

std::string VirtualPort::Describe() const { return Paced() ? "virtual line" : "virtual line (unpaced)"; }

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

// The back end's entry in the port table.
std::shared_ptr<VirtualPort> ConfigureVirtualPort(unsigned number, const VirtualPortOptions& options) {
  auto port = std::make_shared<VirtualPort>(options);
  detail::InstallPort(number, port);
  return port;
}

}  // namespace serial
